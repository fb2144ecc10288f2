#!/usr/bin/env bash
# The Windows programs: cross-builds them for 32-bit (i686) and 64-bit
# (x86_64) Windows with mingw-w64, checks that they are console programs that
# need no DLL beyond the system's, and runs under Wine the unit tests, the
# smoke test and the channel tests (tests/e2e/wine_channel.py, with the
# field-order library of tests/e2e/wine_field_order.c preloaded). Exits 77
# (skipped), with the reason, where Wine cannot be installed or cannot run
# any of them.
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
native=${SSM_BUILD_DIR:-$top/build}
if [ -n "${SSM_BUILD_DIR:-}" ]; then
  build_base=$SSM_BUILD_DIR/win
else
  build_base=$top/build-win
fi

bash "$top/tools/deps.sh" cmake ninja-build file g++-mingw-w64-i686 g++-mingw-w64-x86-64 googletest \
  binutils unzip || exit 1

# ssm_send, the native sender the smoke test uses.
if [ ! -x "$native/tools/ssm_send" ]; then
  SSM_BUILD_DIR=$native bash "$top/tools/build.sh" || exit 1
fi

failed=0
# The DLLs a bare Windows has; anything else means the runtime was not linked in.
# ADVAPI32: the registry (the IGMP version); ole32 and OLEAUT32: the firewall.
system_dlls='^(KERNEL32|msvcrt|WS2_32|ADVAPI32|ole32|OLEAUT32)\.dll$|^IPHLPAPI\.DLL$'

build_for() {
  local arch=$1 bits=$2 build=$build_base$2 kind
  echo "--- cross-build for $arch into $build"
  # GoogleTest comes from Debian's sources by default, as for a newcomer.
  cmake -S "$top" -B "$build" -G Ninja -DSSM_WERROR=ON -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-mingw-$arch.cmake" >/dev/null || return 1
  cmake --build "$build" >"$build/build.log" 2>&1 || { cat "$build/build.log"; return 1; }
  [ "$bits" = 32 ] && kind='PE32 executable \(console\) Intel 80386' ||
    kind='PE32\+ executable \(console\) x86-64'
  local exe dlls
  for exe in "$build"/ssm_listen/ssm_listen.exe "$build"/ssm_watch/ssm_watch.exe \
             "$build"/ssm_check/ssm_check.exe "$build"/ssm_monitor/ssm_monitor.exe \
             "$build"/tests/unit/core_tests.exe "$build"/tests/unit/platform_tests.exe; do
    if ! file "$exe" | grep -Eq ": $kind"; then
      echo "FAIL: $(file "$exe")"
      return 1
    fi
    dlls=$("$arch-w64-mingw32-objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
    if echo "$dlls" | grep -Evq "$system_dlls"; then
      echo "FAIL: $exe needs $(echo "$dlls" | grep -Ev "$system_dlls" | tr '\n' ' ')"
      return 1
    fi
  done
  echo "$(basename "$build"): $(file -b "$build/ssm_watch/ssm_watch.exe" | cut -d, -f1), imports only $(echo "$dlls" | tr '\n' ' ')"
}

# The version resource of program $1 (made by $2's binutils) as the
# Properties dialog shows it: the fixed file version and the strings.
check_version_resource() {
  local exe=$1 arch=$2 version=$3 name strings key want got
  name=$(basename "$exe" .exe)
  # Resource type 16 is RT_VERSION.
  if ! "$arch-w64-mingw32-objdump" -p "$exe" | grep -A2 'Type Table:' | grep -q 'Entry: ID: 0x000010,'; then
    echo "FAIL: $exe has no version resource"
    return 1
  fi
  "$arch-w64-mingw32-objcopy" -O binary --only-section=.rsrc "$exe" "$exe.rsrc" || return 1
  # VS_FIXEDFILEINFO: its signature, then the structure version and the file version.
  got=$(python3 -c '
import struct, sys
data = open(sys.argv[1], "rb").read()
at = data.find(struct.pack("<I", 0xFEEF04BD))
high, low = struct.unpack_from("<II", data, at + 8) if at >= 0 else (0, 0)
print("%d.%d.%d.%d" % (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF))' "$exe.rsrc")
  if [ "$got" != "$version.0" ]; then
    echo "FAIL: $exe: file version $got, not $version.0"
    return 1
  fi
  # Each key of the string table is followed by its value.
  strings=$(strings -el -n 1 "$exe.rsrc")
  rm -f "$exe.rsrc"
  for key in ProductName ProductVersion FileVersion FileDescription OriginalFilename; do
    case $key in
      ProductName) want=ssm-receivers ;;
      ProductVersion | FileVersion) want=$version ;;
      FileDescription) want='SSM receiver that *' ;;
      OriginalFilename) want=$name.exe ;;
    esac
    got=$(echo "$strings" | grep -A1 -x "$key" | sed -n 2p)
    # shellcheck disable=SC2053 # $want may be a pattern.
    if [[ $got != $want ]]; then
      echo "FAIL: $exe: $key is '$got', not '$want'"
      return 1
    fi
  done
}

