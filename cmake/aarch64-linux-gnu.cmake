# Cross build for arm64 Linux with Debian's cross compiler; the target's libraries come from
# Debian's arm64 packages installed through multiarch (scripts/setup.sh, install_arm64) and
# programs built here run under qemu-user, tests and test discovery included.
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Libraries, CMake packages and pkg-config files under the multiarch directories of arm64.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# Debian's name of the architecture, for the packages a failed configure names.
set(QZI_DEBIAN_ARCH arm64)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
# The arm64 C library is installed through multiarch, so qemu finds the loader without -L.
find_program(QZI_QEMU_AARCH64 qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QZI_QEMU_AARCH64})
