#!/usr/bin/env bash
# The install and the Debian package: the manual pages render without a
# single warning, `cmake --install` puts every file where it belongs (the
# service unit in /lib/systemd/system) and the installed ssm_listen runs,
# cpack builds a package that lintian finds no error in, and that package
# installs into a scratch dpkg root (never the host's) and runs from there. Exit 0 pass, 77 skipped, anything else fails.
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top" || exit 1

fail() {
  echo "50-package: FAILED: $*" >&2
  exit 1
}

if ! bash tools/deps.sh g++ cmake ninja-build gzip groff-base mandoc man-db lintian dpkg-dev \
  file binutils; then
  if [ "$(id -u)" != 0 ]; then
    echo "SKIPPED: the Debian packages this check needs are missing (run as root)" >&2
    exit 77
  fi
  fail "cannot install the Debian packages this check needs"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Manual pages: nothing from groff's warnings (-ww: all of them), nothing
# from mandoc's lint down to its style notes, nothing from man itself as
# lintian runs it.
pages=(man/ssm_check.1 man/ssm_listen.1 man/ssm_monitor.1 man/ssm_watch.1 man/ssm_send.1)
for page in "${pages[@]}"; do
  [ -f "$page" ] || fail "$page is missing"
  messages=$(
    LC_ALL=C groff -man -ww -z "$page" 2>&1
    mandoc -Tlint "$page" 2>&1
    LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null
  )
  if [ -n "$messages" ]; then
    printf '%s\n' "$messages" >&2
    fail "$page: the page does not render clean"
  fi
done
echo "man pages: groff -ww, mandoc -Tlint and man --warnings are silent on ${pages[*]}"

# The package build as Debian builds its own: hardening flags from
# dpkg-buildflags, warnings as errors, no tests. The builder's own identity
# is someone else's: it must not reach the package.
build=$work/build
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
export DEBFULLNAME='Some Builder' DEBEMAIL=builder@example.invalid EMAIL=builder@example.invalid \
  GIT_AUTHOR_NAME='Some Builder' GIT_AUTHOR_EMAIL=builder@example.invalid \
  GIT_COMMITTER_NAME='Some Builder' GIT_COMMITTER_EMAIL=builder@example.invalid
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DSSM_WERROR=ON >"$work/configure.log" 2>&1 || {
  cat "$work/configure.log" >&2
  fail "configure"
}
cmake --build "$build" >"$work/build.log" 2>&1 || {
  cat "$work/build.log" >&2
  fail "build"
}
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in the build's cache"

