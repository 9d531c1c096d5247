#!/usr/bin/env bash
# The Debian packages made from a built tree (the cpack step of scripts/package, into temporary
# folders): the expected packages exist, every file lands in the package that contents.tsv
# names, the others (but the MIME types') depend on the library package of the same version, the
# library package lists every library it holds in its shlibs file and leaves ldconfig to the
# trigger (no postinst or postrm), all install into and remove from an empty temporary root
# without a trace, a second cpack run gives the same bytes, and lintian reports no error.
#   check_packages.sh BUILD CONTENTS VERSION PACKAGE...
set -euo pipefail
build=$1 contents=$2 version=$3; shift 3
for tool in cpack dpkg dpkg-deb dpkg-query dpkg-shlibdeps file lintian readelf; do
  command -v $tool >/dev/null || { echo "skipped: $tool not found"; exit 77; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cpack -G DEB -B "$work" --config "$build/CPackConfig.cmake" > "$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
# The second run, for the byte comparison at the end, goes on while the first's packages are checked.
mkdir "$work/again"
cpack -G DEB -B "$work/again" --config "$build/CPackConfig.cmake" > "$work/again.log" 2>&1 &
again=$!

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

# Libraries: each one's soname in the shlibs file, ldconfig run by the trigger alone.
for deb in "$work"/*.deb; do
  pkg=$(dpkg-deb -f "$deb" Package)
  tree="$work/tree-$pkg"
  dpkg-deb -x "$deb" "$tree"
  mapfile -t libs < <(cd "$tree" && find . -path './usr/lib/*/lib*.so.*' -type f)
  [ ${#libs[@]} -gt 0 ] || continue
  dpkg-deb --ctrl-tarfile "$deb" | tar -x -C "$tree" ./shlibs ./triggers 2>/dev/null || true
  for lib in "${libs[@]}"; do
    soname=$(readelf -d "$tree/$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
    [[ $soname =~ ^(.+)\.so\.([0-9]+)$ ]] || { fail "$pkg: $lib has soname '$soname'"; continue; }
    grep -qxF "${BASH_REMATCH[1]} ${BASH_REMATCH[2]} $pkg (= $version)" "$tree/shlibs" 2>/dev/null ||
      fail "$pkg: shlibs lacks '${BASH_REMATCH[1]} ${BASH_REMATCH[2]} $pkg (= $version)'"
  done
  [ "$(wc -l < "$tree/shlibs" 2>/dev/null || echo 0)" -eq ${#libs[@]} ] ||
    fail "$pkg: shlibs has $(wc -l < "$tree/shlibs" 2>/dev/null || echo 0) lines for ${#libs[@]} libraries"
  grep -qx 'activate-noawait ldconfig' "$tree/triggers" 2>/dev/null || fail "$pkg: no ldconfig trigger"
  for script in postinst postrm; do
    if dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -qx "./$script"; then
      fail "$pkg: has a $script (ldconfig is the trigger's work; a postrm keeps the package in state rc)"
    fi
  done
done

# Installed into an empty root and removed again: nothing of them is left, in any state.
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
: > "$root/var/lib/dpkg/status"
# dpkg_root LOG ARGS...: dpkg in that root (dependencies outside it are not there), its output kept.
dpkg_root() {
  local log=$1; shift
  dpkg --force-not-root --force-depends --root="$root" "$@" > "$log" 2>&1 || { grep -v '^ ' "$log"; return 1; }
}
dpkg_root "$work/install.log" -i "$work"/*.deb || fail "dpkg -i failed"
for pkg in "$@"; do
  state=$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [ "$state" = "install ok installed" ] || fail "$pkg: '$state' after dpkg -i"
done
dpkg_root "$work/remove.log" -r "$@" || fail "dpkg -r failed"
left=$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Package} ${db:Status-Abbrev}\n' 2>/dev/null || true)
[ -z "$left" ] || fail "left behind after dpkg -r: $left"
left=$(cd "$root" && find . -path ./var/lib/dpkg -prune -o ! -type d -print)
[ -z "$left" ] || fail "files left behind after dpkg -r: $left"

# Reproducible: the second cpack run gave the same bytes.
if wait $again; then
  for deb in "$work"/*.deb; do
    cmp -s "$deb" "$work/again/$(basename "$deb")" || fail "$(basename "$deb"): a second cpack run gave other bytes"
  done
else
  cat "$work/again.log"; fail "the second cpack run failed"
fi

rc=0
lintian --fail-on error "$work"/*.deb > "$work/lintian.log" 2>&1 || rc=$?
grep -v 'running with root privileges' "$work/lintian.log" || true
[ $rc -eq 0 ] || fail "lintian: status $rc"
exit $status
