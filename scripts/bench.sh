#!/usr/bin/env bash
# Builds the benchmarks (the bench preset, in build/bench) and runs them with sizes that finish in a few
# minutes. The long forms take arguments:
#   build/bench/bench/bench_throughput [repetitions] [lines]
#   build/bench/bench/bench_throughput --wire [data-bytes] [bytes-per-record]   1 MiB: ~15 min
#   build/bench/bench/bench_window [--x-display] [repetitions]                  5: ~1 min
#   build/bench/bench/bench_memory [file-megabytes]
#   build/bench/bench/bench_soak [runs]                                         1000: ~25 min
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --bench
export QT_QPA_PLATFORM=offscreen
cmake --preset bench >/dev/null
cmake --build build/bench --target bench_throughput bench_window bench_memory bench_soak
status=0
run() {
    echo
    echo "## $*"
    "build/bench/bench/$@" || status=1
}
run bench_throughput 5
run bench_throughput --wire 65536
run bench_window 1
run bench_window --x-display 1
run bench_memory 100
run bench_soak 20
exit $status
