#!/usr/bin/env bash
# Static analysis of the project's own sources (core/, platform/,
# ssm_listen/, ssm_watch/, ssm_check/, tools/): clang-tidy with the checks in
# .clang-tidy, through the compile_commands.json of a configured build (and,
# for the platform files Windows builds, of a mingw-w64 cross build), and
# cppcheck (over fuzz/ as well). Any finding of either fails.
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${SSM_ANALYSE_BUILD_DIR:-$top/build-analyse}

skip() {
  echo "SKIPPED: $*" >&2
  exit 77
}

bash "$top/tools/deps.sh" clang-tidy cppcheck g++ g++-mingw-w64-x86-64 cmake ninja-build \
  libgtest-dev python3 || skip "cannot install clang-tidy, cppcheck and mingw-w64"
cmake --preset default -S "$top" -B "$build" >/dev/null || exit 1
# The Windows platform files, through a cross build's compile database.
cmake -S "$top" -B "$build/win64" -G Ninja -DBUILD_TESTING=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-mingw-x86_64.cmake" \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null || exit 1

# The sources a build compiles, of the folders given.
sources_of() {
  python3 - "$1/compile_commands.json" "$top" "${@:2}" <<'PY'
import json, os, sys
top = os.path.realpath(sys.argv[2])
for entry in json.load(open(sys.argv[1])):
    path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
    if os.path.relpath(path, top).split(os.sep)[0] in sys.argv[3:]:
        print(path)
PY
}
mapfile -t compiled < <(sources_of "$build" core platform ssm_listen ssm_watch ssm_check ssm_monitor tools)
[ ${#compiled[@]} -gt 0 ] || { echo "analyse: no sources in $build/compile_commands.json"; exit 1; }

failed=0
echo "clang-tidy: ${#compiled[@]} files"
clang-tidy --quiet -p "$build" "${compiled[@]}" 2>/dev/null || failed=1

# clang finds the mingw-w64 Windows headers by itself, but not its C++
# library: those directories come from the cross compiler.
mingw_cxx=(--extra-arg=--target=x86_64-w64-mingw32)
while read -r dir; do
  mingw_cxx+=("--extra-arg=-isystem$dir")
done < <(x86_64-w64-mingw32-g++-posix -E -v -x c++ /dev/null 2>&1 |
  sed -n '/search starts here:/,/End of search list/p' | sed -n 's|^ \(.*/include/c++.*\)$|\1|p')
# The platform files Windows builds (its own, and those for a system without
# a capability, which Linux does not build).
mapfile -t windows < <(sources_of "$build/win64" platform)
[ ${#windows[@]} -gt 0 ] || { echo "analyse: no sources in $build/win64/compile_commands.json"; exit 1; }
echo "clang-tidy: ${#windows[@]} platform files (x86_64-w64-mingw32)"
clang-tidy --quiet -p "$build/win64" "${mingw_cxx[@]}" "${windows[@]}" 2>/dev/null || failed=1

# cppcheck needs no compile database, so it takes the fuzzers' sources too.
mapfile -t sources < <(cd "$top" && ls core/*.cpp platform/*.cpp ssm_listen/*.cpp \
  ssm_watch/*.cpp ssm_check/*.cpp ssm_monitor/*.cpp tools/*.cpp fuzz/*.cpp)
echo "cppcheck: ${#sources[@]} files"
# missingIncludeSystem: cppcheck is not given the system headers, and need
# not be, to check this code.
(cd "$top" && cppcheck --quiet --std=c++17 --language=c++ -I . \
  --enable=warning,style,performance,portability --error-exitcode=1 --inline-suppr \
  --suppress=missingIncludeSystem "${sources[@]}") || failed=1
exit $failed