# What a Windows user downloads: cpack's ZIP of build $1, exactly the three
# programs, README.txt, TROUBLESHOOTING.txt and LICENSE.txt, the text in CR
# LF lines, the programs with their version resource.
package_for() {
  local arch=$1 bits=$2 build=$build_base$2 version folder zip listed expected file
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
  folder=ssm-receivers-$version-win$bits
  zip=$build/$folder.zip
  rm -f "$zip"
  (cd "$build" && cpack -G ZIP) >"$build/cpack.log" 2>&1 || { cat "$build/cpack.log"; return 1; }
  [ -f "$zip" ] || { echo "FAIL: cpack made no $(basename "$zip")"; return 1; }
  expected=$(printf '%s\n' "$folder/LICENSE.txt" "$folder/README.txt" "$folder/TROUBLESHOOTING.txt" \
    "$folder/ssm_check.exe" "$folder/ssm_listen.exe" "$folder/ssm_monitor.exe" \
    "$folder/ssm_watch.exe" | sort)
  listed=$(unzip -Z1 "$zip" | grep -v '/$' | sort)
  if [ "$listed" != "$expected" ]; then
    echo "FAIL: $(basename "$zip") holds:"; echo "$listed"
    return 1
  fi
  rm -rf "$build/unzipped" && unzip -q "$zip" -d "$build/unzipped" || return 1
  for file in README.txt TROUBLESHOOTING.txt LICENSE.txt; do
    if grep -q $'[^\r]$' "$build/unzipped/$folder/$file" || grep -q $'^$' "$build/unzipped/$folder/$file"; then
      echo "FAIL: $folder/$file has lines that do not end in CR LF"
      return 1
    fi
  done
  tr -d '\r' <"$build/unzipped/$folder/LICENSE.txt" | cmp -s - "$top/LICENSE" ||
    { echo "FAIL: $folder/LICENSE.txt is not LICENSE"; return 1; }
  tr -d '\r' <"$build/unzipped/$folder/TROUBLESHOOTING.txt" | cmp -s - "$top/docs/troubleshooting.md" ||
    { echo "FAIL: $folder/TROUBLESHOOTING.txt is not docs/troubleshooting.md"; return 1; }
  grep -q "^ssm-receivers $version for Windows, win$bits"$'\r$' "$build/unzipped/$folder/README.txt" ||
    { echo "FAIL: $folder/README.txt does not name version $version and win$bits"; return 1; }
  for file in ssm_listen ssm_watch ssm_check ssm_monitor; do
    cmp -s "$build/unzipped/$folder/$file.exe" "$build/$file/$file.exe" &&
      { echo "FAIL: $folder/$file.exe is not stripped"; return 1; }
    check_version_resource "$build/unzipped/$folder/$file.exe" "$arch" "$version" || return 1
  done
  rm -rf "$build/unzipped"
  echo "$(basename "$zip"): $(echo "$listed" | sed "s|^$folder/||" | tr '\n' ' ')(text in CR LF lines; version resource $version)"
}

build_for i686 32 && package_for i686 32 || failed=1
build_for x86_64 64 && package_for x86_64 64 || failed=1
[ "$failed" = 0 ] || exit 1

# Wine: wine32 needs the i386 architecture first.
wine_missing=
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  if [ "$(id -u)" = 0 ]; then
    dpkg --add-architecture i386 || wine_missing="cannot add the i386 architecture for wine32"
  else
    wine_missing="the i386 architecture is missing for wine32 (needs root)"
  fi
fi
if [ -z "$wine_missing" ] && ! bash "$top/tools/deps.sh" wine wine32 wine64 iproute2 python3 gcc; then
  wine_missing="cannot install wine, wine32 and wine64"
fi
if [ -n "$wine_missing" ]; then
  echo "SKIPPED: built for Windows, but not run: $wine_missing"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export WINEDEBUG=-all
ran=0
notes=()

