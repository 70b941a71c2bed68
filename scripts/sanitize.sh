#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer in
# a private copy of the working tree and runs the test suite against it.
#
#   scripts/sanitize.sh [pytest arguments...]
#
# The copy (a new temporary directory, removed at the end; or $ZAVRIK_ASAN_DIR,
# emptied first and kept) keeps the normal in-place build of the working tree
# untouched. The interpreter itself is not
# instrumented, so the sanitizer runtimes are preloaded, and leak detection is
# off (the interpreter's own allocations would drown it; tests/leakcheck.py
# covers leaks). Any report stops the process with a non-zero status.
# With ZAVRIK_ASAN_FUZZ_SECONDS=N each fuzz harness also runs N seconds under
# the sanitizers after the suite.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
if [ -n "${ZAVRIK_ASAN_DIR:-}" ]; then
    dest="$ZAVRIK_ASAN_DIR"
    rm -rf "$dest"
    mkdir -p "$dest"
else
    dest="$(mktemp -d "${TMPDIR:-/tmp}/zavrik-asan.XXXXXX")"
    trap 'rm -rf "$dest"' EXIT
fi
# The working tree as it is (uncommitted changes included), without build
# products and caches.
tar -C "$src" --exclude=.git --exclude='*.so' --exclude='*.o' --exclude=build \
    --exclude=__pycache__ --exclude=.pytest_cache --exclude=.hypothesis \
    --exclude='*.egg-info' -cf - . | tar -C "$dest" -xf -

cd "$dest"
if ! ZAVRIK_SANITIZE=1 python3 setup.py -q build_ext --inplace -t "$dest/build/tmp" \
        >"$dest/build.log" 2>&1; then
    cat "$dest/build.log"
    exit 1
fi

export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# Subprocesses started by the tests import this copy too.
export PYTHONPATH="$dest${PYTHONPATH:+:$PYTHONPATH}"
export ZAVRIK_EXPECT_SANITIZED=1

# tests/test_build_artifacts.py builds, installs and freezes copies of its own
# (not instrumented, the C++ runtime linked in statically) in subprocesses;
# loaded under the preloaded runtime such a copy trips ASan's allocator
# checks, and none of it exercises this build. Everything else runs.
python3 -m pytest -q -p no:cacheprovider --ignore=tests/test_build_artifacts.py "$@"

seconds="${ZAVRIK_ASAN_FUZZ_SECONDS:-0}"
if [ "$seconds" != 0 ]; then
    scripts/fuzz.sh "$seconds"
fi
