#!/usr/bin/env bash
# Installs the build tree into a temporary prefix and builds the README's example against it,
# once with pkg-config and once with CMake's find_package, then runs both on a small BMP.
set -euo pipefail
build=$1 source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
# lib/ or the multiarch lib/TRIPLET/, whichever the tree was configured with.
pcfile=$(find "$work/prefix" -name libqzimgdecoder.pc | head -n1)
libdir=$(dirname "$(dirname "$pcfile")")

# The example is the README's only C block.
awk '/^```c$/{on=1;next} /^```$/{on=0} on' "$source/README.md" > "$work/example.c"
[ -s "$work/example.c" ] || { echo "no C example in README.md"; exit 1; }

# The header's version is the one pkg-config and the CMake package carry.
version=$(sed -n 's/^#define QZIMGDECODER_VERSION_[A-Z]* \([0-9]*\)$/\1/p' "$source/decoder/include/qzimgdecoder.h" | paste -sd.)
pc_version=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --modversion libqzimgdecoder)
[ "$pc_version" = "$version" ] || { echo "pkg-config version '$pc_version', header '$version'"; exit 1; }

# A 2 x 1 24-bit BMP.
printf 'BM\x3e\x00\x00\x00\x00\x00\x00\x00\x36\x00\x00\x00\x28\x00\x00\x00\x02\x00\x00\x00\x01\x00\x00\x00\x01\x00\x18\x00\x00\x00\x00\x00\x08\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x01\x02\x03\x04\x05\x06\x00\x00' > "$work/in.bmp"

PKG_CONFIG_PATH="$libdir/pkgconfig" cc -std=c99 -Wall -Wextra -Werror -o "$work/example-pc" "$work/example.c" \
  $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs libqzimgdecoder) -Wl,-rpath,"$libdir"
out=$("$work/example-pc" "$work/in.bmp")
[ "$out" = "2 x 1" ] || { echo "pkg-config build printed: $out"; exit 1; }

mkdir "$work/cm"
cat > "$work/cm/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.21)
project(example C)
find_package(qzimgdecoder $version EXACT REQUIRED)
add_executable(example $work/example.c)
target_link_libraries(example qzimg::qzimgdecoder)
CMAKE
cmake -S "$work/cm" -B "$work/cm/build" -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_BUILD_RPATH="$libdir" >/dev/null
cmake --build "$work/cm/build" >/dev/null
out=$("$work/cm/build/example" "$work/in.bmp")
[ "$out" = "2 x 1" ] || { echo "find_package build printed: $out"; exit 1; }
echo "installed package $version: pkg-config and find_package builds decode the sample"