# The field-order library, a copy for each word size that gcc can build
# (32 bits needs gcc-multilib). LD_PRELOAD names it through $LIB, so that the
# loader picks the copy of its own word size: lib/<multiarch> on Debian.
preload_dir=$build_base-preload
preload_name=libssm_field_order.so
bash "$top/tools/deps.sh" gcc-multilib >/dev/null 2>&1 || true
declare -A preload_missing
build_preload() {
  local bits=$1 multiarch
  multiarch=$(gcc -m"$bits" -print-multiarch) && mkdir -p "$preload_dir/lib/$multiarch" &&
    gcc -m"$bits" -std=c11 -O2 -Wall -Wextra -Wpedantic -Werror -shared -fPIC \
      -o "$preload_dir/lib/$multiarch/$preload_name" "$top/tests/e2e/wine_field_order.c" -ldl \
      >"$work/preload$bits.log" 2>&1 && return 0
  preload_missing[$bits]="gcc -m$bits cannot build the field-order library: $(head -n 1 "$work/preload$bits.log")"
  return 1
}
build_preload 64 || { cat "$work/preload64.log"; echo "FAIL: ${preload_missing[64]}"; exit 1; }
build_preload 32

# The outcome of a test in a namespace: $1 names it, $2 is its exit status.
record_status() {
  case $2 in
    0) ;;
    77) notes+=("$1 skipped: no network namespace") ;;
    *) echo "FAIL: $1 under Wine: status $2"; failed=1 ;;
  esac
}

run_under_wine() {
  local bits=$1 loader=$2 build=$build_base$1 why
  export WINEPREFIX=$work/prefix$bits
  mkdir -p "$WINEPREFIX"
  # Debian's wine script would pick the 32-bit loader for every program:
  # each build gets its own loader, probed first.
  # Through bash, not timeout: for a program the kernel refuses, execvp would
  # hand it to sh and report a syntax error instead of the reason.
  # shellcheck disable=SC2016 # $0 is for the inner bash.
  if ! why=$(timeout 30 bash -c 'exec "$0" --version' "$loader" 2>&1); then
    why=${why%%$'\n'*}
    why=${why##*: }
    case $why in
      *'Exec format error'*) why="$why: this kernel runs no 32-bit x86 Linux programs" ;;
    esac
    notes+=("$bits-bit programs built, but their unit, smoke and channel tests skipped: $loader cannot run here ($why)")
    return 0
  fi
  echo "--- $bits-bit under $why"
  # The first program of a session hands its streams to Wine's services.
  timeout 180 "$loader" "$build/tests/unit/platform_tests.exe" --gtest_list_tests \
    >/dev/null 2>&1 </dev/null
  local unit status
  for unit in core_tests platform_tests; do
    timeout 60 "$loader" "$build/tests/unit/$unit.exe" --gtest_brief=1 >"$work/unit.log" 2>&1 \
      </dev/null
    status=$?
    if [ "$status" != 0 ]; then
      cat "$work/unit.log"
      echo "FAIL: $bits-bit $unit under Wine: status $status"
      failed=1
    else
      echo "$bits-bit $unit: $(grep -E '^\[  PASSED  \]' "$work/unit.log")"
    fi
  done
  # The smoke test starts a wineserver of this prefix inside its namespace.
  wineserver -k 2>/dev/null
  timeout 180 bash "$top/tests/e2e/in_netns.sh" \
    bash "$top/tests/e2e/wine_smoke.sh" "$loader" "$build" "$native/tools/ssm_send"
  record_status "$bits-bit smoke test" $?
  wineserver -k 2>/dev/null
  if [ -n "${preload_missing[$bits]:-}" ]; then
    notes+=("$bits-bit channel tests skipped: ${preload_missing[$bits]}")
  else
    echo "--- $bits-bit channel tests under Wine"
    # shellcheck disable=SC2016 # $LIB is for the dynamic loader.
    SSM_LISTEN=$build/ssm_listen/ssm_listen.exe SSM_WATCH=$build/ssm_watch/ssm_watch.exe \
      SSM_CHECK=$build/ssm_check/ssm_check.exe SSM_MONITOR=$build/ssm_monitor/ssm_monitor.exe \
      SSM_SEND=$native/tools/ssm_send SSM_WINE_LOADER=$loader \
      SSM_FIELD_ORDER_PRELOAD=$preload_dir'/$LIB/'$preload_name PYTHONDONTWRITEBYTECODE=1 \
      timeout 300 bash "$top/tests/e2e/in_netns.sh" python3 "$top/tests/e2e/wine_channel.py"
    record_status "$bits-bit channel tests" $?
    wineserver -k 2>/dev/null
  fi
  ran=$((ran + 1))
}

run_under_wine 32 "${SSM_WINE32:-/usr/lib/wine/wine}"
run_under_wine 64 "${SSM_WINE64:-/usr/lib/wine/wine64}"

for note in "${notes[@]}"; do
  echo "NOTE: $note"
done
[ "$failed" = 0 ] || exit 1
if [ "$ran" = 0 ]; then
  echo "SKIPPED: built for Windows, but Wine cannot run the programs here"
  exit 77
fi
exit 0
