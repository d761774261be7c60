# shellcheck shell=bash
# Shared by the scripts in ci/ (sourced, not run): messages and the one figure line, folders
# that must never be used, and the Debian chroots (made once with debootstrap, then reused;
# the system mounted inside; commands run there with a clean environment).
#
# A script starts with `ci_start TAG`. From then on `say` writes "TAG: message" to standard
# error, `die` reports a setup problem (exit status 2), and whatever way the script ends, its
# last line on standard output is its figure, "[TAG] figure" as set by `figure`, or
# "[TAG] FAILED ..." when it ends before setting one. .ci/run takes the last line of that form.
# The part of a script that runs inside a chroot starts with `ci_start TAG inside` instead: its
# figure goes, untagged, to descriptor 3, where the host part picks it up (`adopt_figure`).
#
# A chroot folder holds ".tervalo-NAME-ready" once made; ".tervalo-NAME-creating" while
# debootstrap runs; "$root.lock" is held while it is made and while a run uses it, so that
# concurrent scripts keeping the same chroot wait for each other instead of installing into,
# or deleting, what another run uses.

CI_CHECKOUT=$(cd "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
CI_LIB=$CI_CHECKOUT/ci/lib.sh
readonly CI_CHECKOUT CI_LIB

# --- messages and the figure line --------------------------------------------------------------
ci_start() { # tag [inside]
  export CI_TAG=$1
  CI_INSIDE=${2:-}
  CI_FIGURE=
  CI_CLEANUP=()
  trap ci_finish EXIT
}

say() { printf '%s: %s\n' "${CI_TAG:-ci}" "$*" >&2; }

die() { # a setup problem: the message, then exit status 2
  say "error: $*"
  CI_FIGURE=${CI_FIGURE:-"FAILED (setup): $*"}
  exit 2
}

figure() { CI_FIGURE=$*; }

on_exit() { CI_CLEANUP+=("$(printf '%q ' "$@")"); } # command run at the end, before the figure

ci_finish() {
  local rc=$? command
  for command in "${CI_CLEANUP[@]}"; do eval "$command" || true; done
  if [ -z "$CI_FIGURE" ]; then
    CI_FIGURE="FAILED before any result (exit status $rc)"
  elif [ "$rc" -ne 0 ] && [[ "$CI_FIGURE" != FAILED* ]]; then
    CI_FIGURE="FAILED (exit status $rc): $CI_FIGURE"
  fi
  if [ -n "$CI_INSIDE" ]; then
    printf '%s\n' "$CI_FIGURE" >&3
  else
    printf '[%s] %s\n' "$CI_TAG" "$CI_FIGURE"
  fi
}

adopt_figure() { # file the inside part wrote its figure to
  if [ -s "$1" ]; then figure "$(tail -n 1 -- "$1")"; fi
}

# pytest's closing counts in a log, e.g. "968 passed, 1 skipped" (warnings left out); empty when
# there are none.
pytest_counts() { # log file
  grep -E '^(=+ )?([0-9]+ [a-z]+|no tests ran)\b.* in [0-9.]+s\b' -- "$1" | tail -n 1 |
    sed -E 's/^=+ //; s/ in [0-9.]+s\b.*$//; s/, [0-9]+ warnings?//'
}

# --- folders -----------------------------------------------------------------------------------
# A folder these scripts may fill or delete: never a system folder, never the checkout.
refuse_folder() { # folder what-it-is-for
  case "$1" in
    / | /bin | /boot | /dev | /etc | /home | /lib* | /opt | /proc | /root | /run | /sbin | /srv | \
      /sys | /tmp | /usr | /var | /var/cache)
      die "refusing to use $1 as $2" ;;
    "$CI_CHECKOUT" | "$CI_CHECKOUT"/*)
      die "$2 must be outside the checkout ($CI_CHECKOUT)" ;;
  esac
}

require_root() { # host tools needed
  [ "$(id -u)" = 0 ] || die "must run as root (debootstrap, chroot and mount need it)"
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || die "missing host tool: $tool"
  done
}

# --- chroots -----------------------------------------------------------------------------------
# The host's Debian archive for suite $1 (a one-line or deb822 apt source naming that suite,
# else one whose path ends in /debian; never a security archive), else Debian's redirector.
debian_mirror() { # suite
  local suite=$1 uri
  uri=$(
    {
      awk '$1 == "deb" { i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                         print $i, $(i + 1) }' \
        /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null
      # deb822 stanzas: every URI with every suite, unless disabled
      awk 'BEGIN { RS = ""; FS = "\n" }
        { n = 0; m = 0; off = 0
          for (i = 1; i <= NF; i++) {
            if ($i ~ /^URIs:/) n = split(substr($i, 6), u, /[ \t]+/)
            if ($i ~ /^Suites:/) m = split(substr($i, 8), s, /[ \t]+/)
            if ($i ~ /^Enabled:[ \t]*no/) off = 1
          }
          if (!off) for (a = 1; a <= n; a++) for (b = 1; b <= m; b++)
            if (u[a] != "" && s[b] != "") print u[a], s[b] }' \
        /etc/apt/sources.list.d/*.sources 2>/dev/null
    } | awk -v s="$suite" '$1 ~ /^(https?|file):/ && $1 !~ /-security/ && $2 !~ /-security$/ {
          if ($2 == s) { print $1; found = 1; exit }
          if (other == "" && $1 ~ /\/debian\/?$/) other = $1 }
        END { if (!found && other != "") print other }'
  ) || true
  echo "${uri:-http://deb.debian.org/debian}"
}

mounts_below() { # mount points below $1, as this mount namespace sees them
  awk -v d="$1/" 'index($5, d) == 1 { print $5 }' /proc/self/mountinfo
}

# The sid chroot serves ci/sid.sh (source builds) and ci/wheel_tests.sh (wheels on the newest
# CPythons), so it is made with the packages of both, whichever script makes it.
# shellcheck disable=SC2034 # used by the scripts that source this file
readonly SID_PACKAGES="python3.14-dev python3.14-venv python3.14-dbg python3.15-dev
  python3.15-venv g++ clang libc++-dev libc++abi-dev cmake ninja-build make binutils git
  ca-certificates"

# Make a chroot with debootstrap unless it is marked ready, holding its lock. A folder that is
# neither ready nor marked as being made by these scripts is someone else's: never touched.
ensure_chroot() { # root name arch suite packages(comma separated) [mirror]
  local root=$1 name=$2 arch=$3 suite=$4 include=$5 mirror=${6:-}
  local ready=$root/.tervalo-$name-ready creating=$root/.tervalo-$name-creating
  [ -e "$ready" ] && return 0
  refuse_folder "$root" "the $name chroot folder"
  mkdir -p -- "$(dirname -- "$root")"
  (
    flock 9
    [ -e "$ready" ] && exit 0
    if [ -d "$root" ] && [ -n "$(ls -A -- "$root")" ] && [ ! -e "$creating" ]; then
      die "$root is not empty and was not made by these scripts; choose a new folder"
    fi
    if ! command -v debootstrap >/dev/null || [ ! -e "/usr/share/debootstrap/scripts/$suite" ]; then
      say "installing debootstrap on the host"
      { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap; } >&2 ||
        die "could not install debootstrap"
    fi
    # Leftovers of an interrupted creation: wiped, but never through a mount.
    [ -z "$(mounts_below "$root")" ] || die "something is mounted below $root; not deleting it"
    if [ -d "$root" ]; then
      find "$root" -mindepth 1 -maxdepth 1 ! -name "${creating##*/}" -exec rm -rf --one-file-system -- {} +
    fi
    mkdir -p -- "$root"
    touch -- "$creating"
    mirror=${mirror:-$(debian_mirror "$suite")}
    case "$mirror" in https:*) include=ca-certificates${include:+,$include} ;; esac
    say "creating the $name chroot: debootstrap --arch=$arch $suite from $mirror into $root (a few minutes)"
    local start=$SECONDS
    debootstrap --arch="$arch" --variant=minbase ${include:+"--include=$include"} \
      "$suite" "$root" "$mirror" >&2 ||
      die "debootstrap failed (see $root/debootstrap/debootstrap.log)"
    # Kept lean, and apt quiet about translations.
    printf '%s\n' 'path-exclude=/usr/share/doc/*' 'path-include=/usr/share/doc/*/copyright' \
      'path-exclude=/usr/share/man/*' 'path-exclude=/usr/share/locale/*' \
      >"$root/etc/dpkg/dpkg.cfg.d/90-tervalo-nodoc"
    echo 'Acquire::Languages "none";' >"$root/etc/apt/apt.conf.d/90-tervalo-nolang"
    rm -f -- "$root"/var/cache/apt/archives/*.deb
    touch -- "$ready"
    rm -f -- "$creating"
    say "debootstrap took $((SECONDS - start)) s"
  ) 9>"$root.lock" || die "the $name chroot in $root could not be made"
}

# Run the rest of the script in a private mount namespace: the mounts made for a chroot are
# never seen on the host and vanish with the script, however it ends. $1 names the variable that
# marks the second start.
enter_private_namespace() { # marker-variable script arguments...
  local marker=$1
  shift
  [ -n "${!marker:-}" ] && return 0
  export "$marker=1"
  exec unshare --mount --propagation private -- bash "$@"
}

lock_chroot() { # root: held until the script ends (descriptor 9)
  mkdir -p -- "$(dirname -- "$1")"
  exec 9>"$1.lock"
  flock 9
}

# What apt, pip and the tests need inside: /proc, /dev/shm, /dev/pts, the host's name service
# and certificate store (as /tmp/host-ca.crt). Only within a private mount namespace.
mount_system() { # root
  local root=$1 f
  mountpoint -q "$root/proc" && return 0
  mkdir -p -- "$root/proc" "$root/dev/shm" "$root/dev/pts" "$root/tmp"
  mount -t proc proc "$root/proc"
  mount -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm"
  if mountpoint -q /dev/pts; then mount --bind /dev/pts "$root/dev/pts"; fi
  for f in resolv.conf hosts; do
    if [ -e "/etc/$f" ]; then
      rm -f -- "${root:?}/etc/$f"
      cp -L -- "/etc/$f" "$root/etc/$f"
    fi
  done
  if [ -e /etc/ssl/certs/ca-certificates.crt ]; then
    cp -L -- /etc/ssl/certs/ca-certificates.crt "$root/tmp/host-ca.crt"
  fi
}

mount_checkout() { # root: the checkout, read-only, at /src
  mkdir -p -- "$1/src"
  mount --bind -- "$CI_CHECKOUT" "$1/src"
  mount -o remount,bind,ro -- "$1/src"
}

# Run a command in a chroot with a clean environment: the basics, the proxy variables, CI,
# HYPOTHESIS_PROFILE, PIP_DEFAULT_TIMEOUT and every TERVALO_* variable the caller has, then the
# NAME=value assignments given before the command. An i386 chroot runs under a 32-bit
# personality.
in_chroot() { # root [NAME=value ...] command...
  local root=$1 v
  shift
  local -a envv=(PATH=/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
    TERM=dumb DEBIAN_FRONTEND=noninteractive PYTHONDONTWRITEBYTECODE=1
    PIP_DISABLE_PIP_VERSION_CHECK=1) personality=()
  if [ -e "$root/tmp/host-ca.crt" ]; then
    envv+=(PIP_CERT=/tmp/host-ca.crt SSL_CERT_FILE=/tmp/host-ca.crt)
  fi
  for v in CI HYPOTHESIS_PROFILE PIP_DEFAULT_TIMEOUT http_proxy HTTP_PROXY https_proxy \
    HTTPS_PROXY no_proxy NO_PROXY all_proxy ALL_PROXY $(compgen -e | grep '^TERVALO_'); do
    if [ -n "${!v+x}" ]; then envv+=("$v=${!v}"); fi
  done
  while [[ "${1:-}" =~ ^[A-Za-z_][A-Za-z0-9_]*= ]]; do
    envv+=("$1")
    shift
  done
  [ -e "$root/.tervalo-i386-ready" ] && personality=(setarch i686)
  "${personality[@]}" chroot "$root" /usr/bin/env -i "${envv[@]}" "$@"
}

# in_chroot in a mount namespace of its own with the system mounted, holding the chroot's lock:
# for a script that uses a chroot now and then rather than for the whole run.
run_in_chroot() { # root [NAME=value ...] command...
  mkdir -p -- "$1/proc"
  # shellcheck disable=SC2016 # expanded by the inner shell
  flock "$1.lock" unshare --mount --propagation private -- bash -c '
    source "$1" && shift && mount_system "$1" && in_chroot "$@"' _ "$CI_LIB" "$@"
}
