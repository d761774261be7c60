#!/usr/bin/env bash
# Release artefacts: the sdist, and manylinux wheels for x86_64, i686 and aarch64, all built on
# this x86_64 machine.
#
# Usage:  bash ci/wheels.sh DIR       (as root, from anywhere; DIR is created if need be)
#
# Writes into DIR tervalo-VERSION.tar.gz and one wheel per architecture, replacing any artefacts
# of the same version already there, and prints each wheel's tag, size and manylinux policy.
# Then `bash ci/wheel_tests.sh DIR` tests them, and `twine upload DIR/*` publishes them.
#
# How:
#   1. the sdist, with scikit-build-core as pyproject.toml asks for, checked for its LICENSE and
#      for build litter;
#   2. each wheel built from that sdist (so the sdist is known to be complete) by the same
#      backend, with zig's clang as the C++ compiler: it targets glibc 2.17 and links its own
#      libc++ statically, so a wheel needs nothing on the user's machine but glibc and the
#      libgcc_s that glibc itself relies on (why, below). The i686 and
#      aarch64 builds are cross builds: CMake sees a toolchain file, the compiler the target's
#      triple, and the Python headers are this interpreter's generic headers with the target's
#      pyconfig.h, taken from the i386 and arm64 chroots (see ci/wheels_common.sh). That is all a
#      build for the Limited API needs, and all a version-specific one needs when the chroot has
#      the same CPython minor version as the tools;
#   3. each wheel checked: its module exports PyInit_tervalo and the introspection records and
#      nothing else (no libc++ symbol, so it cannot clash with another extension's C++ runtime);
#      `auditwheel show` names a manylinux policy of glibc 2.28 or older; `auditwheel repair`
#      gives it that tag and must graft nothing; `abi3audit --strict` passes on abi3 wheels.
#
# The wheels' Python tag follows `wheel.py-api` in pyproject.toml: cp310-abi3 wheels when it
# asks for the Limited API, else wheels for the tools' own CPython (3.11) only.
#
# TERVALO_WHEELS_KEEP=1 keeps the work folder (builds, logs) for a look after the run.
#
# Prints one figure line last, "[wheels] built ..." or "[wheels] FAILED: what".
# Exit status: 0 when every artefact was built and passed its checks, 1 when one failed, 2 on a
# setup problem.
set -euo pipefail
# shellcheck source=ci/lib.sh
source "$(dirname -- "${BASH_SOURCE[0]}")/lib.sh"
# shellcheck source=ci/wheels_common.sh
source "$(dirname -- "${BASH_SOURCE[0]}")/wheels_common.sh"
ci_start wheels

readonly TARGETS="x86_64 i686 aarch64"
readonly GLIBC=2.17 MAX_GLIBC_MINOR=28

