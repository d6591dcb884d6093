#!/usr/bin/env bash
# Installs what is missing, checks the C++ style, builds and runs every test: a plain build
# with warnings as errors, then the same suite under AddressSanitizer +
# UndefinedBehaviorSanitizer and under ThreadSanitizer, each in its own build directory, then
# a bounded run of every libFuzzer target (scripts/fuzz.sh). Tests that need a sound server
# start a private one of their own; they mostly wait on the wall clock, so several run side by
# side (VMAH_E2E_JOBS, twice the cores by default), each with its own server, and those that
# keep the machine busy run alone. The long recording (label long) runs in the plain build
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
e2e_jobs=${VMAH_E2E_JOBS:-$((2 * jobs))}
configs=(plain asan tsan fuzz)
[[ $# -gt 0 ]] && configs=("$@")

build_dir() { echo "$root/build/test-$1"; }

# A step of the fuzz configuration: build or run.
fuzz_step() { FUZZ_BUILD_DIR="$(build_dir fuzz)" FUZZ_STEPS=$1 "$root/scripts/fuzz.sh"; }

build_config() {
  local config=$1 build
  build=$(build_dir "$config")
  local flags=(-DVMAH_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)
  case "$config" in
    plain) ;;
    asan) flags+=(-DVMAH_SANITIZE=address,undefined -DVMAH_BUILD_BENCH=OFF) ;;
    tsan) flags+=(-DVMAH_SANITIZE=thread -DVMAH_BUILD_BENCH=OFF) ;;
    *) echo "unknown configuration: $config" >&2; return 2 ;;
  esac
  cmake -S "$root" -B "$build" "${flags[@]}"
  cmake --build "$build" -j"$jobs"
}

test_config() {
  local config=$1 build
  build=$(build_dir "$config")
  (cd "$build" && ctest --output-on-failure --timeout 300 -j"$jobs" -LE 'e2e|long')
  # Tests against a private sound server measure wall-clock behaviour but use little CPU: a
  # few run at once, each against its own server; ctest runs those marked RUN_SERIAL alone.
  # The helper's end-to-end tests against PipeWire run in the plain build only: they take the
  # same code paths under another server, and the sanitizers would add time, not findings.
  # The PipeWire backend's own tests run in every build: its data thread, ring and worker are
  # code of their own.
  local e2e_labels='^e2e$|^e2e-pipewire-backend$'
  [[ $config == plain ]] && e2e_labels='^e2e'
  # The long recording keeps one core busy while the end-to-end tests, which mostly wait on
  # the wall clock, run beside it on the other.
  local long_pid=
  if [[ $config == plain ]]; then
    (cd "$build" && ctest --output-on-failure --timeout 900 -L long) >"$build/long-test.log" 2>&1 &
    long_pid=$!
  fi
  local e2e_status=0 long_status=0
  (cd "$build" && ctest --output-on-failure --timeout 300 -j"$e2e_jobs" -L "$e2e_labels") ||
    e2e_status=$?
  if [[ -n $long_pid ]]; then
    wait "$long_pid" || long_status=$?
    cat "$build/long-test.log"
  fi
  ((e2e_status == 0 && long_status == 0))
}

# Each configuration after the first is built while the tests of the one before it run, in
# the idle scheduling class: the build takes only CPU time that nothing else wants, so the
# tests, which mostly wait on the wall clock, see a quiet machine. The fuzz targets, last,
# are built and run there too (each fuzzer runs for its wall time, on the CPU the tests
# leave). A background step's log is shown once it is done.
trap 'kill $(jobs -p) 2>/dev/null || true' EXIT
step() { [[ $1 == fuzz ]] && { fuzz_step build && fuzz_step run; return; }; build_config "$1"; }
echo "=== ${configs[0]}"
step "${configs[0]}"
[[ ${configs[0]} == fuzz ]] && exit 0
for i in "${!configs[@]}"; do
  config=${configs[i]}
  next=${configs[i + 1]:-}
  background=
  if [[ -n $next ]]; then
    next_log="$(build_dir "$next").log"
    mkdir -p "$(dirname "$next_log")"
    (chrt --idle -p 0 "$BASHPID"; step "$next") >"$next_log" 2>&1 &
    background=$!
  fi
  echo "=== $config tests"
  test_config "$config"
  if [[ -n $next ]]; then
    echo "=== $next"
    status=0
    wait "$background" || status=$?
    cat "$next_log"
    ((status == 0)) || exit "$status"
    [[ $next == fuzz ]] && break
  fi
done
