#!/usr/bin/env bash
# The throughput benchmark, once, with tiny bursts: it must still build, run
# every receiver, print its table and draw the sweep's chart. Nothing about
# speed is asserted.
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
export SSM_BENCH_BUILD_DIR=${SSM_BUILD_DIR:-$top/build}-bench
log=$(mktemp)
trap 'rm -f "$log"' EXIT
chart=$SSM_BENCH_BUILD_DIR/bench-out/sweep.svg
rm -f "$chart"  # one from an earlier run proves nothing
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
for line in "^CPU ns per datagram over the sweep" "^| ssm_listen | [0-9]" "^Peak RSS with 65507-byte datagrams"; do
  grep -q "$line" "$log" || { echo "bench-smoke: no line '$line'" >&2; exit 1; }
done
# The sweep's chart: well-formed XML, one line for each large-queue receiver.
if ! python3 -c '
import sys
import xml.etree.ElementTree as tree
lines = [e.get("data-receiver") for e in tree.parse(sys.argv[1]).iter("{http://www.w3.org/2000/svg}polyline")
         if e.get("class") == "receiver"]
wanted = ["bare_receive", "bare_select", "ssm_listen", "ssm_watch", "socat", "python"]
if sorted(lines) != sorted(wanted):
    sys.exit("the lines drawn are %s, not one for each of %s" % (lines, wanted))
' "$chart"; then
  echo "bench-smoke: $chart is missing, not well-formed, or not one line per receiver" >&2
  exit 1
fi
echo "bench-smoke: the benchmark ran every receiver, printed its table and drew the sweep"
