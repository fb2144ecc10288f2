#!/usr/bin/env bash
# Long run, outside CI: ssm_listen and ssm_watch each receive a steady stream
# from ssm_send for the given time (default 600 s), inside a private network
# namespace. Their resident memory is sampled from /proc/PID/status and must
# not grow once the stream runs, and every datagram must be reported, in
# order, with nothing missing or repeated.
#
#   tools/soak.sh [seconds]     (build first: tools/build.sh)
#
# Environment: SSM_BUILD_DIR (default build/; a sanitizer build works too),
# SSM_SOAK_RATE datagrams a second (default 1000), SSM_SOAK_SAMPLE seconds
# between samples (default 5), SSM_SOAK_SLACK_KB growth allowed (default 0).
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
if [ "${SSM_SOAK_INSIDE:-}" != 1 ]; then
  SSM_SOAK_INSIDE=1 exec bash "$top/tests/e2e/in_netns.sh" bash "$0" "$@"
fi

seconds=${1:-600}
build=${SSM_BUILD_DIR:-$top/build}
rate=${SSM_SOAK_RATE:-1000}
sample=${SSM_SOAK_SAMPLE:-5}
slack_kb=${SSM_SOAK_SLACK_KB:-0}
group=232.1.2.3
source=10.1.1.1
warm=10.2.2.2
count=$((seconds * rate))
case $seconds$rate$sample$slack_kb in
  *[!0-9]*) echo "soak: seconds, rate, sample and slack must be whole numbers" >&2; exit 1 ;;
esac
for program in ssm_listen/ssm_listen ssm_watch/ssm_watch tools/ssm_send; do
  [ -x "$build/$program" ] || { echo "soak: $build/$program is not built" >&2; exit 1; }
done

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null
  done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# Lines of the stream, not of the warm-up.
stream_lines() {
  grep -c -v -F "$warm:" "$1"
}

rss_kb() {
  awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null
}

# Both receivers, each on its own port with its own stream.
"$build/ssm_listen/ssm_listen" "$group" "$source" 30001 >"$work/listen.out" 2>"$work/listen.err" &
listen=$!
"$build/ssm_watch/ssm_watch" "$group" "$source" 30002 >"$work/watch.out" 2>"$work/watch.err" &
watch=$!
pids+=("$listen" "$watch")
sleep 0.5
for pid in "$listen" "$watch"; do
  kill -0 "$pid" 2>/dev/null || { echo "soak: a receiver did not start" >&2; exit 1; }
done

# Warm-up, unicast from another address, so that every page the receivers'
# buffers use is touched before the baseline: the largest datagrams fill the
# whole receive buffer, a burst fills the held output.
for port in 30001 30002; do
  "$build/tools/ssm_send" -c 20 -r 100 -l 65507 "$source" "$warm" "$port" &&
    "$build/tools/ssm_send" -c 2000 -r 0 "$source" "$warm" "$port" ||
    { echo "soak: warm-up to port $port failed" >&2; exit 1; }
done
sleep 1

echo "soak: $count datagrams to each receiver, $rate a second for $seconds s"
started=$(date +%s)
"$build/tools/ssm_send" -c "$count" -r "$rate" "$group" "$source" 30001 &
send_listen=$!
"$build/tools/ssm_send" -c "$count" -r "$rate" "$group" "$source" 30002 &
send_watch=$!
pids+=("$send_listen" "$send_watch")

# Sampled while the stream runs; the first sample, a few seconds in, is the
# baseline (by then every page a datagram needs has been touched).
printf 'seconds listen_kb watch_kb listen_lines watch_lines\n' >"$work/samples"
samples=$((seconds / sample + 1))
for ((i = 0; i < samples; i++)); do
  sleep "$sample"
  kill -0 "$send_listen" 2>/dev/null || kill -0 "$send_watch" 2>/dev/null || break
  printf '%s %s %s %s %s\n' $(($(date +%s) - started)) "$(rss_kb "$listen")" "$(rss_kb "$watch")" \
    "$(stream_lines "$work/listen.out")" "$(stream_lines "$work/watch.out")" >>"$work/samples"
done
wait "$send_listen" || { echo "soak: ssm_send to ssm_listen failed" >&2; exit 1; }
wait "$send_watch" || { echo "soak: ssm_send to ssm_watch failed" >&2; exit 1; }
# The last lines leave the receivers a moment after the stream ends.
for ((i = 0; i < 100; i++)); do
  [ "$(stream_lines "$work/listen.out")" -ge "$count" ] &&
    [ "$(stream_lines "$work/watch.out")" -ge "$count" ] && break
  sleep 0.1
done
final_listen=$(rss_kb "$listen")
final_watch=$(rss_kb "$watch")
cat "$work/samples"

failed=0
check_memory() {  # name column final
  local name=$1 column=$2 final=$3
  local summary
  summary=$(awk -v c="$column" -v f="$final" 'NR > 1 && $c != "" {
      if (n == 0) first = $c
      if (n == 0 || $c < min) min = $c
      if (n == 0 || $c > max) max = $c
      n++ }
    END { if (f > max) max = f
          if (n == 0) print "none"; else printf "%d %d %d %d %d", n, first, min, max, f }' \
    "$work/samples")
  if [ "$summary" = none ]; then
    echo "soak: $name: no memory samples (run for longer than $sample s)"
    failed=1
    return
  fi
  read -r n first min max last <<<"$summary"
  echo "soak: $name: VmRSS over $n samples: first $first kB, min $min kB, max $max kB," \
    "final $last kB"
  if [ $((max - first)) -gt "$slack_kb" ]; then
    echo "soak: $name: memory grew by $((max - first)) kB (allowed $slack_kb kB)"
    failed=1
  fi
}
check_memory ssm_listen 2 "$final_listen"
check_memory ssm_watch 3 "$final_watch"

check_lines() {  # name file
  local name=$1 file=$2 result
  # Every line as the format makes it and, past the warm-up, from the source,
  # 32 bytes long, with the sequence numbers 1 to count in order.
  result=$(awk -v src="$source" -v warm="$warm" '
    {
      if ($0 !~ /^ *[0-9.]+:seq= *-?[0-9]+:len= *[0-9]+$/) { bad++; next }
      split($0, f, ":")
      address = f[1]; sub(/^ +/, "", address)
      if (address == warm) { warmup++; next }
      sequence = f[2]; sub(/^seq= */, "", sequence)
      size = f[3]; sub(/^len= */, "", size)
      if (address != src || size != 32) bad++
      if (sequence + 0 != expected + 1) gaps++
      expected = sequence + 0
    }
    END { printf "%d %d %d %d", NR - warmup, bad, gaps, expected }' "$file")
  read -r lines bad gaps last <<<"$result"
  echo "soak: $name: $lines lines of $count, $bad malformed, $gaps out of sequence, last seq $last"
  if [ "$lines" -ne "$count" ] || [ "$bad" -ne 0 ] || [ "$gaps" -ne 0 ] ||
    [ "$last" -ne "$count" ]; then
    failed=1
  fi
  if [ -s "$work/$name.err" ]; then
    echo "soak: $name: standard error: $(head -n 3 "$work/$name.err")"
  fi
}
check_lines listen "$work/listen.out"
check_lines watch "$work/watch.out"

for pid in "$listen" "$watch"; do
  kill -0 "$pid" 2>/dev/null || { echo "soak: a receiver ended during the run"; failed=1; }
done
if [ "$failed" -eq 0 ]; then
  echo "soak: passed"
else
  echo "soak: FAILED"
fi
exit "$failed"
