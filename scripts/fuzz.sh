#!/usr/bin/env bash
# Runs each fuzz harness for a bounded time (atheris, from PyPI).
#
#   scripts/fuzz.sh [seconds-per-harness=30] [harness...]
#
# New inputs go to a scratch directory ($ZAVRIK_FUZZ_WORK, default a temporary
# one); fuzz/corpus/<harness> is read as seeds and never written. A failing
# input is written to the work directory as crash-<hash>, its log is shown and
# the script stops with a non-zero status. Replay one input with
#   python3 fuzz/fuzz_<harness>.py <file>
# and keep the interesting inputs of a long run as regression tests with
#   python3 fuzz/fuzz_<harness>.py -merge=1 fuzz/corpus/<harness> <work>/<harness>
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-30}"
shift || true
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=(manifest skill_allowed arguments function_objects)
work="${ZAVRIK_FUZZ_WORK:-$(mktemp -d)}"

# libFuzzer ends the process without the interpreter's exit handlers, so
# the harnesses' sandboxes go to the work directory.
mkdir -p "$work/tmp"
export TMPDIR="$work/tmp"

for harness in "${harnesses[@]}"; do
    mkdir -p "$work/$harness"
    options=(-max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -print_final_stats=1)
    [ -f "$root/fuzz/$harness.dict" ] && options+=(-dict="$root/fuzz/$harness.dict")
    log="$work/$harness.log"
    if ! (cd "$work" && python3 "$root/fuzz/fuzz_$harness.py" "${options[@]}" \
            "$work/$harness" "$root/fuzz/corpus/$harness" >"$log" 2>&1); then
        tail -n 60 "$log"
        echo "fuzz_$harness failed; the input is in $work" >&2
        exit 1
    fi
    runs="$(grep -m1 -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')"
    echo "fuzz_$harness: ${seconds}s, $runs inputs, no failure"
done
