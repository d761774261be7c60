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
# is mounted read-only inside and copied to a scratch folder there, so nothing is ever written
# into it. The mounts are made in a private mount namespace and disappear with the script.
#
# Environment (all optional):
#   TERVALO_SID_ROOT     chroot folder (default /var/cache/tervalo-sid); keep it on a
#                        persistent disk, outside the checkout, not noexec/nodev
#   TERVALO_SID_MIRROR   Debian mirror (default: the host's apt source, else deb.debian.org)
#   TERVALO_SID_PYTEST   extra pytest arguments for every run, space separated
#   CI, HYPOTHESIS_PROFILE, TERVALO_* test knobs and the proxy variables are passed through.
#
# Prints one figure line last, e.g.
#   [sid] CPython 3.14.10: 969 passed; 3.15.2: 969 passed; 3.14-dbg leaks: 0 in 123 scenarios;
#   clang 21 + libc++: 969 passed
# Exit status: 0 when every run passed, 1 when a build or a test failed (pytest's 5, "no tests
# ran", counts as a failure), 2 for a setup problem.
set -euo pipefail

readonly PACKAGES="python3.14-dev python3.14-venv python3.14-dbg python3.15-dev python3.15-venv
  g++ clang libc++-dev libc++abi-dev cmake ninja-build make binutils git ca-certificates"
readonly MARK_READY=.tervalo-sid-ready MARK_CREATING=.tervalo-sid-creating

say() { printf '[sid] %s\n' "$*" >&2; }
die() {
  say "error: $*"
  exit 2
}

# ---------------------------------------------------------------------------------------
# Inside the chroot. Called by the host part below as
#   bash /src/ci/sid.sh --inside 3>FIGURE
# with the checkout mounted read-only at /src; the figure line is written to descriptor 3.
# ---------------------------------------------------------------------------------------
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
  local last
  last=$(grep -E '^(=+ )?[0-9]+ [a-z]+.* in [0-9.]+s\b' "$1" | tail -n 1 |
    sed -E 's/^=+ //; s/ in [0-9.]+s\b.*$//')
  echo "${last:-no result}"
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
print("[sid] imported", m.__file__, file=sys.stderr)') || return 1
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

