#!/usr/bin/env bash
# Installs what the build and the tests need (prometheus: the server and
# promtool the metrics' tests read them with) and builds the programs, the
# sender and the tests into build/ (or $SSM_BUILD_DIR), with warnings as
# errors.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${SSM_BUILD_DIR:-$top/build}
bash "$top/tools/deps.sh" g++ cmake ninja-build libgtest-dev python3 iproute2 strace util-linux nftables \
  prometheus
cmake --preset default -S "$top" -B "$build" >/dev/null
cmake --build "$build"
