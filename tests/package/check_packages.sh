#!/usr/bin/env bash
# The Debian packages made from a built tree (the cpack step of scripts/package, into a temporary
# folder, never installed): the expected packages exist, every file lands in the package that
# contents.tsv names, the others (but the MIME type's) depend on the library package of the same version, and lintian
# reports no error.
#   check_packages.sh BUILD CONTENTS VERSION PACKAGE...
set -euo pipefail
build=$1 contents=$2 version=$3; shift 3
for tool in cpack dpkg-deb dpkg-shlibdeps file lintian; do
  command -v $tool >/dev/null || { echo "skipped: $tool not found"; exit 77; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cpack -G DEB -B "$work" --config "$build/CPackConfig.cmake" > "$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }

status=0
fail() { echo "$*"; status=1; }
for pkg in "$@"; do
  deb=$(ls "$work"/${pkg}_${version}_*.deb 2>/dev/null || true)
  [ -n "$deb" ] || { fail "$pkg: no package"; continue; }
  mapfile -t patterns < <(awk -F'\t' -v p="$pkg" '$1 == p { print $2 }' "$contents")
  mapfile -t files < <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }')
  for f in "${files[@]}"; do
    ok=0
    for pat in "${patterns[@]}"; do [[ $f == $pat ]] && ok=1 && break; done
    [ $ok -eq 1 ] || fail "$pkg: unexpected file $f"
  done
  for pat in "${patterns[@]}"; do
    ok=0
    for f in "${files[@]}"; do [[ $f == $pat ]] && ok=1 && break; done
    [ $ok -eq 1 ] || fail "$pkg: nothing matches $pat"
  done
  depends=$(dpkg-deb -f "$deb" Depends)
  case $pkg in
    libqzimg1|newsbar|qzimg-mime) ;;
    *) [[ $depends == *"libqzimg1 (= $version)"* ]] || fail "$pkg: Depends '$depends' lacks libqzimg1 (= $version)" ;;
  esac
  echo "$pkg: ${#files[@]} files; Depends: $depends"
done
extra=$(ls "$work"/*.deb | wc -l)
[ "$extra" -eq $# ] || fail "$extra packages made, $# expected"

rc=0
lintian --fail-on error "$work"/*.deb > "$work/lintian.log" 2>&1 || rc=$?
grep -v 'running with root privileges' "$work/lintian.log" || true
[ $rc -eq 0 ] || fail "lintian: status $rc"
exit $status
