#!/usr/bin/env bash
# The throughput benchmark, once, with tiny bursts: it must still build, run
# every receiver, print its table, its IPv6 line, its ssm_check line and
# ssm_monitor's lines, and draw the sweep's chart. Nothing about speed is
# asserted.
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
for row in "bare_receive | large" "bare_batch | large" "bare_select | large" "ssm_listen | large" \
           "ssm_watch | large" "socat | large" "python | large" "bare_receive | default" \
           "bare_batch | default" "bare_select | default" "ssm_listen | default" \
           "ssm_watch | default"; do
  if ! grep -q "^| $row" "$log"; then
    echo "bench-smoke: no row for '$row' in the table" >&2
    exit 1
  fi
done
for line in "^Sender's full rate" "^Full rate: bare_receive's zero-loss rate" \
            "^Peak RSS with 65507-byte datagrams" \
            "^ssm_listen: CPU at most bare_receive's and at most 1 wake-up per datagram at every rate" \
            "^ssm_watch: CPU at most bare_select's at every rate" \
            "^ssm_listen: CPU at 100k/s [0-9.]* times bare_batch's (target <= 1.10" \
            "^ssm_listen: CPU at full rate [0-9.]* times bare_batch's (target <= 1.10" \
            "^ssm_listen: CPU at 100k/s [0-9.]* times bare_receive's (target <= 0.50; the floor, bare_batch: [0-9]" \
            "^ssm_listen: CPU at full rate [0-9.]* times bare_receive's (target <= 0.50; the floor, bare_batch: [0-9]" \
            "^| ssm_listen / bare_batch | [0-9]" "^| ssm_listen / bare_receive | [0-9]" \
            "^| bare_batch / bare_receive (the floor) | [0-9]" "^| ssm_watch / bare_select | [0-9]" \
            "^ssm_listen: at 200/s p50" "^ssm_listen: peak RSS" \
            "^ssm_check at 100k/s: with its link capture [0-9]* ns CPU .* without it [0-9]* ns" \
            "^ssm_monitor, 1000 channels at 100/s each (100k/s in all, [0-9]* datagrams): CPU [0-9]* ns per datagram, bare_epoll (the floor) [0-9]* ns; ssm_monitor / bare_epoll [0-9.]* (target <= 1.00, aim 0.60)" \
            "^ssm_monitor, 1000 channels at 100/s each: [0-9.]* wake-ups per datagram, bare_epoll [0-9.]*" \
            "^ssm_monitor, 1000 channels at 100/s each: lost [0-9]* of [0-9]* (sent less taken), the sockets' drops [0-9]*, missing in its events [0-9]*; bare_epoll lost [0-9]*, drops [0-9]*" \
            "^ssm_monitor, 1000 channels at 100/s each: peak RSS [0-9]* KiB, bare_epoll [0-9]* KiB" \
            "^ssm_monitor, 1000 channels at 100/s each: all 1000 joined [0-9.]* s after the start, its joined events 1000; bare_epoll [0-9.]* s" \
            "^ssm_monitor, one channel at 100k/s alone ([0-9]* datagrams): lost [0-9]*, the socket's drops [0-9]*; CPU [0-9]* ns per datagram; bare_epoll lost [0-9]*, [0-9]* ns"; do
  grep -q "$line" "$log" || { echo "bench-smoke: no line '$line'" >&2; exit 1; }
done
# The IPv6 run over its veth pair, with a figure in every place.
ipv6="^IPv6 at 100k/s \(no target\): ssm_listen [0-9]+ ns CPU and [0-9.]+ wake-ups per datagram, "
ipv6+="bare_receive [0-9]+ ns and [0-9.]+; ssm_listen / bare_receive [0-9.]+ \(CPU\) and "
ipv6+="[0-9.]+ \(wake-ups\)\."
if ! grep -Eq "$ipv6" "$log"; then
  echo "bench-smoke: no IPv6 line with its figures ('$ipv6')" >&2
  grep "^IPv6" "$log" >&2
  exit 1
fi
# The large-queue receivers: a row each in the sweep's tables, and a line
# each in its chart.
large="bare_receive bare_batch bare_select ssm_listen ssm_watch socat python"
if ! python3 -c '
import sys
text = open(sys.argv[1]).read().split("\n")
for heading in ("CPU ns per datagram over the sweep", "Wake-ups per datagram over the sweep"):
    at = [n for n, line in enumerate(text) if line.startswith(heading)]
    if not at:
        sys.exit("no table \"%s\"" % heading)
    rows = []
    for line in text[at[0] + 2:]:
        if not line.startswith("|"):
            break
        rows.append([cell.strip() for cell in line.strip("|").split("|")])
    cells = {row[0]: row for row in rows[2:]}
    for name in sys.argv[2].split():
        if len(cells.get(name, [])) != len(rows[0]) or "-" in cells[name]:
            sys.exit("no full row for %s in the table \"%s\"" % (name, heading))
' "$log" "$large"; then
  echo "bench-smoke: a sweep table is missing or lacks a receiver" >&2
  exit 1
fi
# The sweep's chart: well-formed XML, one line for each large-queue receiver.
if ! python3 -c '
import sys
import xml.etree.ElementTree as tree
lines = [e.get("data-receiver") for e in tree.parse(sys.argv[1]).iter("{http://www.w3.org/2000/svg}polyline")
         if e.get("class") == "receiver"]
wanted = sys.argv[2].split()
if sorted(lines) != sorted(wanted):
    sys.exit("the lines drawn are %s, not one for each of %s" % (lines, wanted))
' "$chart" "$large"; then
  echo "bench-smoke: $chart is missing, not well-formed, or not one line per receiver" >&2
  exit 1
fi
echo "bench-smoke: the benchmark ran every receiver, printed its table, IPv6, ssm_check and ssm_monitor lines, drew the sweep"
