#!/usr/bin/env bash
# Test the release artefacts that ci/wheels.sh wrote, not the source tree: each is installed the
# way a user installs it, and the whole suite (taken from the sdist itself) runs against it.
#
# Usage:  bash ci/wheel_tests.sh DIR       (as root, from anywhere)
#
#   x86_64 wheel   `pip install --no-index --no-deps WHEEL` (no build step can happen) into a fresh
#                  venv of each CPython its tags accept, among 3.10 and 3.13 (pyenv, on the
#                  host) and 3.14 and 3.15 (Debian sid chroot); test dependencies from PyPI
#   i686 wheel     the same with Debian's CPython 3.11 in the i386 chroot, test dependencies
#                  from Debian (a venv with --system-site-packages)
#   aarch64 wheel  the same in the arm64 chroot, under qemu-user
#   sdist          `pip install tervalo-VERSION.tar.gz` from a folder of /tmp, built there with
#                  the system compiler, on pyenv's CPython 3.12
# Where the test dependencies come from the index, mypy.stubtest then checks the installed
# module against its stub.
#
# Under emulation the slowest tiers run smaller: TERVALO_THREAD_EXIT_RUNS=5,
# TERVALO_STRESS_EXAMPLES=20, TERVALO_HOSTILE_CASES=300 (see the test modules). A version-
# specific wheel (cp311-cp311) is only tried on the CPython it is for; the others are listed as
# not applicable. Each run prints the artefact, the interpreter and the tests' outcome, and the
# last line is a figure for .ci/run.
#
# Exit status: 0 when every run passed (pytest's 5, "no tests ran", is a failure), 1 otherwise,
# 2 on a setup problem.
set -euo pipefail

