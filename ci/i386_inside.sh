#!/usr/bin/env bash
# The part of ci/i386.sh that runs inside the i386 chroot, with the checkout mounted read-only
# at /src: check the interpreter is 32-bit, configure and build with plain CMake out of tree,
# stage src/tervalo/ with the built module, and run pytest on tests/ against the staged package
# from an empty folder. Its figure (pytest's counts, or what failed) goes to descriptor 3.
#
# Exit status: 0 when every test passed, 1 when the build or a test failed (pytest's 5, "no
# tests ran", included), 2 for a setup problem.
set -euo pipefail
# shellcheck source=ci/lib.sh
source /src/ci/lib.sh
ci_start i386 inside

src=/src
pytest_extra=()
read -r -a pytest_extra <<<"${TERVALO_I386_PYTEST:-}"

python3 - <<'PY' || die "the chroot's python3 is not a 32-bit interpreter"
import platform, struct, sys
print(f"i386: Python {platform.python_version()} on {platform.machine()},",
      f"pointer size {struct.calcsize('P')}, sys.maxsize = 2**{sys.maxsize.bit_length()}-1",
      file=sys.stderr)
sys.exit(0 if struct.calcsize("P") == 4 and sys.maxsize == 2**31 - 1 else 1)
PY

# Runs are serialised by the host's lock, so any older folder is a killed run's litter.
rm -rf /tmp/tervalo-i386.*
work=$(mktemp -d /tmp/tervalo-i386.XXXXXX)
# A fresh build every time: the chroot serves every checkout of the machine, and ninja's
# timestamps cannot tell one checkout's files from another's.
on_exit rm -rf -- "$work"
build=$work/build stage=$work/stage

start=$SECONDS
# Built for the chroot's own interpreter: Debian 12's CMake 3.25 predates the stable-ABI support
# of FindPython, and what this tier checks (sizes 32 bits wide) is the same in both.
if ! cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DPython_EXECUTABLE=/usr/bin/python3 -DTERVALO_WERROR=ON -DTERVALO_LIMITED_API=OFF \
  >"$work/configure.log" 2>&1; then
  cat -- "$work/configure.log" >&2
  figure "FAILED: CMake configuration"
  exit 1
fi
grep -E '^-- (Found Python|The CXX compiler identification)' "$work/configure.log" >&2 || true
if ! cmake --build "$build" -j "$(nproc)" >&2; then
  figure "FAILED: build"
  exit 1
fi
say "configure and build took $((SECONDS - start)) s"

mkdir -p "$stage/tervalo"
cp -R "$src/src/tervalo/." "$stage/tervalo/"
built=("$build"/tervalo*.so)
if [ ${#built[@]} -ne 1 ] || [ ! -f "${built[0]}" ]; then
  say "expected one built module in $build, found: ${built[*]}"
  figure "FAILED: no single built module"
  exit 1
fi
cp -- "${built[0]}" "$stage/tervalo/"
# The distribution metadata an install would write, so importlib.metadata sees the staged
# package as installed (name and version from pyproject.toml).
python3 - "$src/pyproject.toml" "$stage" <<'PY'
import pathlib, sys, tomllib
project = tomllib.loads(pathlib.Path(sys.argv[1]).read_text(encoding="utf-8"))["project"]
info = pathlib.Path(sys.argv[2], f"{project['name']}-{project['version']}.dist-info")
info.mkdir()
(info / "METADATA").write_text(
    f"Metadata-Version: 2.1\nName: {project['name']}\nVersion: {project['version']}\n",
    encoding="utf-8")
PY
say "staged ${built[0]##*/}"

# Run from an empty folder, so that only the staged package can be imported and pytest and
# hypothesis write nothing next to the sources.
mkdir "$work/run"
cd "$work/run"
PYTHONPATH=$stage python3 -c 'import os, struct, tervalo.tervalo as m
assert m.__file__.startswith(os.environ["PYTHONPATH"] + "/"), m.__file__
print("pointer size:", struct.calcsize("P"))'

start=$SECONDS
rc=0
PYTHONPATH=$stage python3 -m pytest -q -p no:cacheprovider "${pytest_extra[@]}" "$src/tests" \
  2>&1 | tee "$work/pytest.log" || rc=$?
say "tests took $((SECONDS - start)) s, pytest exit status $rc"
counts=$(pytest_counts "$work/pytest.log")
if [ "$rc" -eq 0 ]; then
  figure "${counts:-no pytest summary}"
  exit 0
fi
figure "FAILED: ${counts:-no pytest summary} (pytest exit status $rc)"
exit 1
