#!/usr/bin/env bash
# Installs what is missing, checks the C++ style, builds and runs every test: a plain build
# with warnings as errors, the same suite under AddressSanitizer + UndefinedBehaviorSanitizer
# and under ThreadSanitizer, each in its own build directory, and a bounded run of every
# libFuzzer target (scripts/fuzz.sh). Tests that need a sound server start a private one of
# their own; they mostly wait on the wall clock, so several run side by side (VMAH_E2E_JOBS,
# twice the cores by default), each with its own server, and those that keep the machine busy
# or whose bounds are tight run alone within their build. The long recording (label long)
# runs in the plain build only, at the end beside the fuzz targets' run: sanitizers make it
# take many times as long and it checks nothing they would add. Any failure or sanitizer
# report fails the run.
#
#   scripts/test.sh                  everything
#   scripts/test.sh plain tsan       some configurations: plain, asan, tsan, fuzz
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
configs=("$@")
((${#configs[@]})) || configs=(plain asan tsan fuzz)
for config in "${configs[@]}"; do
  [[ $config =~ ^(plain|asan|tsan|fuzz)$ ]] || { echo "unknown configuration: $config" >&2; exit 2; }
done
"$root/scripts/install-deps.sh"

# Every C++ file keeps the one style of .clang-format.
# Each step's heading says when it began, in seconds since the start.
started=$SECONDS
say() { echo "=== [$((SECONDS - started)) s] $*"; }
say style
(cd "$root" && git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror)
echo "style: every C++ file follows .clang-format"

jobs=$(nproc)
e2e_jobs=${VMAH_E2E_JOBS:-$((2 * jobs))}
selected() { [[ " ${configs[*]} " == *" $1 "* ]]; }
sanitizers=()
for config in asan tsan; do selected "$config" && sanitizers+=("$config"); done
# Ninja keeps both cores busy across targets; fuzz.sh's build uses it too.
export CMAKE_GENERATOR=Ninja

build_dir() { echo "$root/build/test-$1"; }
# A build directory another generator made is made anew.
drop_other_generator() {
  [[ ! -f $1/CMakeCache.txt ]] || grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$1/CMakeCache.txt" ||
    rm -rf "$1"
}

build_config() {
  local config=$1 build
  build=$(build_dir "$config")
  drop_other_generator "$build"
  # Unity builds: each target's sources compiled together, in two thirds of the time.
  local flags=(-DVMAH_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_UNITY_BUILD=ON)
  case "$config" in
    asan) flags+=(-DVMAH_SANITIZE=address,undefined -DVMAH_BUILD_BENCH=OFF) ;;
    tsan) flags+=(-DVMAH_SANITIZE=thread -DVMAH_BUILD_BENCH=OFF) ;;
  esac
  cmake -S "$root" -B "$build" "${flags[@]}"
  cmake --build "$build" -j"$jobs"
}

# The fuzz targets' build and their bounded run (FUZZ_STEPS=build or run: one of them).
fuzz() {
  drop_other_generator "$(build_dir fuzz)"
  FUZZ_BUILD_DIR="$(build_dir fuzz)" "$root/scripts/fuzz.sh"
}

# Work that keeps no clock, for the end, where the end-to-end tests leave the CPU idle: the
# fuzz targets' build, then their run, which lasts its set time whatever CPU it gets, beside
# the plain build's long recording (minutes of encoding).
work_without_a_clock() {
  local long_pid= long_status=0 fuzz_status=0 build
  build=$(build_dir plain)
  selected fuzz && FUZZ_STEPS=build fuzz
  if selected plain; then
    (cd "$build" && ctest --output-on-failure --timeout 900 -L long) >"$build/long-test.log" 2>&1 &
    long_pid=$!
  fi
  if selected fuzz; then FUZZ_STEPS=run fuzz || fuzz_status=$?; fi
  if [[ -n $long_pid ]]; then
    wait "$long_pid" || long_status=$?
    cat "$build/long-test.log"
  fi
  ((fuzz_status == 0 && long_status == 0))
}

unit_tests() {
  (cd "$(build_dir "$1")" && ctest --output-on-failure --timeout 300 -j"$jobs" -LE 'e2e|long')
}

# Tests against a private sound server measure wall-clock behaviour but use little CPU: a few
# run at once, each against its own server; ctest runs those marked RUN_SERIAL alone. The
# helper's end-to-end tests against PipeWire run in the plain build only: they take the same
# code paths under another server, and the sanitizers would add time, not findings. The
# PipeWire backend's own tests run in every build: its data thread, ring and worker are code
# of their own.
e2e_tests() {
  local e2e_labels='^e2e$|^e2e-pipewire-backend$'
  [[ $1 == plain ]] && e2e_labels='^e2e'
  (cd "$(build_dir "$1")" && ctest --output-on-failure --timeout 300 -j"$e2e_jobs" -L "$e2e_labels")
}

# Runs "$@" in the background with its output in a log; finish_step shows the log once the
# step is done and fails the run if the step failed. An idle step runs in the idle scheduling
# class: it takes only CPU time that nothing else wants, so the tests beside it, which mostly
# wait on the wall clock, see a quiet machine.
declare -A step_pid step_log
# On the way out, whatever a step left running goes with it, its children first.
kill_tree() {
  local child
  for child in $(pgrep -P "$1"); do kill_tree "$child"; done
  kill "$1" 2>/dev/null || true
}
trap 'for pid in $(jobs -p); do kill_tree "$pid"; done' EXIT
start_step() {
  local name=$1 class=$2
  shift 2
  step_log[$name]="$root/build/$name.log"
  mkdir -p "$root/build"
  if [[ $class == idle ]]; then
    (chrt --idle -p 0 "$BASHPID"; "$@") >"${step_log[$name]}" 2>&1 &
  else
    ("$@") >"${step_log[$name]}" 2>&1 &
  fi
  step_pid[$name]=$!
}
finish_step() {
  local name=$1 status=0
  wait "${step_pid[$name]}" || status=$?
  say "$name: finished"
  cat "${step_log[$name]}"
  ((status == 0)) || { echo "=== $name failed" >&2; exit "$status"; }
}
build_sanitizers() { for config in "${sanitizers[@]}"; do build_config "$config"; done; }

# The plain build first, with the whole machine; the sanitizer builds follow it in the idle
# class while the plain tests run. Then the sanitizer builds' unit tests, which keep the cores
# busy, one build at a time; then their end-to-end tests, which mostly wait, one build at a
# time too (each keeps its own alone tests alone), while the work without a clock runs in the
# idle class.
if selected plain; then
  say plain build
  build_config plain
  ((${#sanitizers[@]} == 0)) || start_step sanitizer-builds idle build_sanitizers
  say plain tests
  unit_tests plain
  e2e_tests plain
  ((${#sanitizers[@]} == 0)) || finish_step sanitizer-builds
else
  build_sanitizers
fi
if selected fuzz || selected plain; then start_step fuzz-and-long-recording idle work_without_a_clock; fi
for config in "${sanitizers[@]}"; do
  say "$config unit tests"
  unit_tests "$config"
done
# One sanitizer build's end-to-end tests at a time: side by side, eight tests under
# sanitizers on two cores broke the wall-clock bounds of tests of the backend's timing.
for config in "${sanitizers[@]}"; do
  say "end-to-end tests: $config"
  start_step "$config-e2e-tests" normal e2e_tests "$config"
  finish_step "$config-e2e-tests"
done
if selected fuzz || selected plain; then finish_step fuzz-and-long-recording; fi
say "every test passed: ${configs[*]}"
