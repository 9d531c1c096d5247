#!/usr/bin/env bash
# The loader as desktops use it: installed with the library into a temporary prefix, listed in a
# loaders cache of its own, then reading corpus textures (equal to their reference decodes), a
# truncated texture and a BMP (errors, no crash) and making a 128-pixel thumbnail.
#   loader_test.sh BUILD PIXBUF_READ MODULEDIR QUERY_LOADERS [PRELOAD]
set -euo pipefail
build=$1 pixbuf_read=$2 moduledir=$3 query_loaders=$4 preload=${5:-}

[ -n "${QZI_PVR_DIR:-}" ] || { echo "skipped: QZI_PVR_DIR is not set"; exit 77; }
[ -x "$query_loaders" ] || { echo "skipped: $query_loaders not found"; exit 77; }
for tool in gdk-pixbuf-thumbnailer update-mime-database; do
  command -v $tool >/dev/null || { echo "skipped: $tool not found"; exit 77; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
for component in lib mime pixbuf; do cmake --install "$build" --prefix "$prefix" --component $component >/dev/null; done
module=$prefix/$moduledir/libpixbufloader-qzipvr.so
[ -f "$module" ] || { echo "no module at $module"; exit 1; }

# Foreign programs (query-loaders, the thumbnailer) load a sanitized module with its runtime first.
foreign() {
  if [ -n "$preload" ]; then
    LD_PRELOAD=$preload ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0 "$@"
  else
    "$@"
  fi
}

foreign "$query_loaders" "$module" > "$work/loaders.cache"
grep -q '"image/x-pvr"' "$work/loaders.cache" || { echo "loaders cache lacks the module:"; cat "$work/loaders.cache"; exit 1; }
export GDK_PIXBUF_MODULE_FILE=$work/loaders.cache
# gdk-pixbuf picks a loader by the content type that the MIME database gives: the installed
# type first, the machine's database for the reference PNGs.
export XDG_DATA_DIRS=$prefix/share:${XDG_DATA_DIRS:-/usr/local/share:/usr/share} XDG_DATA_HOME=$work/home
update-mime-database "$prefix/share/mime"

# Named without extension, so only the content leads gdk-pixbuf to the module.
status=0
textures=("$QZI_PVR_DIR"/{cocos2d-objc/test_image_pvrtc4bpp,tacentview/BC3DXT4DXT5_UNORM_sRGB_RGBA_T,loaders.gl/shannon-etc1})
# A texture in one of the newer formats, where that corpus is present.
[ -z "${QZI_PVR_MODERN_DIR:-}" ] || textures+=("$QZI_PVR_MODERN_DIR/tacentview/BC7_RGBA")
for name in "${textures[@]}"; do
  copy=$work/$(basename "$name")
  cp "$name.pvr" "$copy"
  "$pixbuf_read" same "$copy" "$name.ref.png" || status=1
done

# The other containers, where their corpus is present: equal to the references, and an .astc
# file (whose reference allows a difference of 1) read at its size.
if [ -n "${QZI_TEXTURES_DIR:-}" ]; then
  for name in pillow/bc7-argb-8bpp_MipMaps-1.dds ktx-software/ldr.ktx made/B8G8R8A8_crop.ktx2 tacentview/ETC1_RGB_1281x721.pkm; do
    copy=$work/container-$(basename "${name%.*}")
    cp "$QZI_TEXTURES_DIR/$name" "$copy"
    "$pixbuf_read" same "$copy" "$QZI_TEXTURES_DIR/${name%.*}.ref.png" || status=1
  done
  cp "$QZI_TEXTURES_DIR/made/ASTC8X8_HDR_crop.astc" "$work/astc"
  size=$("$pixbuf_read" size "$work/astc")
  [ "$size" = "pvr 128 128" ] || { echo ".astc file read as $size, expected pvr 128 128"; status=1; }
fi

# Cut in the middle of the texture data: the header still leads to the module.
head -c 4000 "$QZI_PVR_DIR/cocos2d-objc/test_image_pvrtc4bpp.pvr" > "$work/truncated"
"$pixbuf_read" fails "$work/truncated" || status=1

# A BMP offered to this loader is refused: gdk-pixbuf's own BMP loader stays in charge of those.
printf 'BM\x3e\x00\x00\x00\x00\x00\x00\x00\x36\x00\x00\x00\x28\x00\x00\x00\x02\x00\x00\x00\x01\x00\x00\x00\x01\x00\x18\x00\x00\x00\x00\x00\x08\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x01\x02\x03\x04\x05\x06\x00\x00' > "$work/bitmap.pvr"
"$pixbuf_read" fails "$work/bitmap.pvr" || status=1

# 1280 x 720 becomes 128 x 72.
texture=$work/texture.pvr
cp "$QZI_PVR_DIR/tacentview/BC3DXT4DXT5_UNORM_sRGB_RGBA_T.pvr" "$texture"
foreign gdk-pixbuf-thumbnailer -s 128 "file://$texture" "$work/thumb.png"
size=$("$pixbuf_read" size "$work/thumb.png")
[ "$size" = "png 128 72" ] || { echo "thumbnail is $size, expected png 128 72"; status=1; }
echo "thumbnail: $size"
[ -z "${QZI_KEEP_THUMBNAIL:-}" ] || cp "$work/thumb.png" "$QZI_KEEP_THUMBNAIL"
exit $status
