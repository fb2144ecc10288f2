#!/usr/bin/env bash
# The alert rules shipped for operators: promtool reads them, and its rule
# tests (ssm-monitor.rules.test.yml) see each alert fire when it must, with
# its words. promtool comes with Debian's prometheus package, which
# tools/build.sh installs.
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
if ! command -v promtool >/dev/null 2>&1; then
  echo "alert_rules: promtool is not installed (bash tools/build.sh installs prometheus)" >&2
  exit 1
fi
promtool check rules "$top/docs/prometheus/ssm-monitor.rules.yml" || exit 1
promtool test rules "$top/tests/checks/ssm-monitor.rules.test.yml"
