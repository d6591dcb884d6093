#!/usr/bin/env bash
# Installs what the benchmarks need (peer recorders included), builds them in release mode
# and runs both: the writer against a bare encoder loop, then the helper end to end against
# ffmpeg and parec | opusenc on a private sound server. Arguments go to e2e_bench, e.g.
#   bench/run.sh --server pipewire --player-latency-ms 170
#   bench/run.sh --rounds 5 --player-latency-ms 100
#   bench/run.sh --server pipewire --load 4 --nice 19 --secs 60 --player-latency-ms 50
# Figures are only comparable within one run; take them on an otherwise idle machine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-bench-deps.sh" >&2
build="$root/build/bench"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVMAH_BUILD_TESTS=OFF -DVMAH_BUILD_BENCH=ON >&2
cmake --build "$build" --target writer_bench e2e_bench -j2 >&2
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bench/writer_bench"
"$build/bench/e2e_bench" "$@"
