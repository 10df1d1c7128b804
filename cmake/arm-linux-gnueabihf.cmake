# Cross-build for the board: 32-bit ARM, hard float, glibc (Debian's
# g++-arm-linux-gnueabihf). Target programs run on the build machine through
# qemu-arm-static, so ctest and test discovery work as on the host.
#
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake -DVEXIL_STATIC=ON
#
# Libraries for the board come from Debian's armhf packages (multiarch, e.g.
# libgtest-dev:armhf zlib1g-dev:armhf libsodium-dev:armhf), which live next to
# the host ones.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(VEXIL_CROSS_PREFIX "arm-linux-gnueabihf-" CACHE STRING
    "Prefix of the cross compiler's programs, a path may lead it")
set(VEXIL_CROSS_SYSROOT "/usr/arm-linux-gnueabihf" CACHE PATH
    "Where the emulator finds the board's loader and shared libraries")

set(CMAKE_C_COMPILER "${VEXIL_CROSS_PREFIX}gcc")
set(CMAKE_CXX_COMPILER "${VEXIL_CROSS_PREFIX}g++")

# Debian keeps the armhf libraries and their CMake packages under
# /usr/lib/arm-linux-gnueabihf; naming the architecture makes find_package and
# find_library look there and not in the host's directory.
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# -L serves dynamically linked programs; static ones ignore it.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static -L "${VEXIL_CROSS_SYSROOT}")

# GCC notes that std::map iterators are passed differently than before GCC 7.1;
# nothing here crosses that ABI boundary.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
