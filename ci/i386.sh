#!/usr/bin/env bash
# Build tervalo natively for 32-bit x86 and run the whole test suite there.
#
# Usage:  bash ci/i386.sh            (as root, from anywhere)
#
# The module does its own size arithmetic (Py_ssize_t, size_t, capacity checks), so it
# must be tried where those types are 32 bits wide. A 64-bit host cannot show that,
# and a -m32 cross build has no 32-bit interpreter to import it into, so this script
# keeps a Debian i386 chroot and builds and tests inside it with Debian's own i386
# compiler and CPython:
#
#   1. create the chroot with debootstrap the first time (about a minute); reuse it on
#      later runs on the same machine;
#   2. install the build and test packages in it with apt (only when one is missing);
#   3. inside, under a 32-bit personality and a clean environment: configure and build
#      with plain CMake out of tree, copy src/tervalo/ and the built module to a
#      staging folder, and run pytest on tests/ against it from outside the sources.
#
# The checkout is mounted read-only inside, so nothing is ever written into it. The
# mounts are made in a private mount namespace and disappear with the script.
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
#   CI, HYPOTHESIS_PROFILE are passed through to the tests.
#
# Exit status: 0 when every test passed, the failing step's status otherwise
# (pytest's 5, "no tests ran", counts as a failure), 2 for a setup problem.
set -euo pipefail

readonly PACKAGES="python3 python3-dev python3-pytest python3-hypothesis
  python3-sortedcontainers python3-numpy g++ cmake ninja-build"
readonly MARK_READY=.tervalo-i386-ready MARK_CREATING=.tervalo-i386-creating
readonly MARK_PACKAGES=.tervalo-i386-packages

say() { printf '[i386] %s\n' "$*" >&2; }
die() {
  say "error: $*"
  exit 2
}

# ---------------------------------------------------------------------------------------
# Inside the chroot: build, stage, test. Called by the host part below as
#   bash /src/ci/i386.sh --inside
# with the checkout mounted read-only at /src.
# ---------------------------------------------------------------------------------------
inside() {
  local src=/src build stage rc start
  local -a pytest_extra=()
  read -r -a pytest_extra <<<"${TERVALO_I386_PYTEST:-}"

  python3 - <<'EOF' || die "the chroot's python3 is not a 32-bit interpreter"
import platform, struct, sys
print(f"[i386] Python {platform.python_version()} on {platform.machine()},",
      f"pointer size {struct.calcsize('P')}, sys.maxsize = 2**{sys.maxsize.bit_length()}-1",
      file=sys.stderr)
sys.exit(0 if struct.calcsize("P") == 4 and sys.maxsize == 2**31 - 1 else 1)
EOF

  # Runs are serialised by the host's lock, so any older folder is a killed run's litter.
  rm -rf /tmp/tervalo-i386.*
  work=$(mktemp -d /tmp/tervalo-i386.XXXXXX) # global: the EXIT trap needs it
  # A fresh build every time: the chroot serves every checkout of the machine, and
  # ninja's timestamps cannot tell one checkout's files from another's.
  trap 'rm -rf -- "$work"' EXIT
  build=$work/build stage=$work/stage

  start=$SECONDS
  # Built for the chroot's own interpreter: Debian 12's CMake 3.25 predates the stable-ABI
  # support of FindPython, and what this tier checks (sizes 32 bits wide) is the same in both.
  cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DPython_EXECUTABLE=/usr/bin/python3 -DTERVALO_WERROR=ON -DTERVALO_LIMITED_API=OFF \
    >"$work/configure.log" 2>&1 ||
    {
      cat "$work/configure.log" >&2
      say "CMake configuration failed"
      return 1
    }
  grep -E '^-- (Found Python|The CXX compiler identification)' "$work/configure.log" >&2 || true
  cmake --build "$build" -j "$(nproc)" || {
    say "build failed"
    return 1
  }
  say "configure and build took $((SECONDS - start)) s"

  mkdir -p "$stage/tervalo"
  cp -R "$src/src/tervalo/." "$stage/tervalo/"
  local -a built=("$build"/tervalo*.so)
  if [ ${#built[@]} -ne 1 ] || [ ! -f "${built[0]}" ]; then
    say "expected one built module in $build, found: ${built[*]}"
    return 1
  fi
  cp "${built[0]}" "$stage/tervalo/"
  # The distribution metadata an install would write, so importlib.metadata sees the
  # staged package as installed (name and version from pyproject.toml).
  python3 - "$src/pyproject.toml" "$stage" <<'EOF'
import pathlib, sys, tomllib
project = tomllib.loads(pathlib.Path(sys.argv[1]).read_text(encoding="utf-8"))["project"]
info = pathlib.Path(sys.argv[2], f"{project['name']}-{project['version']}.dist-info")
info.mkdir()
(info / "METADATA").write_text(
    f"Metadata-Version: 2.1\nName: {project['name']}\nVersion: {project['version']}\n",
    encoding="utf-8")
EOF
  say "staged ${built[0]##*/}"

  # Run from an empty folder, so that only the staged package can be imported and
  # pytest and hypothesis write nothing next to the sources.
  mkdir "$work/run"
  cd "$work/run"
  PYTHONPATH=$stage python3 -c 'import os, struct, tervalo.tervalo as m
assert m.__file__.startswith(os.environ["PYTHONPATH"] + "/"), m.__file__
print("pointer size:", struct.calcsize("P"))'

  start=$SECONDS
  rc=0
  PYTHONPATH=$stage python3 -m pytest -q -p no:cacheprovider "${pytest_extra[@]}" "$src/tests" || rc=$?
  say "tests took $((SECONDS - start)) s, pytest exit status $rc"
  return "$rc"
}

if [ "${1:-}" = --inside ]; then
  inside
  exit
fi

# ---------------------------------------------------------------------------------------
# On the host.
# ---------------------------------------------------------------------------------------
[ "$(id -u)" = 0 ] || die "must run as root (debootstrap, chroot and mount need it)"
case "$(uname -m)" in
  x86_64 | i?86) ;;
  *) die "host is $(uname -m); a 32-bit x86 chroot needs an x86 host" ;;
