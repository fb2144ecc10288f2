#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer
# (the asan-ubsan preset) in a build directory of its own and runs the whole
# ctest suite on those binaries. Any sanitizer report fails: the programs stop
# at the first one, and every report is also kept in a log that must stay
# empty, in case a test expected the program to end anyway.
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${SSM_ASAN_BUILD_DIR:-$top/build-asan}

bash "$top/tools/deps.sh" g++ cmake ninja-build libgtest-dev python3 iproute2 strace util-linux \
  prometheus ||
  exit 1
cmake --preset asan-ubsan -S "$top" -B "$build" >/dev/null || exit 1
cmake --build "$build" || exit 1

reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
status=0
(cd "$build" && ctest --output-on-failure --no-tests=error --timeout 300) || status=1
for report in "$reports"/*; do
  [ -e "$report" ] || continue
  echo "sanitizer report $(basename "$report"):"
  cat "$report"
  status=1
done
exit $status
