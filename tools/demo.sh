#!/usr/bin/env bash
# A live demonstration: builds the programs, then inside a private network
# namespace (nothing leaves it) sends a short source-specific stream and shows
# what ssm_listen and ssm_watch print, including ssm_watch's renewals during a
# silence.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${SSM_BUILD_DIR:-$top/build}

if [ "${SSM_IN_NETNS:-}" != 1 ]; then
  SSM_BUILD_DIR=$build bash "$top/tools/build.sh" >/dev/null
  exec env SSM_BUILD_DIR="$build" "$top/tests/e2e/in_netns.sh" bash "$0" "$@"
fi

listen=$build/ssm_listen/ssm_listen
watch=$build/ssm_watch/ssm_watch
send=$build/tools/ssm_send
group=232.1.2.3 source=10.1.1.1 other=10.2.2.2
work=$(mktemp -d)

echo "== A private namespace: lo up, $source and $other on lo, 232.0.0.0/8 routed to lo."
echo "== Channel: group $group from source $source, port 5000 (ssm_listen) and 5001 (ssm_watch)."
echo
"$listen" $group $source 5000 >"$work/listen.out" 2>"$work/listen.err" &
pids=$!
strace -qq -ttt -e trace=setsockopt -o "$work/watch.trace" \
  "$watch" $group $source 5001 >"$work/watch.out" 2>"$work/watch.err" &
pids="$pids $!"
stop_all() {
  local p
  for p in $pids; do
    # A traced program outlives its tracer, so the tracer's children are
    # stopped too (found in /proc: procps's pkill need not be installed).
    kill $(cat "/proc/$p/task/$p/children" 2>/dev/null) 2>/dev/null || true
  done
  kill $pids 2>/dev/null || true
  rm -rf "$work"
}
trap stop_all EXIT
sleep 0.5

echo "\$ ssm_send -c 5 -r 5 $group $source 5000   (and the same to 5001)"
"$send" -c 5 -r 5 $group $source 5000 & "$send" -c 5 -r 5 $group $source 5001; wait $!
echo "\$ ssm_send -c 3 -s 900 $group $other 5000   (another source: filtered out)"
"$send" -c 3 -s 900 $group $other 5000
"$send" -c 3 -s 900 $group $other 5001
echo "... 3.5 silent seconds ..."
sleep 3.5
echo "\$ ssm_send -c 3 -r 5 -s 6 $group $source 5000   (and 5001)"
"$send" -c 3 -r 5 -s 6 $group $source 5000 & "$send" -c 3 -r 5 -s 6 $group $source 5001; wait $!
echo "\$ ssm_send -c 1 -l 2 -s 513 127.0.0.1 $other 5000   (unicast, 2 bytes)"
"$send" -c 1 -l 2 -s 513 127.0.0.1 $other 5000
"$send" -c 1 -l 2 -s 513 127.0.0.1 $other 5001
sleep 0.3

echo
echo "== ssm_listen $group $source 5000 printed:"
cat "$work/listen.out"
echo
echo "== ssm_watch $group $source 5001 printed:"
cat "$work/watch.out"
echo
echo "== ssm_watch's membership requests (traced; a renewal follows every silent second):"
grep IP_ADD_SOURCE_MEMBERSHIP "$work/watch.trace" |
  awk '{ if (start == "") start = $1; when = $1 - start; sub(/.*= /, ""); printf "  t=%5.2f s  %s\n", when, $0 }'
echo "(On Linux a request for a membership still in place is refused with EADDRNOTAVAIL"
echo " and changes nothing; renewal matters when the first request failed or was lost.)"
cat "$work/listen.err" "$work/watch.err"
