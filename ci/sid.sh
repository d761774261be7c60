#!/usr/bin/env bash
# The newest interpreters and a second compiler family: build tervalo inside a Debian sid
# chroot and run the test suite there with
#
#   1. CPython 3.14 and CPython 3.15 (g++): each in a fresh venv, installed as the README
#      says (`pip install ".[test]"`, warnings as errors), the whole suite, then
#      `mypy.stubtest` against the installed module;
#   2. Debian's debug CPython 3.14 (python3.14-dbg): a version-specific build against its own
#      headers, then the reference-leak scenarios and the thread-exit and deep-release
#      programs, as ci/refleaks.sh does on 3.11;
#   3. CPython 3.14 built with clang and libc++ (the compiler family and standard library of
#      macOS): the whole suite.
#
# Usage:  bash ci/sid.sh             (as root, from anywhere)
#
# The chroot is created with debootstrap the first time (a couple of minutes, about 2 GB) and
# reused on later runs on the same machine; pip's download cache stays in it too. The checkout
# is mounted read-only inside and copied to a scratch folder there by ci/sid_inside.sh, which
# does the runs, so nothing is ever written into it. The mounts are made in a private mount
# namespace and disappear with the script.
#
# Environment (all optional):
#   TERVALO_SID_ROOT     chroot folder (default /var/cache/tervalo-sid); keep it on a
#                        persistent disk, outside the checkout, not noexec/nodev
#   TERVALO_SID_MIRROR   Debian mirror (default: the host's apt source, else deb.debian.org)
#   TERVALO_SID_PYTEST   extra pytest arguments for every run, space separated
#   CI, HYPOTHESIS_PROFILE, TERVALO_* test knobs and the proxy variables are passed through.
#
# Prints one figure line last, e.g.
#   [sid] CPython 3.14.10: 969 passed; CPython 3.15.2: 969 passed; 3.14-dbg leaks: 0 in 123
#   scenarios (156 passed); clang 21 + libc++: 969 passed
# Exit status: 0 when every run passed, 1 when a build or a test failed (pytest's 5, "no tests
# ran", counts as a failure), 2 for a setup problem.
set -euo pipefail
# shellcheck source=ci/lib.sh
source "$(dirname -- "$(realpath -- "${BASH_SOURCE[0]}")")/lib.sh"
ci_start sid

require_root chroot mount unshare flock realpath
[ "$(uname -m)" = x86_64 ] || die "host is $(uname -m); the chroot is made for x86-64"
root=$(realpath -m -- "${TERVALO_SID_ROOT:-/var/cache/tervalo-sid}")
refuse_folder "$root" "the chroot folder"
enter_private_namespace TERVALO_SID_NAMESPACE "$(realpath -- "${BASH_SOURCE[0]}")" "$@"
total_start=$SECONDS

# ---- 1. the base system -------------------------------------------------------------------------
# shellcheck disable=SC2086 # one package a word
ensure_chroot "$root" sid amd64 sid "$(printf '%s\n' $SID_PACKAGES | paste -sd ,)" \
  "${TERVALO_SID_MIRROR:-}"
lock_chroot "$root" # one run per chroot at a time
in_chroot "$root" /bin/true 2>/dev/null || die "cannot run programs in $root (a noexec mount?)"
mount_system "$root"

# ---- 2. packages --------------------------------------------------------------------------------
# A package this script came to need after the chroot was made is added with apt.
# shellcheck disable=SC2086,SC2016 # one package a word; dpkg-query's own ${...} fields
missing=$(in_chroot "$root" dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' $SID_PACKAGES 2>/dev/null |
  awk '$2 == "ii" { print $1 }' | sort | comm -13 - <(printf '%s\n' $SID_PACKAGES | sort))
if [ -n "$missing" ]; then
  say "installing in the chroot: $(tr '\n' ' ' <<<"$missing")"
  start=$SECONDS
  in_chroot "$root" apt-get update -q >&2 || die "apt-get update in the chroot"
  # shellcheck disable=SC2086 # one package a word
  in_chroot "$root" apt-get install -y -q --no-install-recommends $missing >&2 ||
    die "apt-get install in the chroot"
  in_chroot "$root" apt-get clean
  rm -rf -- "${root:?}"/var/lib/apt/lists/*
  say "package installation took $((SECONDS - start)) s"
fi

# ---- 3. build and test inside -------------------------------------------------------------------
mount_checkout "$root"
figure_file=$(mktemp -t tervalo-sid-figure.XXXXXX)
on_exit rm -f -- "$figure_file"
rc=0
in_chroot "$root" bash /src/ci/sid_inside.sh 3>"$figure_file" || rc=$?
adopt_figure "$figure_file"
say "total $((SECONDS - total_start)) s"
exit "$rc"
