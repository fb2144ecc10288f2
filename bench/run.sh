#!/usr/bin/env bash
# The throughput benchmark: builds the programs and the benchmark's own tools
# into build-bench/ (or $SSM_BENCH_BUILD_DIR), then runs every receiver in a
# private network namespace, prints the table and draws the sweep as
# bench-out/sweep.svg (see bench/README.md).
# Options go to bench.py: --runs N (default 3), --smoke (a tiny burst, once).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${SSM_BENCH_BUILD_DIR:-$top/build-bench}
out=$build/bench-out
bash "$top/tools/deps.sh" g++ cmake ninja-build python3 iproute2 util-linux socat
cmake -S "$top" -B "$build" -G Ninja -DSSM_WERROR=ON -DSSM_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" >/dev/null
mkdir -p "$out"
# The lines must go to a disk, as they would for a user: tmpfs is faster.
if [ "$(stat -f -c %T "$out")" = tmpfs ]; then
  echo "bench: $out is on tmpfs, not a disk: set SSM_BENCH_BUILD_DIR elsewhere" >&2
  exit 2
fi
echo "bench: output in $out ($(stat -f -c %T "$out")); net.core.rmem_max=$(cat /proc/sys/net/core/rmem_max)"
exec bash "$top/tests/e2e/in_netns.sh" python3 "$top/bench/bench.py" --build "$build" --out "$out" "$@"
