# Shared by the toolchain files: cross-compiling for Debian's TRIPLET with its
# g++-TRIPLET, target libraries from multiarch packages (e.g. libinih-dev:armhf,
# installed by scripts/install-packages) in /usr/lib/TRIPLET, and the cross
# toolchain's own in /usr/TRIPLET. The including file sets
# CMAKE_SYSTEM_PROCESSOR and CMAKE_LIBRARY_ARCHITECTURE (the triplet).

set(CMAKE_SYSTEM_NAME Linux)
set(triplet ${CMAKE_LIBRARY_ARCHITECTURE})

set(CMAKE_C_COMPILER ${triplet}-gcc)
set(CMAKE_CXX_COMPILER ${triplet}-g++)

# Search target libraries and headers only in the cross and multiarch
# locations; programs (pkg-config, etc.) only on the host.
set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Multiarch: /usr/lib/TRIPLET and /usr/include (arch-independent headers of
# -dev:ARCH packages) are reached through the "/" root with
# CMAKE_LIBRARY_ARCHITECTURE; host libraries live in other folders.
list(APPEND CMAKE_FIND_ROOT_PATH /)

# pkg-config: only the target's and arch-independent .pc files, so host
# libraries are never picked up.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${triplet}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
set(PKG_CONFIG_EXECUTABLE pkg-config CACHE FILEPATH "pkg-config for the cross build")
