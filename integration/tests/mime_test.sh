#!/usr/bin/env bash
# The MIME type from an installed temporary prefix: after update-mime-database, a texture named
# without extension is image/x-pvr by its magic (version 3 and legacy version 2), a PKM file
# image/x-pkm, other data neither.
#   mime_test.sh BUILD
set -euo pipefail
build=$1
for tool in update-mime-database gio xdg-mime; do
  command -v $tool >/dev/null || { echo "skipped: $tool not found"; exit 77; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" --component mime >/dev/null

# Only the prefix's database counts, not the machine's or the user's.
export XDG_DATA_DIRS=$prefix/share XDG_DATA_HOME=$work/home
update-mime-database "$prefix/share/mime"
mkdir -p "$work/files" "$XDG_DATA_HOME"
{ printf 'PVR\003'; head -c 60 /dev/zero; } > "$work/files/version3"
{ head -c 44 /dev/zero; printf 'PVR!'; head -c 8 /dev/zero; } > "$work/files/version2"
{ printf 'BM'; head -c 60 /dev/zero; } > "$work/files/other"
{ printf 'PKM 20'; head -c 40 /dev/zero; } > "$work/files/pkm"

status=0
check() {
  local file=$1 want=$2 got
  got=$(gio info -a standard::content-type "$file" | sed -n 's/^ *standard::content-type: //p')
  [ "$got" = "$want" ] || { echo "gio: $(basename "$file") is '$got', expected '$want'"; status=1; }
  # xdg-mime asks gio on a GNOME desktop, as a file manager there would.
  got=$(XDG_CURRENT_DESKTOP=GNOME xdg-mime query filetype "$file")
  [ "$got" = "$want" ] || { echo "xdg-mime: $(basename "$file") is '$got', expected '$want'"; status=1; }
}
check "$work/files/version3" image/x-pvr
check "$work/files/version2" image/x-pvr
check "$work/files/pkm" image/x-pkm
got=$(gio info -a standard::content-type "$work/files/other" | sed -n 's/^ *standard::content-type: //p')
[ "$got" != image/x-pvr ] || { echo "other data taken for a texture"; status=1; }
[ $status -ne 0 ] || echo "image/x-pvr recognised by content for versions 3 and 2, image/x-pkm for PKM"
exit $status
