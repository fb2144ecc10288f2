#!/usr/bin/env bash
# The build for systems without recvmmsg, where ssm_listen takes one datagram
# a receive, and without epoll, where ssm_monitor waits with poll: built here
# with both turned off (-DSSM_USE_RECVMMSG=OFF -DSSM_USE_EPOLL=OFF), in a
# build directory of its own, and the
# end-to-end tests of the programs that take batches run on it (ssm_listen,
# ssm_check, ssm_monitor; ssm_watch and ssm_send take none): they check that
# this ssm_listen makes no recvmmsg call. Exits 77 (skipped) where no network
# namespace can be made.
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${SSM_BUILD_DIR:-$top/build}-single

bash "$top/tools/deps.sh" g++ cmake ninja-build libgtest-dev python3 iproute2 strace util-linux ||
  exit 1
bash "$top/tests/e2e/in_netns.sh" true || exit $?
cmake --preset default -S "$top" -B "$build" -DSSM_USE_RECVMMSG=OFF -DSSM_USE_EPOLL=OFF \
  >/dev/null || exit 1
cmake --build "$build" --target ssm_listen ssm_watch ssm_check ssm_monitor ssm_send \
  slow_blocking_calls || exit 1
(cd "$build" && ctest --output-on-failure --no-tests=error --timeout 300 \
  -R '^e2e_(listen|check|monitor)$')
