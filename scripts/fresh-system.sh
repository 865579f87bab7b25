#!/usr/bin/env bash
# Proves that a newcomer's machine needs nothing but the README's commands:
# bootstraps a minimal Debian 12 (bookworm, minbase, main only) into a folder,
# puts a clean clone of this repository's HEAD into it and, as root inside it
# (with /proc, /sys and a /dev of its own mounted; all unmounted on every exit),
#   1. runs the README's test command (bash scripts/test.sh),
#   2. runs the README's run command, bounded: the screenshot walk against
#      the virtual sensor on the offscreen platform,
#   3. builds the Debian package with cpack,
#   4. runs the README's installer command (the Windows installer and zip),
#      with the cached Qt for Windows lent to it when there is one,
# then installs that package with apt-get into a second fresh Debian 12 and
# starts the installed program there (screenshot walk, offscreen).
#
# Needs root. The package mirror is the host's (its apt sources), or
# $KORVEN_MIRROR. If the apt sources name none, or the mirror cannot be
# reached, the script says so loudly and fails: a check that did not run
# must not pass.
#
# Cache (legal to keep on this machine, optional): $KORVEN_FRESH_CACHE
# (default /var/cache/korven-fresh) keeps the debootstrap tarball, apt's
# downloaded packages and a compiler cache between runs. Without it every
# run downloads and builds everything; KORVEN_FRESH_CACHE= (empty) forces that.
#   scripts/fresh-system.sh            work folder under /var/tmp, removed after
#   KORVEN_FRESH_KEEP=1 scripts/...    keep the work folder for inspection
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
suite=bookworm
cache=${KORVEN_FRESH_CACHE-/var/cache/korven-fresh}
started=$(date +%s)

say() { printf '[fresh-system %4ss] %s\n' "$(($(date +%s) - started))" "$*"; }
loud() {
  printf '\n%s\n' "########################################################################" >&2
  printf '### fresh-system: %s\n' "$@" >&2
  printf '%s\n\n' "########################################################################" >&2
}

if [ "$(id -u)" -ne 0 ]; then
  loud "needs root (debootstrap, chroot, mounts)"
  exit 2
fi

# ---- the mirror: the host's Debian source for bookworm, or $KORVEN_MIRROR
find_mirror() {
  local f uri
  if [ -n "${KORVEN_MIRROR:-}" ]; then
    echo "$KORVEN_MIRROR"
    return
  fi
  # deb822 files: the URIs of a stanza whose Suites name the release itself.
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -r "$f" ] || continue
    uri=$(awk -v s="$suite" '
      /^[[:space:]]*$/ { if (u != "" && ok) { print u; exit } u = ""; ok = 0; next }
      /^URIs:/ { u = $2 }
      /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == s) ok = 1 }
      END { if (u != "" && ok) print u }' "$f" | head -1)
    [ -n "$uri" ] && { echo "$uri"; return; }
  done
  # One-line format: deb [options] URI bookworm main ...
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -r "$f" ] || continue
    uri=$(awk -v s="$suite" '$1 == "deb" {
        i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
        if ($(i + 1) == s) { print $i; exit } }' "$f")
    [ -n "$uri" ] && { echo "$uri"; return; }
  done
  # No guess at a mirror: a host that names none for this release is not
  # the one the check was meant to run on.
  return 1
}
if ! mirror=$(find_mirror); then
  loud "no Debian mirror for $suite in /etc/apt/sources.list or /etc/apt/sources.list.d/" \
       "the fresh-system check did NOT run; set KORVEN_MIRROR to the mirror to use"
  exit 3
fi
mirror=${mirror%/}

if ! command -v debootstrap >/dev/null 2>&1; then
  say "installing debootstrap"
  DEBIAN_FRONTEND=noninteractive apt-get update -qq || true
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap
fi

say "mirror $mirror"
probe=$(mktemp)
if ! /usr/lib/apt/apt-helper download-file "$mirror/dists/$suite/Release" "$probe" \
    >/dev/null 2>&1; then
  rm -f "$probe"
  loud "the package mirror $mirror cannot be reached" \
       "the fresh-system check did NOT run; set KORVEN_MIRROR to a reachable mirror"
  exit 3
fi
rm -f "$probe"

