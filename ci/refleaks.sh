#!/usr/bin/env bash
# Reference leaks, counted exactly: build tervalo (the Limited API build, as shipped) against
# Debian's debug CPython 3.11 and run tests/test_refleaks.py, which repeats every scenario and
# compares sys.gettotalrefcount(), and the thread-exit and deep-release programs under the
# debug interpreter's own checks.
#
# Usage:  bash ci/refleaks.sh        (as root, from anywhere; installs what it lacks with apt)
#
# Keeps its interpreter in .ci-venv/dbg and its build in build/dbg, so later runs only rebuild
# what changed. Quiet on success apart from the figure line, e.g. "[refleaks] reference leaks:
# 120 scenarios, total leaked references: 0"; on failure the full log is shown.
# Exit status: 0 when no scenario leaks, 1 on a leak or test failure, 2 on a setup problem.
set -uo pipefail
# shellcheck source=ci/lib.sh
source "$(dirname -- "$0")/lib.sh" || exit 2
ci_start refleaks
cd "$CI_CHECKOUT" || die "cd $CI_CHECKOUT"

readonly PY=python3.11-dbg ENV=$PWD/.ci-venv/dbg BUILD=build/dbg
readonly APT_PACKAGES="python3.11-dbg python3.11-dev python3.11-venv g++ binutils"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PYTHONDONTWRITEBYTECODE=1

log=$(mktemp -t tervalo-refleaks.XXXXXX)
on_exit rm -f -- "$log"
setup_failed() { # step that failed
  cat -- "$log" >&2
  die "$1"
}

# --- the debug interpreter ----------------------------------------------------------------
missing=()
for pkg in $APT_PACKAGES; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"; } \
    >>"$log" 2>&1 || setup_failed "apt-get install ${missing[*]}"
fi
command -v "$PY" >/dev/null || setup_failed "$PY not found after installation"

# A venv left by another interpreter (or half made) is rebuilt from scratch.
if ! "$ENV/bin/python" -c 'import sys; assert hasattr(sys, "gettotalrefcount")' 2>/dev/null; then
  rm -rf -- "$ENV"
  "$PY" -m venv "$ENV" >>"$log" 2>&1 || setup_failed "venv"
fi
# The test modules' conftest may pull in hypothesis and sortedcontainers.
"$ENV/bin/python" -m pip install -q pytest hypothesis sortedcontainers >>"$log" 2>&1 ||
  setup_failed "pip install pytest"

# --- the extension, built against the debug headers ---------------------------------------
# pip 23.0 in Debian's venv has no -C; --config-settings is the portable spelling.
"$ENV/bin/python" -m pip install -q --force-reinstall --no-deps . \
  --config-settings=build-dir="$BUILD" --config-settings=cmake.build-type=Debug \
  --config-settings=install.strip=false >>"$log" 2>&1 || setup_failed "building tervalo"

# The counts are only exact when the extension's Py_INCREF/Py_DECREF update the interpreter's
# total. A build for this interpreter does so inline (importing the total or its helpers); the
# Limited API build, which is what this builds by default, calls the interpreter's
# _Py_IncRef/_Py_DecRef, which count. A build that picked up the release pyconfig.h does
# neither, silently.
so=$(cd /tmp && "$ENV/bin/python" -c 'import tervalo.tervalo as m; print(m.__file__)') ||
  setup_failed "importing the debug build"
imports=$(nm -D --undefined-only "$so") || setup_failed "nm $so"
grep -Eq '\b_Py_(RefTotal|IncRefTotal|DecRefTotal|IncRef|DecRef)\b' <<<"$imports" ||
  setup_failed "$so does not count references: was it compiled with the release pyconfig.h?"

# --- the scenarios ------------------------------------------------------------------------
rc=0
# The programs that end threads inside tree calls and release deep chains run here too, so the
# debug interpreter's own checks watch them.
"$ENV/bin/python" -m pytest -q -p no:cacheprovider tests/test_refleaks.py \
  tests/test_threads.py tests/test_deep_release.py >>"$log" 2>&1 || rc=$?
figure=$(grep -E '^reference leaks: [0-9]+ scenarios, total leaked references: -?[0-9]+$' "$log" |
  tail -n 1)
if [ "$rc" -ne 0 ] || [ -z "$figure" ]; then
  cat -- "$log"
  figure "FAILED (pytest exit status $rc)${figure:+; $figure}"
  exit 1
fi
figure "$figure"
