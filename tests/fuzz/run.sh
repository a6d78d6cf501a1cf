#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for SECONDS from the
# committed corpus (new finds go to a scratch folder, not the corpus).
#   run.sh BUILD_DIR SECONDS
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?build folder}/fuzz
seconds=${2:-10}
command -v clang++ >/dev/null || { echo "SKIP: clang++ is not installed"; exit 77; }
if ! echo 'int main(){}' | clang++ -x c++ -fsanitize=fuzzer -o /dev/null - 2>/dev/null; then
  # libFuzzer's main conflicts with ours; a link failure here means no runtime.
  echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long){return 0;}' |
    clang++ -x c++ -fsanitize=fuzzer -o /dev/null - 2>/dev/null ||
    { echo "SKIP: clang has no libFuzzer runtime (libclang-rt-14-dev)"; exit 77; }
fi
cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
for target in waittext replies; do
  scratch=$(mktemp -d)
  echo "fuzz_$target: ${seconds}s"
  status=0
  "$build/fuzz_$target" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 \
    -artifact_prefix="$build/$target-" -print_final_stats=1 "$scratch" "$here/corpus/$target" \
    >"$scratch.log" 2>&1 || status=$?
  grep -E "^(Done|stat::number_of_executed_units|SUMMARY|==[0-9]+==ERROR)" "$scratch.log" || true
  if [ "$status" -ne 0 ]; then
    tail -40 "$scratch.log"
    echo "FAIL: fuzz_$target found a failing input (status $status), kept in $build"
    rm -rf "$scratch" "$scratch.log"
    exit 1
  fi
  rm -rf "$scratch" "$scratch.log"
done
echo "PASS: no crash, hang or broken invariant"
