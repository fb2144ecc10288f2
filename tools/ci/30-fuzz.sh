#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer too) and runs each for 30 seconds from its seed
# corpus in fuzz/corpus/. A crash, a sanitizer report or a disagreement with
# the fuzzer's reference check fails. Skipped (77) where clang's libFuzzer
# cannot be had.
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${SSM_FUZZ_BUILD_DIR:-$top/build-fuzz}
seconds=${SSM_FUZZ_SECONDS:-30}

skip() {
  echo "SKIPPED: $*" >&2
  exit 77
}

bash "$top/tools/deps.sh" clang libclang-rt-14-dev cmake ninja-build ||
  skip "cannot install clang and libclang-rt-14-dev"
command -v clang++ >/dev/null 2>&1 || skip "clang++ is not installed"
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' \
  >"$probe/probe.cpp"
clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" 2>"$probe/log" ||
  skip "clang++ cannot link a libFuzzer target: $(head -n 1 "$probe/log")"

cmake --preset fuzz -S "$top" -B "$build" >/dev/null || exit 1
cmake --build "$build" --target fuzz_operands fuzz_report fuzz_http_request || exit 1

failed=0
for target in operands report http_request; do
  work="$probe/$target"
  mkdir -p "$work/corpus" "$work/artifacts"
  # A copy: what the fuzzer adds to its corpus stays out of the tree.
  cp "$top/fuzz/corpus/$target/"* "$work/corpus/"
  echo "fuzz_$target: ${seconds} s"
  # Start-up's own messages for bad operands are dropped; everything else
  # (the fuzzer's summary, any report) is shown.
  "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" "$work/corpus" 2>&1 |
    grep -v -e '^ssm_fuzz: ' -e '^#[0-9]' -e '^INFO: ' -e '^\s*"' -e 'recommended dictionary'
  status=${PIPESTATUS[0]}
  if [ "$status" -ne 0 ]; then
    echo "fuzz_$target: FAILED (status $status)"
    for artifact in "$work/artifacts"/*; do
      [ -e "$artifact" ] || continue
      echo "input $(basename "$artifact"), base64: $(base64 -w0 "$artifact")"
    done
    failed=1
  fi
done
exit $failed
