#!/usr/bin/env bash
# Static analysis of the project's own sources (receiver/, ssm_listen/,
# ssm_watch/, tools/): clang-tidy with the checks in .clang-tidy, through the
# compile_commands.json of a configured build, and cppcheck (over fuzz/ as
# well). Any finding of either fails.
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${SSM_ANALYSE_BUILD_DIR:-$top/build-analyse}

skip() {
  echo "SKIPPED: $*" >&2
  exit 77
}

bash "$top/tools/deps.sh" clang-tidy cppcheck g++ cmake ninja-build libgtest-dev python3 ||
  skip "cannot install clang-tidy and cppcheck"
cmake --preset default -S "$top" -B "$build" >/dev/null || exit 1

# The sources this build compiles (the other platform's file is not among
# them: clang-tidy needs its headers).
mapfile -t compiled < <(python3 - "$build/compile_commands.json" "$top" <<'PY'
import json, os, sys
top = os.path.realpath(sys.argv[2])
for entry in json.load(open(sys.argv[1])):
    path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
    part = os.path.relpath(path, top).split(os.sep)[0]
    if part in ("receiver", "ssm_listen", "ssm_watch", "tools"):
        print(path)
PY
)
[ ${#compiled[@]} -gt 0 ] || { echo "analyse: no sources in $build/compile_commands.json"; exit 1; }

failed=0
echo "clang-tidy: ${#compiled[@]} files"
clang-tidy --quiet -p "$build" "${compiled[@]}" 2>/dev/null || failed=1

# cppcheck needs no compile database, so it takes the fuzzers' sources too.
mapfile -t sources < <(cd "$top" && ls receiver/*.cpp ssm_listen/*.cpp ssm_watch/*.cpp \
  tools/*.cpp fuzz/*.cpp)
echo "cppcheck: ${#sources[@]} files"
# missingIncludeSystem: cppcheck is not given the system headers, and need
# not be, to check this code.
(cd "$top" && cppcheck --quiet --std=c++17 --language=c++ -I receiver -I fuzz \
  --enable=warning,style,performance,portability --error-exitcode=1 --inline-suppr \
  --suppress=missingIncludeSystem "${sources[@]}") || failed=1
exit $failed
