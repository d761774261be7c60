# Included after project() (CMAKE_PROJECT_INCLUDE) in the wheel cross builds.
#
# FindPython cannot ask the build interpreter for a cross target's extension suffix (it would
# give its own, or none), so once the project has defined the module, it is named after what
# scikit-build-core worked out for the target: SKBUILD_SOABI, the target's SOABI or abi3.
function(_tervalo_wheel_module_suffix)
  if(SKBUILD_SOABI AND TARGET tervalo)
    set_property(TARGET tervalo PROPERTY SUFFIX ".${SKBUILD_SOABI}${CMAKE_SHARED_MODULE_SUFFIX}")
  endif()
endfunction()
cmake_language(DEFER CALL _tervalo_wheel_module_suffix)
