# Cross-compiling for 32-bit ARM hard-float Linux (Debian armhf) with
# Debian's g++-arm-linux-gnueabihf.
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
#
# Target libraries come from Debian multiarch packages (e.g. libinih-dev:armhf,
# installed by scripts/install-packages) in /usr/lib/arm-linux-gnueabihf, and from
# the cross toolchain in /usr/arm-linux-gnueabihf. pkg-config is pointed at the
# armhf .pc files only, so host (amd64) libraries are never picked up.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Search target libraries and headers only in the cross and multiarch
# locations; programs (pkg-config, etc.) only on the host.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Multiarch: /usr/lib/arm-linux-gnueabihf and /usr/include (arch-independent
# headers of -dev:armhf packages) are reached through the "/" root with
# CMAKE_LIBRARY_ARCHITECTURE; host libraries live in other folders.
list(APPEND CMAKE_FIND_ROOT_PATH /)

# pkg-config: only the armhf and arch-independent .pc files.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
set(PKG_CONFIG_EXECUTABLE pkg-config CACHE FILEPATH "pkg-config for the armhf cross build")

