#!/usr/bin/env bash
# scripts/setup.sh against stand-ins for dpkg, dpkg-query, apt-get and id on PATH: which
# packages count as missing (setup_cases.tsv), that every apt call waits for the package lock,
# and that a failed configure shows CMake's message and the missing packages.
#   check_setup.sh SOURCE_DIR CASES
set -euo pipefail
src=$1 cases=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"

# dpkg-query -W -f=FORMAT NAME[:ARCH]...: the rows of $STUB_DB (NAME:ARCH=STATUS, one a line)
# that match, each once, as dpkg-query prints them; unknown names as dpkg-query reports them.
cat > "$work/bin/dpkg-query" <<'STUB'
#!/usr/bin/env bash
fmt=
args=()
for a in "$@"; do
  case $a in -W) ;; -f=*) fmt=${a#-f=} ;; -f*) fmt=${a#-f} ;; *) args+=("$a") ;; esac
done
rc=0
declare -A shown
for a in "${args[@]}"; do
  hit=0
  while IFS= read -r row; do
    [ -n "$row" ] || continue
    pkg=${row%%:*} rest=${row#*:}
    arch=${rest%%=*} status=${rest#*=}
    if [ "$a" = "$pkg" ] || [ "$a" = "$pkg:$arch" ]; then
      hit=1
      [ -z "${shown[$row]:-}" ] || continue
      shown[$row]=1
      line=${fmt//'${Package}'/$pkg}
      line=${line//'${Architecture}'/$arch}
      line=${line//'${Status}'/$status}
      printf '%b' "$line"
    fi
  done < "$STUB_DB"
  [ $hit -eq 1 ] || { echo "dpkg-query: no packages found matching $a" >&2; rc=1; }
done
exit $rc
STUB
cat > "$work/bin/dpkg" <<'STUB'
#!/bin/sh
case $1 in --print-architecture) echo amd64 ;; --print-foreign-architectures) echo arm64 ;; *) exit 1 ;; esac
STUB
cat > "$work/bin/apt-get" <<'STUB'
#!/bin/sh
echo "$*" >> "$STUB_APT_LOG"
STUB
cat > "$work/bin/id" <<'STUB'
#!/bin/sh
echo 0
STUB
chmod +x "$work/bin"/*
export PATH="$work/bin:$PATH" STUB_DB="$work/db" STUB_APT_LOG="$work/apt.log"
source "$src/scripts/setup.sh"

status=0
fail() { echo "FAIL: $*"; status=1; }
cases_run=0
while IFS= read -r line; do
  [[ -z $line || $line == \#* ]] && continue
  # Tabs are whitespace to read, which would merge empty columns: split on another byte.
  IFS=$'\x1f' read -r name installed asked expected <<<"${line//$'\t'/$'\x1f'}"
  tr ',' '\n' <<<"$installed" > "$STUB_DB"
  read -ra names <<<"$asked"
  got=$(missing_packages "${names[@]}" | paste -sd' ')
  [ "$got" = "$expected" ] || fail "$name: missing '$got', expected '$expected'"
  cases_run=$((cases_run + 1))
done < "$cases"
[ $cases_run -gt 0 ] || fail "no cases read from $cases"

# Installing: only what is missing, and apt waits for the lock every time.
printf '%s\n' "cmake:amd64=install ok installed" "libsquish-dev:arm64=install ok installed" > "$STUB_DB"
: > "$STUB_APT_LOG"
PACKAGES=(cmake libsquish-dev lintian)
install_packages > "$work/install.out"
[ -s "$STUB_APT_LOG" ] || fail "install_packages called no apt-get"
while IFS= read -r call; do
  [[ $call == *"-o DPkg::Lock::Timeout="* ]] || fail "apt-get $call: does not wait for the package lock"
done < "$STUB_APT_LOG"
grep -q ' install .*libsquish-dev lintian$' "$STUB_APT_LOG" ||
  fail "install_packages did not install exactly the missing packages: $(cat "$STUB_APT_LOG")"
grep -q 'install .*cmake' "$STUB_APT_LOG" && fail "install_packages reinstalled cmake"

# Nothing missing: apt is not called at all.
printf '%s\n' "cmake:amd64=install ok installed" > "$STUB_DB"
: > "$STUB_APT_LOG"
PACKAGES=(cmake)
install_packages > "$work/install.out"
[ ! -s "$STUB_APT_LOG" ] || fail "apt-get called with everything installed: $(cat "$STUB_APT_LOG")"

# A failed configure: CMake's own message and the packages to install reach the terminal.
if command -v cmake >/dev/null && command -v ninja >/dev/null; then
  mkdir "$work/project"
  cat > "$work/project/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.21)
project(stand_in NONE)
message(FATAL_ERROR "stand-in needs the Debian packages libfoo-dev")
CMAKE
  ROOT="$work/project"
  PACKAGES=(cmake libsquish-dev)
  printf '%s\n' "cmake:amd64=install ok installed" "libsquish-dev:arm64=install ok installed" > "$STUB_DB"
  rc=0
  configure "$work/build" > "$work/configure.out" 2> "$work/configure.err" || rc=$?
  [ $rc -ne 0 ] || fail "configure of a failing project succeeded"
  grep -q 'stand-in needs the Debian packages libfoo-dev' "$work/configure.err" ||
    fail "configure did not show CMake's message: $(cat "$work/configure.err")"
  grep -q 'Not installed: libsquish-dev$' "$work/configure.err" ||
    fail "configure did not name the missing package: $(cat "$work/configure.err")"
  [ -s "$work/build/configure.log" ] || fail "configure kept no log"
fi
[ $status -eq 0 ] && echo "$cases_run cases passed"
exit $status
