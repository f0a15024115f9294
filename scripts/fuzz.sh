#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer), replays their
# seed corpora as tests, then fuzzes each target for a bounded time over a scratch copy of its seeds,
# so the repository is never written. Exits non-zero when a target crashes, hangs or breaks one of its
# properties; the input that did it is kept in build/fuzz/findings/.
#   scripts/fuzz.sh [seconds-per-target]       default 12
# FUZZ_RUNS caps the runs per target (default 1000000); FUZZ_JOBS the build's jobs (default 2).
# FUZZ_SEED fixes libFuzzer's seed (default: a new one each run). CI fixes it, so that a tree passes or
# fails on its code and not on the luck of the draw; a search for new faults leaves it unset.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-12}"
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: scripts/fuzz.sh [seconds-per-target]" >&2
    exit 2
fi
runs="${FUZZ_RUNS:-1000000}"
seed="${FUZZ_SEED:-0}"
if ! [[ "$seed" =~ ^[0-9]+$ ]]; then
    echo "FUZZ_SEED must be a number (0: a new seed each run)" >&2
    exit 2
fi
targets=(fuzz_receive fuzz_lines fuzz_port_number fuzz_settings fuzz_firmware)
start=$SECONDS

scripts/install-deps.sh --fuzz

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "${FUZZ_JOBS:-2}"
built=$SECONDS

# Scratch space in memory where there is some: the settings target writes files on every run.
base=/dev/shm
[[ -d "$base" && -w "$base" ]] || base="${TMPDIR:-/tmp}"
scratch="$(mktemp -d "$base/pellora-fuzz.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/tmp"
export TMPDIR="$scratch/tmp"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

ctest --preset fuzz

findings="build/fuzz/findings"
mkdir -p "$findings"
failed=()
for target in "${targets[@]}"; do
    work="$scratch/$target"
    mkdir -p "$work/corpus"
    cp fuzz/corpus/"$target"/* "$work/corpus/"
    # Qt keeps every settings file it has read in a cache, so each input of the settings target ends
    # with more blocks than it began with; libFuzzer would run a full leak scan after every one.
    leaks=1
    [[ "$target" == fuzz_settings ]] && leaks=0
    if build/fuzz/fuzz/"$target" -max_total_time="$seconds" -runs="$runs" -timeout=10 -seed="$seed" \
        -rss_limit_mb=2048 -detect_leaks="$leaks" -artifact_prefix="$findings/$target-" \
        -print_final_stats=1 "$work/corpus" >"$work/log" 2>&1; then
        executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
        coverage=$(grep -o 'cov: [0-9]*' "$work/log" | tail -n 1)
        echo "$target: ok, ${executed:-?} runs in ${seconds} s, ${coverage:-cov: ?}"
    else
        echo "$target: FAILED"
        tail -n 80 "$work/log"
        failed+=("$target")
    fi
done

echo "fuzz: build $((built - start)) s, all $((SECONDS - start)) s"
if [[ ${#failed[@]} -gt 0 ]]; then
    echo "fuzz: ${failed[*]} failed; the inputs are in $findings/ (replay: build/fuzz/fuzz/<target> <file>)" >&2
    exit 1
fi