# Sorted as find's list is, whatever the locale.
expected_files=$(sort <<<"./lib/systemd/system/ssm-monitor@.service
./usr/bin/ssm_check
./usr/bin/ssm_listen
./usr/bin/ssm_monitor
./usr/bin/ssm_send
./usr/bin/ssm_watch
./usr/share/doc/ssm-receivers/README.md.gz
./usr/share/doc/ssm-receivers/changelog.gz
./usr/share/doc/ssm-receivers/copyright
./usr/share/doc/ssm-receivers/examples/ssm-monitor.rules.yml
./usr/share/doc/ssm-receivers/monitoring.md.gz
./usr/share/doc/ssm-receivers/troubleshooting.md.gz
./usr/share/man/man1/ssm_check.1.gz
./usr/share/man/man1/ssm_listen.1.gz
./usr/share/man/man1/ssm_monitor.1.gz
./usr/share/man/man1/ssm_send.1.gz
./usr/share/man/man1/ssm_watch.1.gz")

# Runs a receiver with no operands: it must print exactly the usage line,
# with the path it was called by, no line end, nothing on standard error,
# and exit 1.
check_usage() {
  local program=$1
  "$program" >"$work/usage.out" 2>"$work/usage.err"
  local status=$?
  [ "$status" = 1 ] || fail "$program with no operands: exit status $status, not 1"
  printf ' Use: %s <group> <source> <port>' "$program" >"$work/usage.expected"
  cmp -s "$work/usage.out" "$work/usage.expected" ||
    fail "$program: usage line (cat -A) '$(cat -A "$work/usage.out")' is not '$(cat -A "$work/usage.expected")'"
  [ ! -s "$work/usage.err" ] || fail "$program: wrote to standard error: $(cat "$work/usage.err")"
}

# Checks an installed tree under $1: the exact set of files, their modes,
# the pages as written, the licence, and the programs' usage.
check_tree() {
  local root=$1 what=$2
  local files
  files=$(cd "$root" && find . \( -type f -o -type l \) ! -path './var/*' | sort)
  [ "$files" = "$expected_files" ] ||
    fail "$what: files differ from the expected set:$(diff <(echo "$expected_files") <(echo "$files"))"
  for program in ssm_listen ssm_watch ssm_send ssm_check ssm_monitor; do
    [ "$(stat -c %a "$root/usr/bin/$program")" = 755 ] || fail "$what: $program is not mode 755"
    file -b "$root/usr/bin/$program" | grep -q '^ELF' || fail "$what: $program is not an ELF program"
  done
  for page in "${pages[@]}"; do
    local installed
    installed="$root/usr/share/man/man1/$(basename "$page").gz"
    [ "$(stat -c %a "$installed")" = 644 ] || fail "$what: $installed is not mode 644"
    gzip -dc "$installed" | cmp -s - "$page" || fail "$what: $installed is not $page"
    gzip -dc "$installed" | grep -q "^\.TH .*\"ssm-receivers $version\"" ||
      fail "$what: $installed does not carry version $version in its .TH line"
  done
  cmp -s "$root/usr/share/doc/ssm-receivers/copyright" LICENSE ||
    fail "$what: the copyright file is not LICENSE"
  # The documents as written, compressed as Debian does (no name or time inside).
  local document installed
  for document in packaging/changelog README.md docs/troubleshooting.md docs/monitoring.md; do
    installed="$root/usr/share/doc/ssm-receivers/$(basename "$document").gz"
    [ "$(stat -c %a "$installed")" = 644 ] || fail "$what: $installed is not mode 644"
    gzip -dc "$installed" | cmp -s - "$document" || fail "$what: $installed is not $document"
    # The header's flags (no name) and time stamp: all zero.
    [ "$(od -An -tu1 -j3 -N5 "$installed" | tr -d ' ')" = 00000 ] ||
      fail "$what: $installed carries a name or a time stamp"
  done
  # ssm_monitor's service and alert rules, as written; the service where
  # systemd looks for the system's own units, not enabled.
  local unit=$root/lib/systemd/system/ssm-monitor@.service
  [ "$(stat -c %a "$unit")" = 644 ] || fail "$what: $unit is not mode 644"
  cmp -s "$unit" packaging/ssm-monitor@.service || fail "$what: $unit is not packaging/ssm-monitor@.service"
  cmp -s "$root/usr/share/doc/ssm-receivers/examples/ssm-monitor.rules.yml" \
    docs/prometheus/ssm-monitor.rules.yml || fail "$what: the alert rules are not docs/prometheus/ssm-monitor.rules.yml"
  check_usage "$root/usr/bin/ssm_listen"
  check_usage "$root/usr/bin/ssm_watch"
  "$root/usr/bin/ssm_send" >/dev/null 2>&1
  [ $? = 1 ] || fail "$what: ssm_send with no operands does not exit 1"
  "$root/usr/bin/ssm_check" -h >"$work/check.out" 2>&1 ||
    fail "$what: ssm_check -h does not exit 0"
  grep -q '^Usage: ssm_check ' "$work/check.out" || fail "$what: ssm_check -h prints no usage"
  "$root/usr/bin/ssm_monitor" -h >"$work/monitor.out" 2>&1 ||
    fail "$what: ssm_monitor -h does not exit 0"
  grep -q '^Usage: ssm_monitor ' "$work/monitor.out" || fail "$what: ssm_monitor -h prints no usage"
}

stage=$work/stage
DESTDIR=$stage cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1 || {
  cat "$work/install.log" >&2
  fail "cmake --install"
}
check_tree "$stage" "cmake --install"
echo "cmake --install: $(echo "$expected_files" | wc -l) files in place, ssm-monitor@.service among them; installed ssm_listen prints the usage line, exit 1"

(cd "$build" && cpack -G DEB) >"$work/cpack.log" 2>&1 || {
  cat "$work/cpack.log" >&2
  fail "cpack"
}
deb=$build/ssm-receivers_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "cpack made no $(basename "$deb")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = ssm-receivers ] || fail "package name '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "package version '$(field Version)', not $version"
[ "$(field Section)" = net ] || fail "section '$(field Section)', not net"
# The project's maintainer, the one who signs the changelog.
maintainer=$(sed -n 's/^ -- \(.*>\)  .*$/\1/p' packaging/changelog | head -n 1)
[ -n "$maintainer" ] || fail "no maintainer in packaging/changelog"
[ "$(field Maintainer)" = "$maintainer" ] ||
  fail "maintainer '$(field Maintainer)', not the project's '$maintainer'"
head -n 1 LICENSE | grep -qx 'MIT License' || fail "LICENSE is not the MIT licence"
field Depends | grep -Eq '(^|, )libc6 \(>= [0-9.]+\)' ||
  fail "dependencies '$(field Depends)' were not worked out by dpkg-shlibdeps"
field Description | sed -n 2p | grep -q . || fail "no extended description"

# Contents: the same files as the install, all owned by root, nothing else.
dpkg-deb -c "$deb" >"$work/contents" || fail "dpkg-deb -c"
listed=$(awk '$1 !~ /^d/ {print $6}' "$work/contents" | sort)
[ "$listed" = "$expected_files" ] ||
  fail "package contents differ:$(diff <(echo "$expected_files") <(echo "$listed"))"
awk '$2 != "root/root" {bad = 1; print "not root/root: " $0} END {exit bad}' "$work/contents" >&2 ||
  fail "files not owned by root in the package"
echo "package: $(basename "$deb"), Maintainer: $(field Maintainer), Depends: $(field Depends); contents as installed"

# Errors fail; warnings and notes are shown.
lintian --fail-on error --display-info --tag-display-limit 0 "$deb" >"$work/lintian" 2>&1
status=$?
grep -v '^running with root privileges' "$work/lintian" | sed 's/^/lintian: /'
[ "$status" = 0 ] || fail "lintian found errors in the package"
echo "lintian: no errors"

# A scratch dpkg root of its own: the host's package database is not touched.
# The root holds no libc, so the dependency check is waived there; the
# programs run with the host's.
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: >"$root/var/lib/dpkg/status"
host_before=$(dpkg-query -W -f='${Status}\n' ssm-receivers 2>/dev/null)
dpkg --root="$root" --log="$work/dpkg.log" --force-depends -i "$deb" >"$work/dpkg.out" 2>&1 || {
  cat "$work/dpkg.out" >&2
  fail "dpkg -i into the scratch root"
}
[ "$(dpkg --root="$root" -s ssm-receivers 2>/dev/null | sed -n 's/^Status: //p')" = \
  "install ok installed" ] || fail "the package is not installed in the scratch root"
check_tree "$root" "dpkg --root"
dpkg --root="$root" --log="$work/dpkg.log" -r ssm-receivers >"$work/dpkg.out" 2>&1 || {
  cat "$work/dpkg.out" >&2
  fail "dpkg -r from the scratch root"
}
left=$(cd "$root" && find . \( -type f -o -type l \) ! -path './var/*')
[ -z "$left" ] || fail "files left in the scratch root after removal: $left"
[ "$(dpkg-query -W -f='${Status}\n' ssm-receivers 2>/dev/null)" = "$host_before" ] ||
  fail "the host's package database changed"
echo "dpkg --root: installed, ssm_listen prints the usage line, removed without a trace"
