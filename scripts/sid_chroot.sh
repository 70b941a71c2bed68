#!/usr/bin/env bash
# Makes (or refreshes) a Debian unstable chroot that carries today's CPython
# releases, 3.14 and 3.15, with their headers, venv support and g++, and the
# machine's CA bundle and pip configuration so that pip works inside.
#
#   scripts/sid_chroot.sh [DIR]        default DIR: $ZAVRIK_SID_CHROOT or /var/tmp/zavrik-sid
#
# Prints the chroot's directory on its last line. Fails, saying which in one
# line, when the distribution no longer carries one of the interpreters: a run
# never goes on silently with fewer interpreters than it names.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-${ZAVRIK_SID_CHROOT:-/var/tmp/zavrik-sid}}"
mirror="${ZAVRIK_SID_MIRROR:-http://deb.debian.org/debian}"
minors="${ZAVRIK_SID_MINORS:-14 15}"
sudo=""
[ "$(id -u)" = 0 ] || sudo="sudo"

if ! command -v debootstrap >/dev/null; then
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq debootstrap >/dev/null
fi

mkdir -p "$dir"
dir="$(cd "$dir" && pwd)"
if [ ! -x "$dir/usr/bin/apt-get" ]; then
    $sudo debootstrap --variant=minbase sid "$dir" "$mirror" >"$dir.debootstrap.log" 2>&1 || {
        tail -20 "$dir.debootstrap.log" >&2
        echo "sid chroot: debootstrap of $mirror failed" >&2
        exit 1
    }
fi

# What pip needs inside: the CA bundle and the pip configuration, wherever
# this machine keeps them, and the resolver.
for f in /etc/ssl/certs/ca-certificates.crt /etc/pip.conf /etc/xdg/pip/pip.conf \
         /etc/xdg/pip/constraints.txt /etc/resolv.conf; do
    if [ -f "$f" ]; then
        $sudo mkdir -p "$dir$(dirname "$f")"
        $sudo cp -L "$f" "$dir$f"
    fi
done
for d in /opt/wheels /opt/pypi /opt/pypi-more; do
    if [ -d "$d" ] && ! mountpoint -q "$dir$d" 2>/dev/null; then
        $sudo mkdir -p "$dir$d"
        $sudo mount --bind "$d" "$dir$d" 2>/dev/null || $sudo cp -a "$d/." "$dir$d/"
    fi
done

# /proc and /dev/shm for the tests (signals, multiprocessing, /proc/self/fd).
mountpoint -q "$dir/proc" || $sudo mount -t proc proc "$dir/proc"
mountpoint -q "$dir/dev/pts" 2>/dev/null || { $sudo mkdir -p "$dir/dev/pts"; $sudo mount --bind /dev/pts "$dir/dev/pts" 2>/dev/null || true; }
mountpoint -q "$dir/dev/shm" 2>/dev/null || { $sudo mkdir -p "$dir/dev/shm"; $sudo mount -t tmpfs shm "$dir/dev/shm"; }

in_chroot() { $sudo chroot "$dir" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }

# e2fsprogs: chattr, for the tests of entries that cannot be removed.
pkgs="g++ make ca-certificates e2fsprogs"
for m in $minors; do pkgs="$pkgs python3.$m python3.$m-dev python3.$m-venv"; done
# The registry may serve unstable from a dated snapshot whose Release file
# has passed its Valid-Until: the packages are still the ones signed.
echo 'Acquire::Check-Valid-Until "false";' | $sudo tee "$dir/etc/apt/apt.conf.d/99zavrik-valid-until" >/dev/null
in_chroot apt-get update -qq >/dev/null
missing=""
for m in $minors; do
    if ! in_chroot apt-cache show "python3.$m-dev" >/dev/null 2>&1; then missing="$missing 3.$m"; fi
done
if [ -n "$missing" ]; then
    echo "sid chroot: Debian unstable no longer carries CPython$missing" >&2
    exit 1
fi
in_chroot env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $pkgs >/dev/null
# The machine's CA bundle again: installing ca-certificates wrote the
# distribution's own over it.
$sudo cp -L /etc/ssl/certs/ca-certificates.crt "$dir/etc/ssl/certs/ca-certificates.crt"
for m in $minors; do
    in_chroot "python3.$m" -c 'import sys; print("sid chroot: CPython", sys.version.split()[0])'
done
echo "$dir"
