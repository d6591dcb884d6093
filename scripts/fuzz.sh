#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang-19 (address and undefined-behaviour
# sanitizers) and runs each for a bounded time, starting from its checked-in seed corpus.
# Any crash, sanitizer report, leak, timeout or out-of-memory fails the run; the input that
# caused it is kept under the build directory's artifacts/ folder.
#
#   scripts/fuzz.sh                 every target, FUZZ_SECONDS (default 45) each
#   scripts/fuzz.sh rate_converter  one target
#
# FUZZ_STEPS=build builds only, FUZZ_STEPS=run runs what an earlier build made.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build/fuzz}
seconds=${FUZZ_SECONDS:-45}
steps=${FUZZ_STEPS:-build,run}
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))

all_targets=(ogg_page_writer command_line rate_converter sample_conversion)
targets=("${@:-${all_targets[@]}}")

# Largest input per target: enough for a full page of packets, a 4096-frame stereo chunk
# or an 8 KiB block with its buffer list.
max_len() {
  case "$1" in
    ogg_page_writer) echo 8192 ;;
    command_line) echo 4096 ;;
    rate_converter) echo 40000 ;;
    sample_conversion) echo 12288 ;;
    *) echo "unknown fuzz target: $1" >&2; return 2 ;;
  esac
}

"$root/scripts/install-deps.sh"
if [[ $steps == *build* ]]; then
  cmake -S "$root/fuzz" -B "$build" -DCMAKE_C_COMPILER=clang-19 -DCMAKE_CXX_COMPILER=clang++-19
  cmake --build "$build" -j"$jobs" --target "${targets[@]/%/_fuzz}"
fi
[[ $steps == *run* ]] || exit 0

# Readable stacks in sanitizer reports.
export ASAN_SYMBOLIZER_PATH=${ASAN_SYMBOLIZER_PATH:-$(command -v llvm-symbolizer-19 || command -v llvm-symbolizer || true)}
mkdir -p "$build/artifacts"

# One target's bounded run; its log is kept, its outcome is the exit status.
run_target() {
  local target=$1 len work
  len=$(max_len "$target")
  # New inputs go to a scratch corpus; the checked-in seeds are only read.
  work="$build/corpus/$target"
  rm -rf "$work" && mkdir -p "$work"
  (cd "$build" && ./"${target}_fuzz" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
      -max_len="$len" -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
      "$work" "$root/fuzz/corpus/$target") >"$build/$target.log" 2>&1
}

# Each fuzzer runs on one core: as many run at once as there are cores (at most two), each
# for its full time.
failed=()
for ((i = 0; i < ${#targets[@]}; i += jobs)); do
  batch=("${targets[@]:i:jobs}")
  pids=()
  for target in "${batch[@]}"; do
    echo "=== fuzz $target (${seconds}s)"
    run_target "$target" &
    pids+=($!)
  done
  for j in "${!batch[@]}"; do
    target=${batch[j]}
    log="$build/$target.log"
    if wait "${pids[j]}"; then
      echo "--- $target"
      grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE)' "$log" || true
    else
      echo "--- $target failed; end of $log:"
      tail -n 60 "$log"
      failed+=("$target")
    fi
  done
done

if ((${#failed[@]})); then
  echo "fuzz targets failed: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: ${#targets[@]} passed, 0 failed"
