#!/usr/bin/env bash
# The whole test suite: builds, runs every test with ctest, then each extra
# check in tools/ci/ (an exit status of 77 there means skipped, with a reason).
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
build=${SSM_BUILD_DIR:-$top/build}
export SSM_BUILD_DIR=$build
bash "$top/tools/build.sh" || exit 1
failed=0
(cd "$build" && ctest --output-on-failure --timeout 300) || failed=1
passed=0 skipped=0 broken=0
for check in "$top"/tools/ci/*.sh; do
  [ -e "$check" ] || continue
  name=$(basename "$check" .sh)
  echo "=== $name"
  bash "$check"
  status=$?
  case $status in
    0) passed=$((passed + 1)); echo "=== $name: passed" ;;
    77) skipped=$((skipped + 1)); echo "=== $name: skipped" ;;
    *) broken=$((broken + 1)); failed=1; echo "=== $name: FAILED (status $status)" ;;
  esac
done
echo "checks: $passed passed, $broken failed, $skipped skipped"
exit $failed