[ $# -eq 1 ] || die "usage: bash ci/wheels.sh DIR"
out=$(realpath -m -- "$1")
require_release_host
total_start=$SECONDS

work=$(mktemp -d /tmp/tervalo-wheels.XXXXXX)
if [ -n "${TERVALO_WHEELS_KEEP:-}" ]; then
  say "keeping the work folder $work"
else
  on_exit rm -rf -- "$work"
fi
mkdir -p "$work/logs"

failed() { # what, log file: show the log and stop
  [ -f "$2" ] && tail -n 80 -- "$2" >&2
  figure "FAILED: $1"
  exit 1
}

ensure_tools "$work/logs/tools.log"
name=$(pyproject_value "$CI_CHECKOUT" 'p["project"]["name"]')
version=$(pyproject_value "$CI_CHECKOUT" 'p["project"]["version"]')
py_api=$(pyproject_value "$CI_CHECKOUT" 'p["tool"]["scikit-build"].get("wheel", {}).get("py-api", "")')
read -r py_minor soabi multiarch include < <("$TOOLS_PYTHON" -c '
import sys, sysconfig
print(f"{sys.version_info[0]}.{sys.version_info[1]}", sysconfig.get_config_var("SOABI"),
      sysconfig.get_config_var("MULTIARCH"), sysconfig.get_paths()["include"])')
[ -f "$include/Python.h" ] || die "no Python headers in $include"

# The target's pyconfig.h comes from the chroot of its architecture.
ensure_i386 "" # nothing beyond what ci/i386.sh installs
ensure_arm64

mkdir -p -- "$out"
# Artefacts of an earlier build of this version (say with other tags) must not be uploaded along.
find "$out" -maxdepth 1 -type f \( -name "$name-$version.tar.gz" -o -name "$name-$version-*.whl" \) -delete

# --- 1. the sdist ------------------------------------------------------------------------------
start=$SECONDS
"$TOOLS_PYTHON" -m build --sdist --no-isolation -o "$work/sdist" "$CI_CHECKOUT" \
  >"$work/logs/sdist.log" 2>&1 || failed "building the sdist" "$work/logs/sdist.log"
sdist=$work/sdist/$name-$version.tar.gz
[ -f "$sdist" ] || failed "the sdist is not $sdist" "$work/logs/sdist.log"
tar -tzf "$sdist" >"$work/sdist.list"
litter=$(grep -E '(^|/)(build|dist|wheelhouse|\.ci-venv|\.venv[^/]*|__pycache__|\.hypothesis|\.pytest_cache)/|\.(so|o|pyc|whl)$' \
  "$work/sdist.list" || true)
[ -z "$litter" ] || failed "the sdist holds build litter: $(head -n 5 <<<"$litter" | tr '\n' ' ')" /dev/null
if [ -f "$CI_CHECKOUT/LICENSE" ]; then
  grep -qx "$name-$version/LICENSE" "$work/sdist.list" || failed "the sdist lacks LICENSE" /dev/null
  license="with LICENSE"
else
  license="no LICENSE in the checkout"
fi
cp -- "$sdist" "$out/"
say "sdist ${sdist##*/}: $(wc -l <"$work/sdist.list") files, $license ($((SECONDS - start)) s)"
tar -xzf "$sdist" -C "$work"
src=$work/$name-$version

# --- 2. and 3. the wheels ----------------------------------------------------------------------
# The C++ runtime and the unwinder. Every Linux process already has an unwinder: libgcc_s, which
# glibc uses to end a thread (pthread_exit; CPython 3.10 to 3.13 end daemon threads so at exit)
# by a forced unwind, calling the personality routine of each C++ frame on the way. For that to
# work with zig's libc++ in the module, the module takes its unwinder from libgcc_s too, rather
# than from zig's static libunwind, whose functions would read libgcc_s's unwind state as their
# own and crash. It links against an import library of libgcc_s (ci/wheels/libgcc_s.map), which
# leaves libunwind out; the real libgcc_s.so.1, allowed by every manylinux policy, is what gets
# loaded.
# Only the module's init function and introspection records are exported (ci/wheels/exports.map).
readonly SUPPORT=$CI_CHECKOUT/ci/wheels
grep -oE '_Unwind_[A-Za-z_]+' "$SUPPORT/libgcc_s.map" | sort -u | sed 's/.*/void &(void) {}/' >"$work/libgcc_s.c"

summary=()
build_wheel() { # target
  local target=$1 zig_target cpu=() processor plat target_multiarch pyconfig
  local dir=$work/$target log=$work/logs/$target.log start=$SECONDS
  case "$target" in
    x86_64) zig_target=x86_64-linux-gnu processor=x86_64 target_multiarch=x86_64-linux-gnu
      pyconfig=$include/pyconfig.h ;;
    # i686 as the manylinux i686 toolchains and Debian's i386 have it: x87, no SSE2 assumed.
    i686) zig_target=x86-linux-gnu processor=i686 target_multiarch=i386-linux-gnu cpu=(-mcpu=i686)
      pyconfig=$I386_ROOT/usr/include/i386-linux-gnu/python$py_minor/pyconfig.h ;;
    aarch64) zig_target=aarch64-linux-gnu processor=aarch64 target_multiarch=aarch64-linux-gnu
      pyconfig=$ARM64_ROOT/usr/include/aarch64-linux-gnu/python$py_minor/pyconfig.h ;;
  esac
  plat=linux-$processor
  [ -f "$pyconfig" ] || die "no pyconfig.h for CPython $py_minor on $target: $pyconfig"
  mkdir -p "$dir/include" "$dir/built" "$dir/repaired"

  # Generic headers of the tools' CPython, configured for the target.
  cp -R -- "$include" "$dir/include/"
  cp -- "$pyconfig" "$dir/include/python$py_minor/pyconfig.h"

  local tool
  for tool in cc c++; do
    printf '#!/bin/sh\nexec %q -m ziglang %s -target %s.%s %s "$@"\n' \
      "$TOOLS_PYTHON" "$tool" "$zig_target" "$GLIBC" "${cpu[*]}" >"$dir/zig-$tool"
    chmod +x "$dir/zig-$tool"
  done
  mkdir "$dir/lib"
  {
    "$dir/zig-cc" -shared -fPIC -nostdlib -o "$dir/lib/libgcc_s.so.1" "$work/libgcc_s.c" \
      -Wl,--version-script="$SUPPORT/libgcc_s.map" -Wl,-soname,libgcc_s.so.1
  } >"$log" 2>&1 || failed "building the $target unwinder's import library" "$log"
  cat >"$dir/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $processor)
