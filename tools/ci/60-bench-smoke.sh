#!/usr/bin/env bash
# The throughput benchmark, once, with tiny bursts: it must still build, run
# every receiver and print its table. Nothing about speed is asserted.
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
export SSM_BENCH_BUILD_DIR=${SSM_BUILD_DIR:-$top/build}-bench
log=$(mktemp)
trap 'rm -f "$log"' EXIT
timeout 300 bash "$top/bench/run.sh" --smoke --runs 1 >"$log" 2>&1
status=$?
if [ $status -eq 77 ]; then
  grep SKIPPED "$log" >&2
  exit 77
fi
cat "$log"
if [ $status -ne 0 ]; then
  echo "bench-smoke: bench/run.sh failed with status $status" >&2
  exit 1
fi
for row in "bare_receive | large" "bare_select | large" "ssm_listen | large" "ssm_watch | large" \
           "socat | large" "python | large" "bare_receive | default" "bare_select | default" \
           "ssm_listen | default" "ssm_watch | default"; do
  if ! grep -q "^| $row" "$log"; then
    echo "bench-smoke: no row for '$row' in the table" >&2
    exit 1
  fi
done
grep -q "^Sender's full rate" "$log" || { echo "bench-smoke: no sender line" >&2; exit 1; }
echo "bench-smoke: the benchmark ran every receiver and printed its table"
