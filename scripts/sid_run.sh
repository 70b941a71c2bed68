#!/usr/bin/env bash
# Runs a command on one of the sid chroot's interpreters (scripts/sid_chroot.sh),
# with this checkout bind-mounted at its own path.
#
#   scripts/sid_run.sh MINOR COMMAND...    e.g. scripts/sid_run.sh 14 python -m pytest -m 'not slow'
#
# Two ways to have the package, chosen by ZAVRIK_SID_INSTALL:
#
#   editable (default)  installed editable in a venv of the checkout's
#                       (build/sid-venv-3.MINOR), made once and kept
#                       (ZAVRIK_SID_REINSTALL=1 makes it again, e.g. after
#                       C++ changes); COMMAND runs in the checkout.
#   user                as a user installs it: `pip install '.[test]'` into a
#                       fresh venv (build/sid-user-3.MINOR, made anew on every
#                       run), and COMMAND runs in a new empty directory outside
#                       the checkout, so that only the installed package can be
#                       imported (name the checkout's files by absolute path:
#                       the checkout has the same path inside as outside).
#                       ZAVRIK_SID_KEEP=1 runs in the venv the last such run
#                       made, when there is one, instead of making it anew.
#
# The venv comes first on PATH. ZAVRIK_SID_CHROOT names the chroot (default
# /var/tmp/zavrik-sid); it is made when missing. CI and SOURCE_DATE_EPOCH are
# passed in when set.
set -euo pipefail
cd "$(dirname "$0")/.."
minor="$1"; shift
src="$(pwd)"
mode="${ZAVRIK_SID_INSTALL:-editable}"
case "$mode" in
    editable|user) ;;
    *) echo "sid_run.sh: ZAVRIK_SID_INSTALL must be editable or user, not '$mode'" >&2; exit 2 ;;
esac
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
in_chroot() {
    $sudo chroot "$dir" /usr/bin/env -i PATH="$venv/bin:/usr/sbin:/usr/bin:/sbin:/bin" HOME=/root \
        LANG=C.UTF-8 PIP_DISABLE_PIP_VERSION_CHECK=1 ${CI:+CI=$CI} \
        ${SOURCE_DATE_EPOCH:+SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH} "$@"
}

# A venv counts as made once the package is installed in it: its python is a
# link to the chroot's interpreter (which the host cannot follow), and an
# install that was cut short must be redone.
made() { [ -f "$venv/.zavrik-installed" ]; }
make_venv() {
    # From nothing, with the chroot's interpreter named by its path: the
    # venv's own bin comes first on PATH, and a venv made from a half-made
    # one links its python to itself.
    rm -rf "$venv"
    in_chroot "/usr/bin/python3.$minor" -m venv "$venv"
    in_chroot sh -c "cd '$src' && python -m pip install -q $1"
    touch "$venv/.zavrik-installed"
}

if [ "$mode" = editable ]; then
    venv="$src/build/sid-venv-3.$minor"
    if ! made || [ -n "${ZAVRIK_SID_REINSTALL:-}" ]; then
        make_venv "-e '.[test]'"
    fi
    in_chroot sh -c 'cd "$0" && exec "$@"' "$src" "$@"
    exit
fi

venv="$src/build/sid-user-3.$minor"
if ! made || [ -z "${ZAVRIK_SID_KEEP:-}" ]; then
    make_venv "'.[test]'"
fi
# The command's directory: new, empty and outside the checkout; removed after.
work="$(in_chroot mktemp -d /tmp/zavrik-sid-run.XXXXXX)"
trap '$sudo rm -rf "$dir$work"' EXIT
# The package the command will import must be the installed one.
in_chroot sh -c 'cd "$0" && python -c "
import sys, zavrik.skills.packaging as m
where = m.__file__
if not where.startswith(sys.prefix + \"/\"):
    sys.exit(f\"sid_run.sh: zavrik.skills.packaging is imported from {where}, not from the venv {sys.prefix}\")
print(f\"sid_run.sh: CPython {sys.version.split()[0]}, zavrik installed at {where}\")
"' "$work"
in_chroot sh -c 'cd "$0" && exec "$@"' "$work" "$@"
