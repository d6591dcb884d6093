#!/usr/bin/env bash
# Installs what is missing, checks the C++ style, builds and runs every test: a plain build
# with warnings as errors, then the same suite under AddressSanitizer +
# UndefinedBehaviorSanitizer and under ThreadSanitizer, each in its own build directory, then
# a bounded run of every libFuzzer target (scripts/fuzz.sh). Tests that need a sound server
# start a private one of their own. The long recording (label long) runs in the plain build
# only, beside the end-to-end tests: sanitizers make it take many times as long and it checks
# nothing they would add. Any failure or sanitizer report fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"

# Every C++ file keeps the one style of .clang-format.
echo "=== style"
(cd "$root" && git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror)
echo "style: every C++ file follows .clang-format"

jobs=$(nproc)
configs=(plain asan tsan fuzz)
[[ $# -gt 0 ]] && configs=("$@")

for config in "${configs[@]}"; do
  build="$root/build/test-$config"
  if [[ $config == fuzz ]]; then
    echo "=== fuzz build and runs"
    FUZZ_BUILD_DIR="$build" "$root/scripts/fuzz.sh"
    continue
  fi
  flags=(-DVMAH_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)
  case "$config" in
    plain) ;;
    asan) flags+=(-DVMAH_SANITIZE=address,undefined -DVMAH_BUILD_BENCH=OFF) ;;
    tsan) flags+=(-DVMAH_SANITIZE=thread -DVMAH_BUILD_BENCH=OFF) ;;
    *) echo "unknown configuration: $config" >&2; exit 2 ;;
  esac
  echo "=== $config build"
  cmake -S "$root" -B "$build" "${flags[@]}"
  cmake --build "$build" -j"$jobs"
  echo "=== $config tests"
  # Tests against a private sound server measure wall-clock behaviour: run them one at a time.
  (cd "$build" && ctest --output-on-failure --timeout 300 -j"$jobs" -LE 'e2e|long')
  # The same end-to-end tests against PipeWire run in the plain build only: they take the
  # same code paths under another server, and the sanitizers would add time, not findings.
  e2e_labels='^e2e$'
  [[ $config == plain ]] && e2e_labels='^e2e'
  # The long recording keeps one core busy while the end-to-end tests, which mostly wait on
  # the wall clock, run beside it on the other.
  long_pid=
  if [[ $config == plain ]]; then
    (cd "$build" && ctest --output-on-failure --timeout 900 -L long) >"$build/long-test.log" 2>&1 &
    long_pid=$!
  fi
  e2e_status=0
  (cd "$build" && ctest --output-on-failure --timeout 300 -L "$e2e_labels") || e2e_status=$?
  if [[ -n $long_pid ]]; then
    long_status=0
    wait "$long_pid" || long_status=$?
    cat "$build/long-test.log"
    ((long_status == 0)) || exit "$long_status"
  fi
  ((e2e_status == 0)) || exit "$e2e_status"
done
