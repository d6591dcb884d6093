#!/usr/bin/env bash
# Installs what is missing, builds the helper and runs it with the options given, e.g.
#   scripts/run.sh --out recording.opus --secs 10
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" >&2
build="$root/build/release"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVMAH_BUILD_TESTS=OFF \
      -DVMAH_BUILD_BENCH=OFF >&2
cmake --build "$build" --target velgo_marrinet_audio_helper -j"$(nproc)" >&2
exec "$build/src/velgo_marrinet_audio_helper" "$@"