# ---------------------------------------------------------------------------------------------
# One run, on the host or inside a chroot:
#   bash wheel_tests.sh --inside PYTHON ARTEFACT SUITE DEPS [REQUIREMENT...]
# installs ARTEFACT (a wheel, or an sdist to build) into a fresh venv of PYTHON and runs the
# suite in SUITE (tests/, README.md, pyproject.toml) from an empty folder. DEPS: "system" uses
# the interpreter's own site-packages for the test dependencies, "index" installs REQUIREMENTs.
# ---------------------------------------------------------------------------------------------
inside() {
  local python=$1 artefact=$2 suite=$3 deps=$4
  shift 4
  local venv rc=0 missing=() req
  tmp=$(mktemp -d /tmp/tervalo-run.XXXXXX) # global: the EXIT trap needs it
  trap 'rm -rf -- "$tmp"' EXIT
  venv=$tmp/venv
  if [ "$deps" = system ]; then
    "$python" -m venv --system-site-packages "$venv"
  else
    "$python" -m venv "$venv"
  fi
  case "$artefact" in
    *.whl) "$venv/bin/python" -m pip install -q --no-index --no-deps "$artefact" ;;
    *)
      # From a folder of its own, so that nothing but the sdist can be what gets built.
      mkdir "$tmp/install"
      (cd "$tmp/install" && "$venv/bin/python" -m pip install -v "$artefact" >"$tmp/build.log" 2>&1) || {
        tail -n 60 "$tmp/build.log"
        return 1
      }
      grep -m 1 -oE 'The CXX compiler identification is .*' "$tmp/build.log" | sed 's/^/built by: /'
      ;;
  esac
  if [ "$deps" = index ] && [ $# -gt 0 ]; then
    # Binary packages only; where one has none for this interpreter yet, the tests that need it
    # skip, and the skip is reported.
    if ! "$venv/bin/python" -m pip install -q --only-binary=:all: "$@" >"$tmp/deps.log" 2>&1; then
      for req in "$@"; do
        "$venv/bin/python" -m pip install -q --only-binary=:all: "$req" >>"$tmp/deps.log" 2>&1 ||
          missing+=("$req")
      done
    fi
    [ ${#missing[@]} -eq 0 ] || echo "no binary package for this interpreter: ${missing[*]}"
  fi
  mkdir "$tmp/run"
  cd "$tmp/run"
  "$venv/bin/python" - "$venv" <<'EOF'
import importlib.metadata as md, platform, sys
import tervalo.tervalo as ext
assert ext.__file__.startswith(sys.argv[1] + "/"), f"imported {ext.__file__}, not the installed one"
tags = [l.split(": ", 1)[1] for l in md.distribution("tervalo").read_text("WHEEL").splitlines()
        if l.startswith("Tag: ")]
print(f"interpreter: CPython {platform.python_version()} on {platform.machine()};",
      f"installed: {ext.__file__.rsplit('/', 1)[1]} (tags {', '.join(tags)})")
EOF
  "$venv/bin/python" -m pytest -q -p no:cacheprovider "$suite/tests" >"$tmp/pytest.log" 2>&1 || rc=$?
  # The figures the stress tiers print, the skip reasons and the closing line.
  grep -E '^[a-z -]+: [0-9]+ |^(SKIPPED|FAILED|ERROR) ' "$tmp/pytest.log" || true
  if [ "$rc" -ne 0 ]; then
    tail -n 80 "$tmp/pytest.log"
  else
    tail -n 1 "$tmp/pytest.log"
  fi
  echo "pytest exit status $rc"
  # The stub shipped beside the installed module must describe it (where the test extra, mypy
  # included, came from the index).
  if [ "$rc" -eq 0 ] && [ "$deps" = index ] && "$venv/bin/python" -c 'import mypy' 2>/dev/null; then
    "$venv/bin/python" -m mypy.stubtest tervalo --concise || rc=$?
  fi
  return "$rc"
}

if [ "${1:-}" = --inside ]; then
  shift
  inside "$@"
  exit
fi

# ---------------------------------------------------------------------------------------------
# On the host.
# ---------------------------------------------------------------------------------------------
# shellcheck source=ci/lib.sh
source "$(dirname -- "${BASH_SOURCE[0]}")/lib.sh"
# shellcheck source=ci/wheels_common.sh
source "$(dirname -- "${BASH_SOURCE[0]}")/wheels_common.sh"
ci_start wheels
readonly EMULATED_SIZES="TERVALO_THREAD_EXIT_RUNS=5 TERVALO_STRESS_EXAMPLES=20 TERVALO_HOSTILE_CASES=300"

[ $# -eq 1 ] || die "usage: bash ci/wheel_tests.sh DIR"
dir=$(realpath -- "$1")
require_release_host
total_start=$SECONDS

work=$(mktemp -d /tmp/tervalo-wheel-tests.XXXXXX)
on_exit rm -rf -- "$work"

ensure_tools "$work/tools.log"
name=$(pyproject_value "$CI_CHECKOUT" 'p["project"]["name"]')
version=$(pyproject_value "$CI_CHECKOUT" 'p["project"]["version"]')
sdist=$dir/$name-$version.tar.gz
[ -f "$sdist" ] || die "no $sdist: run ci/wheels.sh $1 first"
wheel_for() { # architecture: the one wheel of this version for it
  local -a found=("$dir/$name-$version"-*_"$1".whl)
  if [ ${#found[@]} -ne 1 ] || [ ! -f "${found[0]}" ]; then
    die "expected one $1 wheel in $dir, found: ${found[*]}"
  fi
  echo "${found[0]}"
}
wheel_x86_64=$(wheel_for x86_64)
wheel_i686=$(wheel_for i686)
wheel_aarch64=$(wheel_for aarch64)

# The suite shipped in the sdist, without its sources next to it.
tar -xzf "$sdist" -C "$work"
mkdir "$work/suite"
cp -R "$work/$name-$version"/{tests,README.md,pyproject.toml} "$work/suite/"
# The test extra as the sdist declares it.
read -r -a test_requirements <<<"$(pyproject_value "$work/suite" 'p["project"]["optional-dependencies"]["test"]')"

passed_total=0 runs=0 failures=0
results=() not_applicable=()

# Record one run: its output is shown, its counts added up.
record() { # label rc output-file
  local label=$1 rc=$2 out=$3 closing passed
  sed 's/^/    /' "$out"
  # pytest's closing counts: "966 passed, 2 skipped, 119 warnings", "no tests ran"
  closing=$(pytest_counts "$out")
  passed=$(grep -oE '[0-9]+ passed' <<<"$closing" | grep -oE '[0-9]+' || echo 0)
  runs=$((runs + 1))
  if [ "$rc" -eq 0 ] && [ "$passed" -gt 0 ]; then
    passed_total=$((passed_total + passed))
    results+=("ok      $label: $closing")
  else
    failures=$((failures + 1))
    results+=("FAILED  $label: ${closing:-no pytest summary} (exit status $rc)")
  fi
  say "$label: ${closing:-no pytest summary}, exit status $rc"
}

run_host() { # label python artefact
  local label=$1 python=$2 artefact=$3 rc=0 start=$SECONDS
  say "$label ..."
  env -u CC -u CXX bash "$CI_CHECKOUT/ci/wheel_tests.sh" --inside "$python" "$artefact" \
    "$work/suite" index "${test_requirements[@]}" >"$work/out" 2>&1 || rc=$?
  record "$label ($((SECONDS - start)) s)" "$rc" "$work/out"
}

run_chroot() { # label root deps artefact python [VARIABLE=value ...]
  local label=$1 root=$2 deps=$3 artefact=$4 python=$5 rc=0 start=$SECONDS inner
  shift 5
  inner=$(mktemp -d "$root/tmp/tervalo-wheel-tests.XXXXXX")
  on_exit rm -rf -- "$inner"
  cp -R "$work/suite" "$inner/suite"
  cp -- "$artefact" "$CI_CHECKOUT/ci/wheel_tests.sh" "$inner/"
  local -a reqs=()
  [ "$deps" = index ] && reqs=("${test_requirements[@]}")
  say "$label ..."
  run_in_chroot "$root" "$@" bash "${inner#"$root"}/wheel_tests.sh" --inside "$python" \
    "${inner#"$root"}/${artefact##*/}" "${inner#"$root"}/suite" "$deps" "${reqs[@]}" \
    >"$work/out" 2>&1 || rc=$?
  rm -rf -- "$inner"
  record "$label ($((SECONDS - start)) s)" "$rc" "$work/out"
}

# Whether a wheel's tags accept CPython 3.MINOR: cpXY-abi3 from 3.XY on, cpXY-cpXY on 3.XY only.
wheel_fits() { # wheel minor
  local tags=${1##*/} py abi
  tags=${tags#"$name-$version"-}
  py=${tags%%-*} abi=${tags#*-} abi=${abi%%-*}
  case "$abi" in
    abi3) [ "$2" -ge "${py#cp3}" ] ;;
    cp3*) [ "$2" -eq "${py#cp3}" ] ;;
    *) return 1 ;;
  esac
}
x86_64_tags=${wheel_x86_64##*/"$name-$version"-}
x86_64_tags=${x86_64_tags%.whl}

# --- x86_64 wheel on the host's CPythons ---------------------------------------------------------
# The oldest and the newest: 3.11 runs the suite on the quick start's source build and 3.12 on
# the sdist's (below), so every CPython runs it against some build and no binary twice on one.
for minor in 10 13; do
  if ! wheel_fits "$wheel_x86_64" "$minor"; then
    not_applicable+=("3.$minor")
    continue
  fi
  prefix=$(pyenv prefix "3.$minor" 2>/dev/null) || {
    failures=$((failures + 1))
    results+=("FAILED  x86_64 wheel on CPython 3.$minor: not installed with pyenv")
    continue
  }
  run_host "x86_64 wheel on CPython 3.$minor" "$prefix/bin/python" "$wheel_x86_64"
done

# --- x86_64 wheel on the newest CPythons, in Debian sid --------------------------------------------
sid_minors=()
for minor in 14 15; do
  if wheel_fits "$wheel_x86_64" "$minor"; then sid_minors+=("$minor"); else not_applicable+=("3.$minor"); fi
done
if [ ${#sid_minors[@]} -gt 0 ]; then
  ensure_sid
  # pip there reaches the index through the host's certificates and name service, which
  # run_in_chroot puts in place.
  for minor in "${sid_minors[@]}"; do
    run_chroot "x86_64 wheel on CPython 3.$minor (sid)" "$SID_ROOT" index "$wheel_x86_64" \
      "python3.$minor"
  done
fi

# --- i686 and aarch64 wheels, each on its own Debian --------------------------------------------
# The i386 chroot needs python3-venv for pip; ci/i386.sh adds it (once) if it is missing.
ensure_i386 python3-venv
run_chroot "i686 wheel on CPython 3.11 (i386 chroot)" "$I386_ROOT" system "$wheel_i686" python3
ensure_arm64
# shellcheck disable=SC2086 # one assignment a word
run_chroot "aarch64 wheel on CPython 3.11 (arm64 chroot, qemu; $EMULATED_SIZES)" \
  "$ARM64_ROOT" system "$wheel_aarch64" python3 $EMULATED_SIZES

# --- the sdist, built by the system compiler -------------------------------------------------------
prefix=$(pyenv prefix 3.12 2>/dev/null) || die "CPython 3.12 is not installed with pyenv"
run_host "sdist built and installed on CPython 3.12" "$prefix/bin/python" "$sdist"

echo
printf '%s\n' "${results[@]}"
[ ${#not_applicable[@]} -eq 0 ] ||
  echo "not applicable: the x86_64 wheel ($x86_64_tags) is not for CPython ${not_applicable[*]}"
figure "$runs runs of the suite on the artefacts, $((runs - failures)) passed, $passed_total tests passed$([ ${#not_applicable[@]} -eq 0 ] || echo ", ${#not_applicable[@]} CPythons not applicable"); $((SECONDS - total_start)) s"
exit $((failures > 0))
