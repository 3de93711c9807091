# Cross build for the card's 32-bit ARM (armhf) with Debian's cross toolchain
# (crossbuild-essential-armhf) and the armhf libraries installed multiarch
# (qtbase5-dev:armhf, libgtest-dev:armhf). Tests run under qemu-user.
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# GCC's note that passing some structures by value changed in GCC 7.1 concerns mixing
# objects of older compilers; everything here comes from one compiler.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
# Multiarch: headers and libraries of the target live under / itself
# (/usr/lib/arm-linux-gnueabihf, /usr/include/arm-linux-gnueabihf).
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(PKG_CONFIG_EXECUTABLE arm-linux-gnueabihf-pkg-config CACHE FILEPATH "")
# ctest and gtest_discover_tests start the test programs through the emulator; the
# armhf loader and libc come from libc6:armhf (multiarch), so no -L prefix is needed.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
set(TVK_DEB_ARCH armhf CACHE STRING "Architecture of the Debian packages")
