#!/usr/bin/env bash
# Build tervalo natively for 32-bit x86 and run the whole test suite there.
#
# Usage:  bash ci/i386.sh            (as root, from anywhere)
#
# The module does its own size arithmetic (Py_ssize_t, size_t, capacity checks), so it must be
# tried where those types are 32 bits wide. A 64-bit host cannot show that, and a -m32 cross
# build has no 32-bit interpreter to import it into, so this script keeps a Debian i386 chroot
# and builds and tests inside it with Debian's own i386 compiler and CPython:
#
#   1. create the chroot with debootstrap the first time (about a minute); reuse it on later
#      runs on the same machine;
#   2. install the build and test packages in it with apt (only when one is missing);
#   3. inside, under a 32-bit personality and a clean environment, ci/i386_inside.sh builds,
#      stages and tests.
#
# The checkout is mounted read-only inside, so nothing is ever written into it. The mounts are
# made in a private mount namespace and disappear with the script.
#
# Environment (all optional):
#   TERVALO_I386_ROOT      chroot folder (default /var/cache/tervalo-i386); keep it on a
#                          persistent disk, outside the checkout, not noexec/nodev
#   TERVALO_I386_SUITE     Debian suite of the chroot (default bookworm)
#   TERVALO_I386_MIRROR    Debian mirror (default: the host's apt source for the suite,
#                          else http://deb.debian.org/debian)
#   TERVALO_I386_PACKAGES  extra Debian packages to add, space separated
#                          (e.g. python3-mypy, so the typing tests run instead of skipping)
#   TERVALO_I386_PYTEST    extra pytest arguments, space separated (e.g. "-x -k pickle")
#   CI, HYPOTHESIS_PROFILE, the other TERVALO_* variables and the proxy variables are passed
#   through to the tests.
#
# Prints one figure line last, e.g. "[i386] 969 passed, 2 skipped".
# Exit status: 0 when every test passed, 1 when the build or a test failed (pytest's 5, "no
# tests ran", included), 2 for a setup problem.
set -euo pipefail
# shellcheck source=ci/lib.sh
source "$(dirname -- "$(realpath -- "${BASH_SOURCE[0]}")")/lib.sh"
ci_start i386

# python3-venv is for ci/wheel_tests.sh, which installs the i686 wheel here the way a user would.
readonly PACKAGES="python3 python3-dev python3-venv python3-pytest python3-hypothesis
  python3-sortedcontainers python3-numpy g++ cmake ninja-build"
readonly MARK_PACKAGES=.tervalo-i386-packages

require_root chroot setarch mount unshare flock realpath
case "$(uname -m)" in
  x86_64 | i?86) ;;
  *) die "host is $(uname -m); a 32-bit x86 chroot needs an x86 host" ;;
esac
root=$(realpath -m -- "${TERVALO_I386_ROOT:-/var/cache/tervalo-i386}")
refuse_folder "$root" "the chroot folder"
enter_private_namespace TERVALO_I386_NAMESPACE "$(realpath -- "${BASH_SOURCE[0]}")" "$@"
total_start=$SECONDS

# ---- 1. the base system -------------------------------------------------------------------------
ensure_chroot "$root" i386 i386 "${TERVALO_I386_SUITE:-bookworm}" "" "${TERVALO_I386_MIRROR:-}"
lock_chroot "$root" # one run per chroot at a time
touch -- "$root/$MARK_PACKAGES"
in_chroot "$root" /bin/true 2>/dev/null ||
  die "cannot run i386 programs in $root (kernel without IA32 emulation, or a noexec mount)"
mount_system "$root"

# ---- 2. packages --------------------------------------------------------------------------------
# The packages installed so far are listed in the mark file.
# shellcheck disable=SC2086 # word splitting wanted: one package a word
read -r -a wanted <<<"$(printf '%s\n' $PACKAGES ${TERVALO_I386_PACKAGES:-} | sort -u | tr '\n' ' ')"
missing=$(printf '%s\n' "${wanted[@]}" | comm -23 - <(sort -u -- "$root/$MARK_PACKAGES"))
if [ -n "$missing" ]; then
  say "installing in the chroot: $(tr '\n' ' ' <<<"$missing")"
  start=$SECONDS
  in_chroot "$root" apt-get update -q >&2 || die "apt-get update in the chroot"
  # shellcheck disable=SC2086 # one package a word
  in_chroot "$root" apt-get install -y -q --no-install-recommends $missing >&2 ||
    die "apt-get install in the chroot"
  in_chroot "$root" apt-get clean
  rm -rf -- "${root:?}"/var/lib/apt/lists/*
  printf '%s\n' "${wanted[@]}" | sort -u -o "$root/$MARK_PACKAGES" - "$root/$MARK_PACKAGES"
  say "package installation took $((SECONDS - start)) s"
fi

# ---- 3. build and test inside -------------------------------------------------------------------
mount_checkout "$root"
figure_file=$(mktemp -t tervalo-i386-figure.XXXXXX)
on_exit rm -f -- "$figure_file"
rc=0
in_chroot "$root" bash /src/ci/i386_inside.sh 3>"$figure_file" || rc=$?
adopt_figure "$figure_file"
say "total $((SECONDS - total_start)) s"
exit "$rc"
