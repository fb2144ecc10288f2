#!/usr/bin/env bash
# Runs one end-to-end test file as ctest runs it: the same command (through
# tests/e2e/in_netns.sh), environment and working directory, as the build in
# build/ (or $SSM_BUILD_DIR) registered them. Arguments after the name go to
# the file's unittest, for example -k to pick cases:
#   bash tools/e2e.sh listen -k drops
# Exits as the file does: 0 passed, 77 skipped (no namespace here), else failed.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${SSM_BUILD_DIR:-$top/build}
if [ $# -lt 1 ]; then
  echo "usage: tools/e2e.sh <listen|watch|send|check> [unittest arguments]" >&2
  exit 2
fi
name=$1
shift
if [ ! -f "$build/CTestTestfile.cmake" ]; then
  echo "e2e: no build in $build: run tools/build.sh first" >&2
  exit 2
fi
cd "$build"
ctest --show-only=json-v1 -R "^e2e_${name}\$" | python3 -c '
import json, os, sys
tests = json.load(sys.stdin)["tests"]
if len(tests) != 1:
    sys.exit("e2e: ctest knows no test e2e_%s in %s" % (sys.argv[1], os.getcwd()))
properties = {p["name"]: p["value"] for p in tests[0].get("properties", [])}
environment = dict(os.environ)
environment.update(entry.split("=", 1) for entry in properties.get("ENVIRONMENT", []))
os.chdir(properties.get("WORKING_DIRECTORY", os.getcwd()))
command = tests[0]["command"] + sys.argv[2:]
sys.stdout.flush()
os.execvpe(command[0], command, environment)
' "$name" "$@"