set(CMAKE_C_COMPILER "$dir/zig-cc")
set(CMAKE_CXX_COMPILER "$dir/zig-c++")
# zig brings no clang-scan-deps, and the project uses no C++ modules.
set(CMAKE_CXX_SCAN_FOR_MODULES OFF)
# Linked stripped, by zig itself: the host's strip may not know the target's machine.
# The unwinder's import library goes with the module only: CMake's test programs link without it.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "$dir/lib/libgcc_s.so.1 -Wl,--version-script=$SUPPORT/exports.map -Wl,--strip-all")
set(CMAKE_PROJECT_INCLUDE "$SUPPORT/module_suffix.cmake")
EOF

  (
    cd "$src"
    _PYTHON_HOST_PLATFORM=$plat SETUPTOOLS_EXT_SUFFIX=".${soabi/$multiarch/$target_multiarch}.so" \
      "$TOOLS_PYTHON" -m build --wheel --no-isolation -o "$dir/built" \
      -C cmake.toolchain-file="$dir/toolchain.cmake" \
      -C cmake.define.Python_INCLUDE_DIR="$dir/include/python$py_minor" \
      -C build-dir="$dir/build" -C install.strip=false .
  ) >>"$log" 2>&1 || failed "building the $target wheel" "$log"
  local -a built=("$dir"/built/*.whl)
  if [ ${#built[@]} -ne 1 ] || [ ! -f "${built[0]}" ]; then
    failed "expected one $target wheel, got: ${built[*]}" "$log"
  fi
  local wheel=${built[0]}

  # The module: right machine, the exports and nothing more.
  mkdir "$dir/unpacked"
  "$TOOLS_PYTHON" -m zipfile -e "$wheel" "$dir/unpacked"
  local -a modules=("$dir"/unpacked/tervalo/tervalo*.so)
  if [ ${#modules[@]} -ne 1 ] || [ ! -f "${modules[0]}" ]; then
    failed "expected one module in ${wheel##*/}" /dev/null
  fi
  local module=${modules[0]} machine exported stray
  machine=$(readelf -h "$module" | awk -F: '/Machine:/ { sub(/^ +/, "", $2); print $2 }')
  case "$target:$machine" in
    x86_64:*X86-64* | i686:*80386* | aarch64:AArch64) ;;
    *) failed "the $target module is for $machine" /dev/null ;;
  esac
  exported=$(nm -D --defined-only "$module" | awk '{ print $NF }')
  stray=$(grep -Ev '^(PyInit_tervalo|TERVALO_INTROSPECTION_[0-9]+_[0-9]+)$' <<<"$exported" || true)
  [ -z "$stray" ] || failed "the $target module exports $(wc -l <<<"$stray") more symbols: $(head -n 5 <<<"$stray" | tr '\n' ' ')" /dev/null
  grep -qx PyInit_tervalo <<<"$exported" || failed "the $target module does not export PyInit_tervalo" /dev/null
  # (Outputs are taken whole before grep -q looks at them: with pipefail, a grep that stops
  # early fails the pipeline by its writer's SIGPIPE.)
  local imported
  imported=$(nm -D --undefined-only "$module")
  grep -q ' _Unwind_RaiseException@GCC_3.0$' <<<"$imported" ||
    failed "the $target module does not take its unwinder from libgcc_s" /dev/null
  if [ "$target" = i686 ] && grep -q '%xmm' <<<"$(objdump -d "$module")"; then
    failed "the i686 module uses SSE registers" /dev/null
  fi

  # The manylinux policy, and the tag that says it.
  local show policy glibc_minor
  show=$(auditwheel show "$wheel" 2>&1) || failed "auditwheel show ${wheel##*/}: $show" /dev/null
  policy=$(grep -oE '"manylinux_2_[0-9]+_[a-z0-9_]+"' <<<"$show" | head -n 1 | tr -d '"')
  [ -n "$policy" ] || failed "auditwheel finds no manylinux policy for ${wheel##*/}: $show" /dev/null
  glibc_minor=$(sed -E 's/^manylinux_2_([0-9]+)_.*/\1/' <<<"$policy")
  [ "$glibc_minor" -le "$MAX_GLIBC_MINOR" ] || failed "$target needs glibc 2.$glibc_minor" /dev/null
  # --plat lists only the host's architecture; left alone, repair takes the policy it showed.
  auditwheel repair -w "$dir/repaired" "$wheel" >>"$log" 2>&1 ||
    failed "auditwheel repair ${wheel##*/}" "$log"
  local -a repaired=("$dir"/repaired/*.whl)
  if [ ${#repaired[@]} -ne 1 ] || [ ! -f "${repaired[0]}" ]; then
    failed "auditwheel repair wrote: ${repaired[*]}" "$log"
  fi
  wheel=${repaired[0]}
  [[ "${wheel##*/}" == *"$policy"* ]] || failed "auditwheel repair tagged ${wheel##*/}, not $policy" "$log"
  if grep -q '\.libs/' <<<"$("$TOOLS_PYTHON" -m zipfile -l "$wheel")"; then
    failed "auditwheel grafted libraries into ${wheel##*/}" "$log"
  fi

  # The Python tag pyproject.toml asks for, and the Limited API really kept to where it does.
  local tags=${wheel##*/} abi_check="version-specific, no abi3audit"
  tags=${tags%.whl} tags=${tags#"$name-$version"-}
  case "$py_api" in
    cp3*)
      [[ "$tags" == "$py_api-abi3-"* ]] || failed "$target wheel is tagged $tags, pyproject.toml asks for $py_api-abi3" /dev/null
      abi3audit --strict --verbose "$wheel" >>"$log" 2>&1 || failed "abi3audit --strict ${wheel##*/}" "$log"
      abi_check="abi3audit --strict passed"
      ;;
  esac
  cp -- "$wheel" "$out/"
  local size
  size=$(stat -c %s "$wheel")
  say "$target wheel: ${tags} ($((size / 1024)) KiB, policy $policy, $abi_check; $((SECONDS - start)) s)"
  summary+=("$(printf '%-76s %4s KiB  %s' "${wheel##*/}" "$((size / 1024))" "$policy")")
}

for target in $TARGETS; do
  build_wheel "$target"
done

echo
printf '%s\n' "${summary[@]}"
figure "built ${name}-${version}: sdist and ${#summary[@]} wheels in $out ($((SECONDS - total_start)) s)"
