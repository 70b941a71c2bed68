#!/usr/bin/env bash
# Builds the extension with Clang, every warning of -Wall -Wextra an error,
# in a private copy of the working tree, and runs the test suite against it.
#
#   scripts/clang_check.sh [pytest arguments...]     (CI: -m 'not slow')
#
# The copy (default /tmp/zavrik-clang, or $ZAVRIK_CLANG_DIR) keeps the
# working tree's own in-place build untouched. Needs clang and clang++ on
# PATH (Debian: apt-get install clang).
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
dest="${ZAVRIK_CLANG_DIR:-/tmp/zavrik-clang}"

rm -rf "$dest"
mkdir -p "$dest"
tar -C "$src" --exclude=.git --exclude='*.so' --exclude='*.o' --exclude=build \
    --exclude=__pycache__ --exclude=.pytest_cache --exclude=.hypothesis \
    --exclude='*.egg-info' -cf - . | tar -C "$dest" -xf -

cd "$dest"
clang++ --version | head -n 1
# CFLAGS from the environment come after the interpreter's own flags;
# -Werror turns the -Wall -Wextra that setup.py adds into errors.
if ! CC=clang CXX=clang++ CFLAGS="-Werror" \
        python3 setup.py build_ext --inplace -t "$dest/build/tmp" >"$dest/build.log" 2>&1; then
    cat "$dest/build.log"
    echo "clang build failed" >&2
    exit 1
fi
if grep -n "warning:" "$dest/build.log"; then
    echo "clang build warned" >&2
    exit 1
fi
grep -E '^clang\+\+ .*-shared' "$dest/build.log" | head -n 1

export PYTHONPATH="$dest${PYTHONPATH:+:$PYTHONPATH}"
python3 -m pytest -q -p no:cacheprovider "$@"
