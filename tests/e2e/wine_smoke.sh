#!/usr/bin/env bash
# Smoke test of the Windows programs under Wine. Run it inside the private
# namespace (tests/e2e/in_netns.sh): its wineserver, and so every socket of
# the programs, lives there.
#
#   wine_smoke.sh <wine loader> <Windows build directory> <ssm_send>
#
# Usage, operands, unicast reception, output that cannot be written and a
# port in use. The channel itself, which under Wine needs the field-order
# library, is tested by wine_channel.py.
set -u

loader=$1
build=$(cd "$2" && pwd)
sender=$3
# Each case has a port of its own: a socket of an ended program can linger
# in the wineserver for a moment and would pass for the next one's.
base_port=5000

if [ "${SSM_IN_NETNS:-}" != 1 ]; then
  echo "wine_smoke.sh: run me inside tests/e2e/in_netns.sh" >&2
  exit 2
fi

work=$(mktemp -d)
export WINEDEBUG=-all
if [ -z "${WINEPREFIX:-}" ]; then
  export WINEPREFIX=$work/prefix
fi
mkdir -p "$WINEPREFIX"
program_pid=
holder_pid=

cleanup() {
  [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null
  [ -n "$holder_pid" ] && kill "$holder_pid" 2>/dev/null
  wineserver -k 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

show() {
  echo "--- $1:" >&2
  od -c "$2" | head -20 >&2
}

# Waits until something listens on UDP port $1 in this namespace, at most 20 s.
wait_for_port() {
  for _ in $(seq 200); do
    ss -Hlun "sport = :$1" | grep -q . && return 0
    sleep 0.1
  done
  return 1
}

# Waits until file $1 holds at least $2 bytes, at most 10 s.
wait_for_bytes() {
  for _ in $(seq 100); do
    [ "$(stat -c %s "$1")" -ge "$2" ] && return 0
    sleep 0.1
  done
  return 1
}

# A wineserver of this prefix started elsewhere would hold the sockets
# outside the namespace.
wineserver -k 2>/dev/null
wineserver -p || { echo "wine_smoke.sh: cannot start wineserver" >&2; exit 2; }
# Wine's background services keep the streams of the first program of the
# session: give them /dev/null, not a capture.
timeout 120 "$loader" "$build/ssm_listen/ssm_listen.exe" >/dev/null 2>&1 </dev/null

windows_path() {
  printf 'Z:%s' "${1//\//\\}"
}

for name in ssm_listen ssm_watch; do
  exe=$build/$name/$name.exe
  port=$base_port
  full_port=$((base_port + 1))
  busy_port=$((base_port + 2))
  base_port=$((base_port + 10))

  # Usage: two operands are too few.
  timeout 30 "$loader" "$exe" 232.1.1.1 10.1.1.1 >"$work/out" 2>"$work/err" </dev/null
  status=$?
  printf ' Use: %s <group> <source> <port>' "$(windows_path "$exe")" >"$work/expected"
  [ "$status" = 1 ] || fail "$name usage: status $status, not 1"
  cmp -s "$work/out" "$work/expected" || { fail "$name usage line"; show got "$work/out"; show expected "$work/expected"; }
  [ -s "$work/err" ] && { fail "$name usage: standard error not empty"; show err "$work/err"; }

  # A bad operand: status 1, one line on standard error.
  timeout 30 "$loader" "$exe" 232.1.1 10.1.1.1 "$port" >"$work/out" 2>"$work/err" </dev/null
  status=$?
  printf "%s: group '232.1.1': not a dotted-decimal IPv4 address\n" "$name" >"$work/expected"
  [ "$status" = 1 ] || fail "$name bad group: status $status, not 1"
  cmp -s "$work/err" "$work/expected" || { fail "$name bad group message"; show got "$work/err"; show expected "$work/expected"; }
  [ -s "$work/out" ] && fail "$name bad group: standard output not empty"

  # Unicast datagrams to the port are reported, each line ending in one LF.
  : >"$work/out"
  timeout 60 "$loader" "$exe" 232.1.1.1 10.1.1.1 "$port" >"$work/out" 2>"$work/err" </dev/null &
  program_pid=$!
  if ! wait_for_port "$port"; then
    fail "$name did not bind port $port within 20 s"
  else
    "$sender" -c 3 -r 50 -l 32 -s 7 127.0.0.1 10.1.1.1 "$port" ||
      fail "ssm_send from 10.1.1.1 failed"
    "$sender" -c 1 -l 4 -s -1 127.0.0.1 192.168.100.200 "$port" ||
      fail "ssm_send from 192.168.100.200 failed"
    {
      printf '    10.1.1.1:seq=     7:len=  32\n'
      printf '    10.1.1.1:seq=     8:len=  32\n'
      printf '    10.1.1.1:seq=     9:len=  32\n'
      printf '192.168.100.200:seq=    -1:len=   4\n'
    } >"$work/expected"
    wait_for_bytes "$work/out" "$(stat -c %s "$work/expected")"
    cmp -s "$work/out" "$work/expected" || { fail "$name report lines"; show got "$work/out"; show expected "$work/expected"; }
  fi
  if kill "$program_pid" 2>/dev/null; then
    wait "$program_pid" 2>/dev/null
  else
    wait "$program_pid"
    fail "$name ended by itself with status $?"
    show err "$work/err"
  fi
  program_pid=

  # Standard output that cannot be written: status 2 and one line.
  timeout 60 "$loader" "$exe" 232.1.1.1 10.1.1.1 "$full_port" >/dev/full 2>"$work/err" </dev/null &
  program_pid=$!
  if ! wait_for_port "$full_port"; then
    fail "$name did not bind port $full_port within 20 s"
  else
    "$sender" -c 1 127.0.0.1 10.1.1.1 "$full_port" || fail "ssm_send from 10.1.1.1 failed"
  fi
  wait "$program_pid"
  status=$?
  program_pid=
  printf '%s: write to standard output: No space left on device\n' "$name" >"$work/expected"
  [ "$status" = 2 ] || fail "$name output to /dev/full: status $status, not 2"
  cmp -s "$work/err" "$work/expected" || { fail "$name output failure message"; show got "$work/err"; show expected "$work/expected"; }

  # A port in use: status 2 and one line on standard error.
  python3 -c '
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("0.0.0.0", int(sys.argv[1])))
time.sleep(60)' "$busy_port" &
  holder_pid=$!
  if ! wait_for_port "$busy_port"; then
    fail "could not hold port $busy_port"
  else
    timeout 30 "$loader" "$exe" 232.1.1.1 10.1.1.1 "$busy_port" >"$work/out" 2>"$work/err" </dev/null
    status=$?
    [ "$status" = 2 ] || fail "$name port in use: status $status, not 2"
    [ -s "$work/out" ] && fail "$name port in use: standard output not empty"
    if ! grep -Eq "^$name: bind to port $busy_port: [^[:cntrl:]]+\$" "$work/err" ||
       [ "$(wc -l <"$work/err")" != 1 ] || [ "$(tail -c 1 "$work/err" | od -An -c | tr -d ' ')" != '\n' ] ||
       grep -q $'\r' "$work/err"; then
      fail "$name port in use message"
      show got "$work/err"
    else
      echo "$name port in use: $(cat "$work/err")"
    fi
  fi
  kill "$holder_pid" 2>/dev/null
  wait "$holder_pid" 2>/dev/null
  holder_pid=
done

if [ "$failures" != 0 ]; then
  echo "wine smoke: $failures failures" >&2
  exit 1
fi
echo "wine smoke: all passed ($("$loader" --version 2>/dev/null))"
