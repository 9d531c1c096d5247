# Shared set-up for scripts/test and scripts/run: Debian packages, paths, configure and build.
# Sourced, not run.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=$(nproc 2>/dev/null || echo 2)

PACKAGES=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  libboost-dev libgtest-dev libgmock-dev libbenchmark-dev libpng-dev libstb-dev
  libsquish-dev android-libetc1-dev libastcenc-dev libzstd-dev zlib1g-dev libdeflate-dev
  qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools qtbase5-dev
  libxml2-dev libicu-dev libxcb1-dev
  libgdk-pixbuf-2.0-dev libgdk-pixbuf2.0-bin libglib2.0-bin shared-mime-info xdg-utils dpkg-dev file lintian
  xvfb xauth dbus dbus-x11 python3 python3-dbusmock x11-utils fonts-dejavu-core trayer
  time python3-feedparser
  python3-dev python3-numpy python3-pil python3-pytest libopenexr-dev
)

# Every apt call waits for the package lock (a fresh machine's daily apt job holds it for minutes)
# instead of failing at once; root runs apt itself, anyone else through sudo.
apt_get() {
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=900 "$@"
}

# missing_packages NAME...: prints the NAMEs that are not installed. A plain NAME counts when
# its native-architecture or its architecture-independent ("all") package is installed, not
# when only another architecture's copy is (an arm64 -dev package from the cross build does not
# build anything natively); NAME:ARCH asks for that architecture.
missing_packages() {
  local native rows p
  native=$(dpkg --print-architecture)
  # One query for all names; names dpkg does not know produce no row.
  rows=$(dpkg-query -W -f='${Package}\t${Architecture}\t${Status}\n' "$@" 2>/dev/null || true)
  for p in "$@"; do
    local name=${p%%:*} arch=$native
    [[ $p == *:* ]] && arch=${p#*:}
    awk -F'\t' -v n="$name" -v a="$arch" '
      $1 == n && ($2 == a || $2 == "all") && $3 ~ / ok installed$/ { found = 1 }
      END { exit !found }' <<<"$rows" || echo "$p"
  done
}

install_packages() {
  local missing
  mapfile -t missing < <(missing_packages "${PACKAGES[@]}")
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== Installing: ${missing[*]}"
  apt_get update -qq
  apt_get install -y -qq --no-install-recommends "${missing[@]}"
}

# The arm64 cross build (scripts/test --arm64): Debian's cross compiler, qemu-user, and the
# arm64 -dev packages of what the libraries, qzidecode and the tests link, through multiarch.
ARM64_PACKAGES=(
  g++-aarch64-linux-gnu qemu-user
  libgtest-dev:arm64 libgmock-dev:arm64 libboost-dev:arm64 libpng-dev:arm64 libsquish-dev:arm64
  libastcenc-dev:arm64 libzstd-dev:arm64 zlib1g-dev:arm64 libdeflate-dev:arm64
)
# The ETC1 library's packages cannot be installed beside the native ones (not multiarch): they
# are unpacked into a folder of the arm64 build tree instead and found from there.
ARM64_UNPACKED=(android-libetc1:arm64 android-libetc1-dev:arm64)

# install_arm64 DEPS_DIR
install_arm64() {
  local deps=$1
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    "${sudo[@]}" dpkg --add-architecture arm64
    apt_get update -qq
  fi
  local missing p
  mapfile -t missing < <(missing_packages "${ARM64_PACKAGES[@]}")
  if [ ${#missing[@]} -ne 0 ]; then
    echo "== Installing: ${missing[*]}"
    # --no-remove: never take a native package away for an arm64 one.
    apt_get install -y -qq --no-install-recommends --no-remove "${missing[@]}" ||
      { apt_get update -qq && apt_get install -y -qq --no-install-recommends --no-remove "${missing[@]}"; }
  fi
  if [ ! -f "$deps/unpacked" ]; then
    rm -rf "$deps"
    mkdir -p "$deps/debs"
    (cd "$deps/debs" && apt-get download -qq "${ARM64_UNPACKED[@]}" 2>/dev/null ||
      { apt_get update -qq && apt-get download -qq "${ARM64_UNPACKED[@]}"; })
    for p in "$deps"/debs/*.deb; do dpkg-deb -x "$p" "$deps"; done
    touch "$deps/unpacked"
  fi
}

# Test corpora live beside the project and are never copied into it.
export_test_data() {
  local data="$ROOT/../shared/testdata"
  if [ -d "$data/bmpsuite" ]; then export QZI_BMPSUITE_DIR=$(cd "$data/bmpsuite" && pwd); fi
  if [ -d "$data/pvr" ]; then export QZI_PVR_DIR=$(cd "$data/pvr" && pwd); fi
  if [ -d "$data/pvr-modern" ]; then export QZI_PVR_MODERN_DIR=$(cd "$data/pvr-modern" && pwd); fi
  if [ -d "$data/textures" ]; then export QZI_TEXTURES_DIR=$(cd "$data/textures" && pwd); fi
  return 0
}

# The Release tree build/ as scripts/test makes it; scripts/package reuses it.
# The Python module is built for Debian's interpreter, whatever else is first on the PATH.
PYTHON_OPTIONS=(-DQZI_PYTHON=ON -DPython3_EXECUTABLE=/usr/bin/python3)
RELEASE_OPTIONS=(-DCMAKE_BUILD_TYPE=Release -DQZI_SANITIZE=OFF -DQZI_BUILD_NEWSBAR=ON -DQZI_BUILD_BENCH=ON
                 -DQZI_PIXBUF_LOADER=ON -DQZI_QT5_PLUGIN=ON -DQZI_QT6_PLUGIN=ON "${PYTHON_OPTIONS[@]}")

# configure DIR [cmake args...]: configures quietly; when that fails, shows CMake's own message
# (its log stays in DIR/configure.log) and which packages of the list named by NEEDED_PACKAGES
# (PACKAGES unless set) are missing.
configure() {
  local dir=$1; shift
  mkdir -p "$dir"
  if ! cmake -S "$ROOT" -B "$dir" -G Ninja "$@" > "$dir/configure.log" 2>&1; then
    echo "== Configuring $dir failed:" >&2
    # The errors and what CMake printed just before them; the whole log is kept.
    grep -B 3 -A 12 'CMake Error' "$dir/configure.log" >&2 || tail -n 40 "$dir/configure.log" >&2
    local missing
    local -n needed=${NEEDED_PACKAGES:-PACKAGES}
    mapfile -t missing < <(missing_packages "${needed[@]}")
    if [ ${#missing[@]} -ne 0 ]; then
      echo "== Not installed: ${missing[*]}" >&2
      echo "   apt-get install --no-install-recommends ${missing[*]}" >&2
    fi
    echo "== The whole output: $dir/configure.log" >&2
    return 1
  fi
}

# configure_and_build DIR [cmake args...]
configure_and_build() {
  local dir=$1; shift
  # Libraries go to the multiarch folder, as in the Debian packages made from the same tree.
  configure "$dir" -DCMAKE_INSTALL_LIBDIR="lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)" "$@"
  cmake --build "$dir" -j "$JOBS"
}