esac
for tool in chroot setarch mount unshare flock realpath; do
  command -v "$tool" >/dev/null || die "missing host tool: $tool"
done

self=$(realpath -- "${BASH_SOURCE[0]}")
checkout=$(dirname -- "$(dirname -- "$self")")
root=$(realpath -m -- "${TERVALO_I386_ROOT:-/var/cache/tervalo-i386}")
case "$root" in
  / | /bin | /boot | /dev | /etc | /home | /lib* | /opt | /proc | /root | /run | /sbin | /srv | /sys | /tmp | /usr | /var | /var/cache)
    die "refusing to use $root as the chroot folder" ;;
  "$checkout" | "$checkout"/*)
    die "the chroot folder must be outside the checkout ($checkout)" ;;
esac

# Everything below runs in a private mount namespace: the mounts made for the chroot
# are never seen on the host and vanish with the script, however it ends.
if [ -z "${TERVALO_I386_NAMESPACE:-}" ]; then
  export TERVALO_I386_NAMESPACE=1
  exec unshare --mount --propagation private -- bash "$self" "$@"
fi

mkdir -p -- "$(dirname -- "$root")"
exec 9>"$root.lock"
flock 9 # one run per chroot at a time

total_start=$SECONDS

mounts_below() { # mount points below $1, as this namespace sees them
  awk -v d="$1/" 'index($5, d) == 1 { print $5 }' /proc/self/mountinfo
}

debian_mirror() { # first host apt source serving suite $1, else Debian's redirector
  local suite=$1 uri
  uri=$(
    {
      cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        awk -v s="$suite" '$1 == "deb" { i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                                         if ($(i + 1) == s) print $i }'
      # deb822 files: a stanza's URIs and Suites lines, in either order
      for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk -v s="$suite" 'BEGIN { RS = ""; FS = "\n" }
          { uri = ""; ok = 0
            for (i = 1; i <= NF; i++) {
              if ($i ~ /^URIs:/) { split($i, a, /[ \t]+/); uri = a[2] }
              if ($i ~ /^Suites:/) { n = split($i, b, /[ \t]+/); for (j = 2; j <= n; j++) if (b[j] == s) ok = 1 }
              if ($i ~ /^Enabled:[ \t]*no/) ok = -1
            }
            if (ok == 1 && uri != "") print uri }' "$f"
      done
    } | grep -E '^(https?|file):' | head -n 1
  ) || true
  echo "${uri:-http://deb.debian.org/debian}"
}

in_chroot() { # run "$@" in the chroot: 32-bit personality, clean environment
  local -a envv=(PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 TERM=dumb
    DEBIAN_FRONTEND=noninteractive PYTHONDONTWRITEBYTECODE=1)
  local v
  for v in CI HYPOTHESIS_PROFILE TERVALO_I386_PYTEST http_proxy HTTP_PROXY no_proxy NO_PROXY; do
    if [ -n "${!v+x}" ]; then envv+=("$v=${!v}"); fi
  done
  setarch i686 chroot "$root" /usr/bin/env -i "${envv[@]}" "$@"
}

mounted=0
mount_system() { # what apt and the tests need; DNS as the host has it
  [ "$mounted" = 0 ] || return 0
  mkdir -p "$root/proc" "$root/dev/shm" "$root/dev/pts"
  mount -t proc proc "$root/proc"
  mount -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm"
  if mountpoint -q /dev/pts; then mount --bind /dev/pts "$root/dev/pts"; fi
  local f
  for f in resolv.conf hosts; do
    if [ -e "/etc/$f" ]; then
      rm -f -- "${root:?}/etc/$f"
      cp -L -- "/etc/$f" "$root/etc/$f"
    fi
  done
  mounted=1
}

# ---- 1. the base system -----------------------------------------------------------------
if [ ! -e "$root/$MARK_READY" ]; then
  if [ -d "$root" ] && [ -n "$(ls -A -- "$root")" ] && [ ! -e "$root/$MARK_CREATING" ]; then
    die "$root is not empty and was not made by this script; set TERVALO_I386_ROOT to a new folder"
  fi
  suite=${TERVALO_I386_SUITE:-bookworm}
  mirror=${TERVALO_I386_MIRROR:-$(debian_mirror "$suite")}
  if ! command -v debootstrap >/dev/null; then
    say "installing debootstrap on the host"
    {
      apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap
    } >&2 || die "could not install debootstrap"
  fi
  # Leftovers of an interrupted creation: wipe them, but never through a mount.
  [ -z "$(mounts_below "$root")" ] || die "something is mounted below $root; not deleting it"
  if [ -d "$root" ]; then
    find "$root" -mindepth 1 -maxdepth 1 ! -name "$MARK_CREATING" -exec rm -rf --one-file-system -- {} +
  fi
  mkdir -p -- "$root"
  touch "$root/$MARK_CREATING"
  say "creating the i386 chroot: debootstrap $suite from $mirror into $root"
  start=$SECONDS
  include=()
  case "$mirror" in https:*) include=(--include=ca-certificates) ;; esac
  debootstrap --arch=i386 --variant=minbase "${include[@]}" "$suite" "$root" "$mirror" >&2 ||
    die "debootstrap failed (see $root/debootstrap/debootstrap.log)"
  # Keep the chroot lean and apt quiet about translations.
  printf '%s\n' 'path-exclude=/usr/share/doc/*' 'path-include=/usr/share/doc/*/copyright' \
    'path-exclude=/usr/share/man/*' 'path-exclude=/usr/share/locale/*' \
    >"$root/etc/dpkg/dpkg.cfg.d/90-tervalo-nodoc"
  echo 'Acquire::Languages "none";' >"$root/etc/apt/apt.conf.d/90-tervalo-nolang"
  touch "$root/$MARK_PACKAGES" "$root/$MARK_READY"
  rm -f -- "${root:?}/$MARK_CREATING"
  say "debootstrap took $((SECONDS - start)) s"
fi
in_chroot /bin/true 2>/dev/null ||
  die "cannot run i386 programs in $root (kernel without IA32 emulation, or a noexec mount)"

# ---- 2. packages ------------------------------------------------------------------------
# shellcheck disable=SC2086 # word splitting wanted: one package a word
read -r -a wanted <<<"$(printf '%s\n' $PACKAGES ${TERVALO_I386_PACKAGES:-} | sort -u | tr '\n' ' ')"
missing=$(printf '%s\n' "${wanted[@]}" | comm -23 - <(sort -u "$root/$MARK_PACKAGES"))
if [ -n "$missing" ]; then
  mount_system
  say "installing in the chroot: $(tr '\n' ' ' <<<"$missing")"
  start=$SECONDS
  in_chroot apt-get update -q >&2
  # shellcheck disable=SC2086 # one package a word
  in_chroot apt-get install -y -q --no-install-recommends $missing >&2
  in_chroot apt-get clean
  rm -rf -- "${root:?}"/var/lib/apt/lists/*
  printf '%s\n' "${wanted[@]}" | sort -u -o "$root/$MARK_PACKAGES" - "$root/$MARK_PACKAGES"
  say "package installation took $((SECONDS - start)) s"
fi

# ---- 3. build and test inside -------------------------------------------------------------
mount_system
mkdir -p "$root/src"
mount --bind -- "$checkout" "$root/src"
mount -o remount,bind,ro -- "$root/src"
rc=0
in_chroot bash /src/ci/i386.sh --inside || rc=$?
say "total $((SECONDS - total_start)) s"
exit "$rc"
