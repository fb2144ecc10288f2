#!/usr/bin/env bash
# The systemd unit shipped for operators, as systemd-analyze verify reads
# it: every directive known and well formed, its commands there, its manual
# page found. The program it starts is the one built here, and the page the
# tree's own, in a copy of the unit. Exits 77 (skipped) where
# systemd-analyze is missing or cannot verify even a unit with nothing in it.
#   service_unit.sh <ssm_monitor built>
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
program=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")

skip() {
  echo "SKIPPED: $*" >&2
  exit 77
}

command -v systemd-analyze >/dev/null 2>&1 || skip "systemd-analyze is not installed (Debian's systemd)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '[Service]\nExecStart=/bin/true\n' >"$work/probe.service"
if ! why=$(systemd-analyze verify "$work/probe.service" 2>&1) || [ -n "$why" ]; then
  skip "systemd-analyze cannot verify units here: ${why:-it failed}"
fi
mkdir -p "$work/units" "$work/man/man1"
cp "$top/man/ssm_monitor.1" "$work/man/man1/"
sed "s|/usr/bin/ssm_monitor|$program|" "$top/packaging/ssm-monitor@.service" \
  >"$work/units/ssm-monitor@.service"
said=$(MANPATH=$work/man systemd-analyze verify "$work/units/ssm-monitor@.service" 2>&1)
status=$?
if [ "$status" != 0 ] || [ -n "$said" ]; then
  echo "$said" >&2
  echo "service_unit: systemd-analyze verify: status $status, and the words above" >&2
  exit 1
fi
echo "service_unit: systemd-analyze verify finds nothing to say of packaging/ssm-monitor@.service"
