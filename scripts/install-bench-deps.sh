#!/usr/bin/env bash
# Installs, as root, what the benchmarks need beyond the build and test dependencies: the
# peer recorders the end-to-end benchmark compares the helper with (ffmpeg with libopus;
# parec from pulseaudio-utils piped into opusenc from opus-tools), the private sound server
# they record from, and valgrind for profiling.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" ffmpeg