# ---- work folder, mounts and their removal on every way out
work=$(mktemp -d /var/tmp/korven-fresh.XXXXXX)
mounted=()
cleanup() {
  local rc=$? i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" 2>/dev/null || true
  done
  # Never remove anything while a mount is left below the work folder.
  if grep -q " $work/" /proc/self/mounts; then
    echo "fresh-system: mounts left under $work; not removing it" >&2
  elif [ -z "${KORVEN_FRESH_KEEP:-}" ]; then
    rm -rf --one-file-system "$work"
  else
    echo "fresh-system: kept $work" >&2
  fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

bind() { # bind SOURCE TARGET
  mkdir -p "$2"
  mount --bind "$1" "$2"
  mounted+=("$2")
  mount --make-private "$2"
}

# A /dev of the root's own (device nodes on a tmpfs, a new pseudo-terminal
# instance, its own shared memory): nothing run inside can remove or replace
# the host's device nodes, as it could through a bind mount of /dev.
own_dev() { # own_dev DIR
  local dev=$1 name major minor
  mkdir -p "$dev"
  mount -t tmpfs -o mode=755,nosuid tmpfs "$dev"
  mounted+=("$dev")
  while read -r name major minor; do
    mknod -m 666 "$dev/$name" c "$major" "$minor"
  done <<'NODES'
null 1 3
zero 1 5
full 1 7
random 1 8
urandom 1 9
tty 5 0
NODES
  mkdir -p "$dev/pts" "$dev/shm"
  mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$dev/pts"
  mounted+=("$dev/pts")
  ln -s pts/ptmx "$dev/ptmx"
  mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$dev/shm"
  mounted+=("$dev/shm")
  ln -s /proc/self/fd "$dev/fd"
  ln -s /proc/self/fd/0 "$dev/stdin"
  ln -s /proc/self/fd/1 "$dev/stdout"
  ln -s /proc/self/fd/2 "$dev/stderr"
}

# A fresh Debian 12 in $1, from the cached tarball when there is one.
make_root() {
  local root=$1 tarball=
  if [ -n "$cache" ]; then
    mkdir -p "$cache"
    tarball=$cache/$suite-minbase.tgz
    # A month-old tarball is made again, so that point releases get in.
    find "$tarball" -mtime +30 -delete 2>/dev/null || true
    if [ ! -s "$tarball" ]; then
      say "downloading the base system into $tarball"
      debootstrap --variant=minbase --components=main --make-tarball="$tarball.part" \
        "$suite" "$work/tarball" "$mirror" >"$work/debootstrap.log" 2>&1 ||
        { tail -20 "$work/debootstrap.log" >&2; rm -f "$tarball.part"; return 1; }
      mv "$tarball.part" "$tarball"
      rm -rf --one-file-system "$work/tarball"
    fi
  fi
  say "bootstrapping Debian 12 minbase into $root"
  debootstrap --variant=minbase --components=main ${tarball:+--unpack-tarball="$tarball"} \
    "$suite" "$root" "$mirror" >"$work/debootstrap.log" 2>&1 ||
    { tail -20 "$work/debootstrap.log" >&2; return 1; }
  echo "deb $mirror $suite main" >"$root/etc/apt/sources.list"
  own_dev "$root/dev"
  mkdir -p "$root/proc" "$root/sys"
  mount -t proc proc "$root/proc" && mounted+=("$root/proc")
  mount -t sysfs sysfs "$root/sys" && mounted+=("$root/sys")
  cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
  if [ -n "$cache" ]; then
    mkdir -p "$cache/apt/partial"
    bind "$cache/apt" "$root/var/cache/apt/archives"
  fi
}

# Runs a command as root inside a root folder, with a clean environment.
in_root() { # in_root ROOT COMMAND...
  local root=$1
  shift
  chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    DEBIAN_FRONTEND=noninteractive QT_QPA_PLATFORM=offscreen CCACHE_DIR=/ccache "$@"
}

# ---- 1 to 3: the README's commands and the package on a fresh system
build=$work/build-root
make_root "$build"
say "cloning $(git -C "$repo" rev-parse --short HEAD) into /src"
git -C "$repo" diff --quiet HEAD -- || say "note: uncommitted changes are not part of the check"
git clone --quiet --no-local "$repo" "$build/src"
# HEAD itself, also when it is on no branch.
git -C "$build/src" fetch --quiet "$repo" HEAD
git -C "$build/src" checkout --quiet --detach FETCH_HEAD
if [ -n "$cache" ]; then
  # A compiler cache only makes the next run faster; the packages the build
  # needs still come from scripts/setup.sh alone.
  mkdir -p "$cache/ccache"
  bind "$cache/ccache" "$build/ccache"
  in_root "$build" apt-get update -qq
  in_root "$build" apt-get install -y -qq --no-install-recommends ccache >/dev/null
fi

say "README test command: bash scripts/test.sh"
if ! in_root "$build" bash -c 'cd /src && bash scripts/test.sh' >"$work/test.log" 2>&1; then
  tail -100 "$work/test.log" >&2
  loud "the README's test command failed on a fresh Debian 12"
  exit 1
fi
grep -E "tests passed|Total Test time" "$work/test.log" || true
say "README run command, bounded: the screenshot walk against the virtual sensor"
in_root "$build" bash -c 'cd /src && timeout 180 bash scripts/run-simulated.sh --screenshots /tmp/shots &&
  for f in main-run main-video calibration; do test -s /tmp/shots/$f.png; done'
say "Debian package: cpack -G DEB"
in_root "$build" bash -c 'cd /src/build && cpack -G DEB >/dev/null && ls -l ./*.deb'
deb=$(cd "$build/src/build" && ls korven-darir_*.deb | head -1)

# ---- the README's installer command on the same system. Qt for Windows
# takes about 35 minutes to build; its cache (keyed by version and options,
# filled by the Windows job before this check) is lent to the fresh system,
# which installs every tool itself.
wincache=${KORVEN_WIN_CACHE:-$HOME/.cache/korven-darir-windows}
if ls "$wincache"/qt-*-libs/.complete >/dev/null 2>&1; then
  mkdir -p "$build/root/.cache/korven-darir-windows"
  bind "$wincache" "$build/root/.cache/korven-darir-windows"
  say "README installer command: bash scripts/windows/build.sh"
  if ! in_root "$build" bash -c 'cd /src && bash scripts/windows/build.sh' >"$work/windows.log" 2>&1; then
    tail -60 "$work/windows.log" >&2
    loud "the README's installer command failed on a fresh Debian 12"
    exit 1
  fi
  in_root "$build" bash -c 'ls -l /src/build-windows/dist/KORVEN-Darir-*-setup.exe /src/build-windows/dist/KORVEN-Darir-*-portable.zip'
else
  say "skipped the installer command: no Qt for Windows in $wincache yet (scripts/windows/deps.sh builds it)"
fi

# ---- 4: the package on a second fresh system, which has none of the build's packages
run=$work/run-root
make_root "$run"
cp "$build/src/build/$deb" "$run/tmp/"
say "apt-get install ./$deb on a fresh system"
in_root "$run" apt-get update -qq
in_root "$run" bash -c "cd /tmp && apt-get install -y -qq --no-install-recommends ./$deb >/dev/null"
in_root "$run" bash -c 'dpkg -L korven-darir | grep -E "bin/|\.desktop|\.svg|man1|\.uir"'
say "starting the installed program as a normal user (screenshot walk, offscreen)"
# The walk saves a parameter file and a recording where the dialogues
# propose: for a new user, whose home has no documents folder yet, the home.
in_root "$run" useradd -m fitter
in_root "$run" runuser -u fitter -- env HOME=/home/fitter bash -c \
  'korven-sensor-sim --list-presets >/dev/null &&
  timeout 120 korven-darir --simulate --screenshots /tmp/shots &&
  for f in main-run main-video calibration; do test -s /tmp/shots/$f.png; done &&
  grep -q "Parameter file saved: /home/fitter/KRVNpara.dat" /tmp/shots/status.log &&
  grep -q "Recording to /home/fitter/KRVN-rec-.*\.csv" /tmp/shots/status.log &&
  test -s /home/fitter/KRVNpara.dat && korven-darir-cli --version >/dev/null'
say "passed: README commands, package build, Windows installer, install and start on fresh Debian 12"