inside() {
  export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_PROGRESS_BAR=off PYTHONDONTWRITEBYTECODE=1
  # Runs are serialised by the host's lock, so any older folder is a killed run's litter.
  rm -rf /tmp/tervalo-sid.*
  work=$(mktemp -d /tmp/tervalo-sid.XXXXXX) # global: the functions above and the trap use it
  trap 'rm -rf -- "$work"' EXIT
  say "g++: $(g++ --version | head -n 1)"

  # A writable copy of the sources, without what earlier local runs left in the checkout.
  mkdir "$work/src"
  tar -C /src --exclude=./.git --exclude=./build --exclude=./dist --exclude='./.venv*' \
    --exclude=./.ci-venv --exclude=./.hypothesis -cf - . | tar -C "$work/src" -xf -

  release_run python3.14
  release_run python3.15
  debug_run
  clang_run

  local IFS=';'
  local line="${figures[*]}"
  line=${line//;/; }
  if [ "$failures" -eq 0 ]; then
    echo "[sid] $line" >&3
  else
    echo "[sid] FAILED ($failures of 4 runs): $line" >&3
  fi
  [ "$failures" -eq 0 ]
}

if [ "${1:-}" = --inside ]; then
  set +e # every run is tried; each records its own failure
  inside
  exit $?
fi

# ---------------------------------------------------------------------------------------
# On the host.
# ---------------------------------------------------------------------------------------
[ "$(id -u)" = 0 ] || die "must run as root (debootstrap, chroot and mount need it)"
[ "$(uname -m)" = x86_64 ] || die "host is $(uname -m); the chroot is made for x86-64"
for tool in chroot mount unshare flock realpath; do
  command -v "$tool" >/dev/null || die "missing host tool: $tool"
done

self=$(realpath -- "${BASH_SOURCE[0]}")
checkout=$(dirname -- "$(dirname -- "$self")")
root=$(realpath -m -- "${TERVALO_SID_ROOT:-/var/cache/tervalo-sid}")
case "$root" in
  / | /bin | /boot | /dev | /etc | /home | /lib* | /opt | /proc | /root | /run | /sbin | /srv | /sys | /tmp | /usr | /var | /var/cache)
    die "refusing to use $root as the chroot folder" ;;
  "$checkout" | "$checkout"/*)
    die "the chroot folder must be outside the checkout ($checkout)" ;;
esac

# Everything below runs in a private mount namespace: the mounts made for the chroot are
# never seen on the host and vanish with the script, however it ends.
if [ -z "${TERVALO_SID_NAMESPACE:-}" ]; then
  export TERVALO_SID_NAMESPACE=1
  exec unshare --mount --propagation private -- bash "$self" "$@"
fi

mkdir -p -- "$(dirname -- "$root")"
exec 9>"$root.lock"
flock 9 # one run per chroot at a time

total_start=$SECONDS

mounts_below() { # mount points below $1, as this namespace sees them
  awk -v d="$1/" 'index($5, d) == 1 { print $5 }' /proc/self/mountinfo
}

debian_mirror() { # the host's Debian archive (not its security archive), else the redirector
  local uri
  uri=$(
    {
      cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        awk '$1 == "deb" { i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }; print $i }'
      cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '$1 == "URIs:" { print $2 }'
    } | grep -E '^(https?|file):' | grep -v -- '-security' | head -n 1
  ) || true
  echo "${uri:-http://deb.debian.org/debian}"
}

in_chroot() { # run "$@" in the chroot with a clean environment
  local -a envv=(PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 TERM=dumb
    DEBIAN_FRONTEND=noninteractive PYTHONDONTWRITEBYTECODE=1
    PIP_CERT=/tmp/host-ca.crt SSL_CERT_FILE=/tmp/host-ca.crt)
  local v
  for v in CI HYPOTHESIS_PROFILE PIP_DEFAULT_TIMEOUT http_proxy HTTP_PROXY https_proxy \
    HTTPS_PROXY no_proxy NO_PROXY all_proxy ALL_PROXY $(compgen -e | grep '^TERVALO_' || true); do
    if [ -n "${!v+x}" ]; then envv+=("$v=${!v}"); fi
  done
  chroot "$root" /usr/bin/env -i "${envv[@]}" "$@"
}

mounted=0
mount_system() { # what apt, pip and the tests need; DNS and certificates as the host has them
  [ "$mounted" = 0 ] || return 0
  mkdir -p "$root/proc" "$root/dev/shm" "$root/dev/pts" "$root/tmp"
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
  # pip inside reaches the index through the host's certificate store.
  cp -L -- /etc/ssl/certs/ca-certificates.crt "$root/tmp/host-ca.crt"
  mounted=1
}

# ---- 1. the base system -----------------------------------------------------------------
if [ ! -e "$root/$MARK_READY" ]; then
  if [ -d "$root" ] && [ -n "$(ls -A -- "$root")" ] && [ ! -e "$root/$MARK_CREATING" ]; then
    die "$root is not empty and was not made by this script; set TERVALO_SID_ROOT to a new folder"
  fi
  mirror=${TERVALO_SID_MIRROR:-$(debian_mirror)}
  if ! command -v debootstrap >/dev/null || [ ! -e /usr/share/debootstrap/scripts/sid ]; then
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
  say "creating the sid chroot: debootstrap sid from $mirror into $root"
  start=$SECONDS
  # shellcheck disable=SC2086 # one package a word
  debootstrap --variant=minbase --include="$(printf '%s,' $PACKAGES | sed 's/,$//')" \
    sid "$root" "$mirror" >&2 ||
    die "debootstrap failed (see $root/debootstrap/debootstrap.log)"
  # Keep the chroot lean and apt quiet about translations.
  printf '%s\n' 'path-exclude=/usr/share/doc/*' 'path-include=/usr/share/doc/*/copyright' \
    'path-exclude=/usr/share/man/*' 'path-exclude=/usr/share/locale/*' \
    >"$root/etc/dpkg/dpkg.cfg.d/90-tervalo-nodoc"
  echo 'Acquire::Languages "none";' >"$root/etc/apt/apt.conf.d/90-tervalo-nolang"
  in_chroot apt-get clean
  touch "$root/$MARK_READY"
  rm -f -- "${root:?}/$MARK_CREATING"
  say "debootstrap took $((SECONDS - start)) s"
fi
in_chroot /bin/true 2>/dev/null || die "cannot run programs in $root (a noexec mount?)"

# ---- 2. packages ------------------------------------------------------------------------
# A package this script came to need after the chroot was made is added with apt.
# shellcheck disable=SC2086,SC2016 # one package a word; dpkg-query's own ${...} fields
missing=$(in_chroot dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' $PACKAGES 2>/dev/null |
  awk '$2 == "ii" { print $1 }' | sort | comm -13 - <(printf '%s\n' $PACKAGES | sort))
if [ -n "$missing" ]; then
  mount_system
  say "installing in the chroot: $(tr '\n' ' ' <<<"$missing")"
  start=$SECONDS
  in_chroot apt-get update -q >&2 || die "apt-get update in the chroot"
  # shellcheck disable=SC2086 # one package a word
  in_chroot apt-get install -y -q --no-install-recommends $missing >&2 ||
    die "apt-get install in the chroot"
  in_chroot apt-get clean
  rm -rf -- "${root:?}"/var/lib/apt/lists/*
  say "package installation took $((SECONDS - start)) s"
fi

# ---- 3. build and test inside -------------------------------------------------------------
mount_system
mkdir -p "$root/src"
mount --bind -- "$checkout" "$root/src"
mount -o remount,bind,ro -- "$root/src"
figure_file=$(mktemp -t tervalo-sid-figure.XXXXXX)
trap 'rm -f -- "$figure_file"' EXIT
rc=0
in_chroot bash /src/ci/sid.sh --inside 3>"$figure_file" || rc=$?
say "total $((SECONDS - total_start)) s"
if [ -s "$figure_file" ]; then
  cat -- "$figure_file"
else
  echo "[sid] FAILED before any result (exit status $rc)"
  [ "$rc" -ne 0 ] || rc=1
fi
exit "$rc"
