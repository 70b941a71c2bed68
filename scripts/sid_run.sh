#!/usr/bin/env bash
# Runs a command on one of the sid chroot's interpreters (scripts/sid_chroot.sh),
# with this checkout bind-mounted at its own path and the package installed,
# editable, in a venv of the checkout's (build/sid-venv-3.MINOR).
#
#   scripts/sid_run.sh MINOR COMMAND...    e.g. scripts/sid_run.sh 14 python -m pytest -m 'not slow'
#
# COMMAND runs in the checkout with the venv first on PATH. ZAVRIK_SID_CHROOT
# names the chroot (default /var/tmp/zavrik-sid); it is made when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
minor="$1"; shift
src="$(pwd)"
dir="${ZAVRIK_SID_CHROOT:-/var/tmp/zavrik-sid}"
[ -x "$dir/usr/bin/python3.$minor" ] || scripts/sid_chroot.sh "$dir" >/dev/null
dir="$(cd "$dir" && pwd)"
sudo=""
[ "$(id -u)" = 0 ] || sudo="sudo"
mountpoint -q "$dir/proc" || $sudo mount -t proc proc "$dir/proc"
mountpoint -q "$dir/dev/shm" || { $sudo mkdir -p "$dir/dev/shm"; $sudo mount -t tmpfs shm "$dir/dev/shm"; }
if ! mountpoint -q "$dir$src"; then
    $sudo mkdir -p "$dir$src"
    $sudo mount --bind "$src" "$dir$src"
fi
venv="$src/build/sid-venv-3.$minor"
in_chroot() {
    $sudo chroot "$dir" /usr/bin/env -i PATH="$venv/bin:/usr/sbin:/usr/bin:/sbin:/bin" HOME=/root \
        LANG=C.UTF-8 PIP_DISABLE_PIP_VERSION_CHECK=1 ${CI:+CI=$CI} "$@"
}
if [ ! -x "$venv/bin/python" ] || [ -n "${ZAVRIK_SID_REINSTALL:-}" ]; then
    in_chroot "python3.$minor" -m venv --clear "$venv"
    in_chroot sh -c "cd '$src' && python -m pip install -q -e '.[test]'"
fi
in_chroot sh -c 'cd "$0" && exec "$@"' "$src" "$@"
