#!/usr/bin/env bash
# Installs what is missing, builds the helper and runs it with the options given, e.g.
#   scripts/run.sh --out recording.opus --secs 10
# It records the machine's sound server. Where none answers (a build box, a container), it
# starts a private PipeWire session for this run alone, with a null output as the default and
# a short piece of generated music playing into it, records that, and stops everything it
# started. The helper's status line and exit status reach the caller as they are.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" >&2
build="$root/build/release"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVMAH_BUILD_TESTS=OFF \
      -DVMAH_BUILD_BENCH=OFF >&2
cmake --build "$build" --target velgo_marrinet_audio_helper -j"$(nproc)" >&2
helper="$build/src/velgo_marrinet_audio_helper"

# Whether a sound server answers this user: a PulseAudio one (or PipeWire's pulse service),
# or a PipeWire daemon alone.
server_answers() {
  timeout 5 pactl info >/dev/null 2>&1 && return 0
  command -v pw-cli >/dev/null && timeout 5 pw-cli info 0 >/dev/null 2>&1
}
server_answers && exec "$helper" "$@"

echo "run.sh: no sound server answers; recording generated music from a private PipeWire session" >&2
source "$root/scripts/private-session.sh"
trap session_stop EXIT
session_start
session_play_music

# The helper runs in the background so that a stop (Ctrl-C, SIGTERM, SIGHUP) sent to this
# script reaches it as SIGTERM; the session is stopped once the helper has finished.
set +e
"${session_client[@]}" "$helper" "$@" &
helper_pid=$!
trap 'kill -TERM "$helper_pid" 2>/dev/null' INT TERM HUP
wait "$helper_pid"
status=$?
# A signal to this script ends the wait early; the helper's own status comes once it has
# finished.
while kill -0 "$helper_pid" 2>/dev/null; do
  wait "$helper_pid"
  status=$?
done
exit "$status"
