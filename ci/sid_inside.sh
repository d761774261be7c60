#!/usr/bin/env bash
# The part of ci/sid.sh that runs inside the sid chroot, with the checkout mounted read-only at
# /src: a writable copy of the sources, then the four runs (CPython 3.14 and 3.15 with g++,
# the 3.14 debug build's reference leaks, clang + libc++), each tried whatever the others did.
# Its figure goes to descriptor 3.
#
# Exit status: 0 when every run passed, 1 when a build or a test failed, 2 for a setup problem.
set -uo pipefail # no -e: every run is tried; each records its own failure
# shellcheck source=ci/lib.sh
source /src/ci/lib.sh
ci_start sid inside

failures=0
figures=()

# Runs "$@" with its output in $work/$name.log; shows the log if it fails.
logged() { # name command...
  local name=$1
  shift
  if "$@" >"$work/$name.log" 2>&1; then
    return 0
  fi
  cat -- "$work/$name.log" >&2
  say "$name failed: $*"
  return 1
}

passed_of() { # pytest log -> its closing counts, e.g. "968 passed, 1 skipped"
  local counts
  counts=$(pytest_counts "$1")
  echo "${counts:-no result}"
}

# pytest from the source copy's root: the package lives under src/, so what is imported is
# the installed build, which is checked first.
run_suite() { # name venv [pytest arguments...]
  local name=$1 env=$2 rc=0 start=$SECONDS
  shift 2
  local -a extra=()
  read -r -a extra <<<"${TERVALO_SID_PYTEST:-}"
  (cd "$work/src" && "$env/bin/python" -c 'import sys, tervalo.tervalo as m
assert m.__file__.startswith(sys.prefix + "/"), m.__file__
print("sid: imported", m.__file__, file=sys.stderr)') || return 1
  (cd "$work/src" && "$env/bin/python" -m pytest -q -p no:cacheprovider "${extra[@]}" "$@") \
    >"$work/$name.pytest.log" 2>&1 || rc=$?
  cat -- "$work/$name.pytest.log"
  say "$name: pytest exit status $rc after $((SECONDS - start)) s"
  return "$rc"
}

compiler_of() { # build folder -> "GNU 16.2.0", "Clang 21.1.8", as CMake identified it
  grep -hE '^set\(CMAKE_CXX_COMPILER_(ID|VERSION) ' "$1"/CMakeFiles/*/CMakeCXXCompiler.cmake \
    2>/dev/null | sed -E 's/.*"(.*)".*/\1/' | paste -sd ' '
}

fresh_venv() { # interpreter folder
  rm -rf -- "$2"
  logged "venv-${2##*/}" "$1" -m venv "$2"
}

install_package() { # name venv pip arguments...
  local name=$1 env=$2 start=$SECONDS
  shift 2
  logged "install-$name" "$env/bin/python" -m pip install "$@" \
    --config-settings=build-dir="$work/build/$name" \
    --config-settings=cmake.define.TERVALO_WERROR=ON || return 1
  # The compiler that CMake really used.
  local compiler
  compiler=$(compiler_of "$work/build/$name")
  say "$name: built with ${compiler:-?} in $((SECONDS - start)) s"
}

# 1. A release interpreter, installed the README's way; the suite and the stub check.
release_run() { # python3.X
  local py=$1 name env version rc=0 summary
  name=${py#python}
  env=$work/venv-$name
  version=$("$py" -c 'import platform; print(platform.python_version())')
  say "$py: $("$py" -VV | tr '\n' ' ')"
  if fresh_venv "$py" "$env" && install_package "$name" "$env" "$work/src[test]"; then
    run_suite "$name" "$env" || rc=$?
    summary=$(passed_of "$work/$name.pytest.log")
    if (cd "$work/src" && "$env/bin/python" -m mypy.stubtest tervalo --concise); then
      say "$name: stubtest passed"
    else
      say "$name: stubtest found differences"
      summary+=" (stubtest FAILED)"
      rc=1
    fi
  else
    summary="build FAILED"
    rc=1
  fi
  [ "$rc" -eq 0 ] || failures=$((failures + 1))
  figures+=("CPython $version: $summary")
}

# 2. Reference leaks on the debug interpreter, counted by the interpreter itself.
debug_run() {
  local py=python3.14d env=$work/venv-dbg rc=0 so imports figure
  say "$py: $("$py" -VV | tr '\n' ' ')"
  # The extension alone comes from the source; the tests' own needs from the index.
  if ! fresh_venv "$py" "$env" ||
    ! logged pip-dbg "$env/bin/python" -m pip install pytest hypothesis sortedcontainers ||
    ! install_package dbg "$env" --no-deps "$work/src" \
      --config-settings=cmake.build-type=Debug --config-settings=install.strip=false \
      --config-settings=cmake.define.TERVALO_LIMITED_API=OFF --config-settings=wheel.py-api=; then
    failures=$((failures + 1))
    figures+=("3.14-dbg leaks: build FAILED")
    return
  fi
  # The counts are exact only when the extension's own Py_INCREF/Py_DECREF add to the
  # interpreter's total. 3.14's debug headers call _Py_INCREF_IncRefTotal and
  # _Py_DECREF_DecRefTotal for that; older ones named _Py_RefTotal or _Py_IncRefTotal.
  so=$(cd / && "$env/bin/python" -c 'import tervalo.tervalo as m; print(m.__file__)') ||
    die "importing the debug build"
  imports=$(nm -D --undefined-only "$so") || die "nm $so"
  if ! grep -Eq '\b_Py_(INCREF_IncRefTotal|DECREF_DecRefTotal|RefTotal|IncRefTotal|DecRefTotal)\b' \
    <<<"$imports"; then
    say "$so does not count references: was it compiled with the release pyconfig.h?"
    failures=$((failures + 1))
    figures+=("3.14-dbg leaks: build does not count references")
    return
  fi
  run_suite dbg "$env" tests/test_refleaks.py tests/test_threads.py tests/test_deep_release.py ||
    rc=$?
  figure=$(grep -E '^reference leaks: [0-9]+ scenarios, total leaked references: -?[0-9]+$' \
    "$work/dbg.pytest.log" | tail -n 1) || true
  if [ "$rc" -ne 0 ] || [ -z "$figure" ]; then
    failures=$((failures + 1))
    figures+=("3.14-dbg leaks: FAILED ($(passed_of "$work/dbg.pytest.log")${figure:+; $figure})")
    return
  fi
  figures+=("$(sed -E 's/^reference leaks: ([0-9]+) scenarios, total leaked references: (-?[0-9]+)$/3.14-dbg leaks: \2 in \1 scenarios/' <<<"$figure") ($(passed_of "$work/dbg.pytest.log"))")
}

# 3. The other compiler family and its standard library.
clang_run() {
  local env=$work/venv-clang rc=0 so needed major summary
  major=$(clang++ -dumpversion | cut -d. -f1)
  say "clang: $(clang++ --version | head -n 1)"
  if fresh_venv python3.14 "$env" &&
    CC=clang CXX=clang++ CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++ \
      install_package clang "$env" "$work/src[test]"; then
    # A build that fell back to g++ or libstdc++ would pass without showing anything.
    so=$(cd / && "$env/bin/python" -c 'import tervalo.tervalo as m; print(m.__file__)')
    needed=$(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | paste -sd ' ')
    say "clang: the module needs $needed"
    if ! grep -q 'libc++\.so' <<<"$needed" || grep -q 'libstdc++' <<<"$needed" ||
      [[ "$(compiler_of "$work/build/clang")" != Clang* ]]; then
      say "clang: the module was not built with clang and libc++"
      rc=1
      summary="not built with clang and libc++"
    else
      run_suite clang "$env" || rc=$?
      summary=$(passed_of "$work/clang.pytest.log")
    fi
  else
    summary="build FAILED"
    rc=1
  fi
  [ "$rc" -eq 0 ] || failures=$((failures + 1))
  figures+=("clang $major + libc++: $summary")
}

export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_PROGRESS_BAR=off PYTHONDONTWRITEBYTECODE=1
# Runs are serialised by the host's lock, so any older folder is a killed run's litter.
rm -rf /tmp/tervalo-sid.*
work=$(mktemp -d /tmp/tervalo-sid.XXXXXX)
on_exit rm -rf -- "$work"
say "g++: $(g++ --version | head -n 1)"

# A writable copy of the sources, without what earlier local runs left in the checkout.
mkdir "$work/src"
tar -C /src --exclude=./.git --exclude=./build --exclude=./dist --exclude='./.venv*' \
  --exclude=./.ci-venv --exclude=./.hypothesis -cf - . | tar -C "$work/src" -xf -

release_run python3.14
release_run python3.15
debug_run
clang_run

line=$(IFS=';' && echo "${figures[*]}")
line=${line//;/; }
if [ "$failures" -eq 0 ]; then
  figure "$line"
  exit 0
fi
figure "FAILED ($failures of 4 runs): $line"
exit 1
