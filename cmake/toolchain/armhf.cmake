# 32-bit ARM gateways (Debian armhf): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain/armhf.cmake
set(CMAKE_SYSTEM_PROCESSOR arm)
set(TARNWICK_GNU_TRIPLET arm-linux-gnueabihf)
set(TARNWICK_DEBIAN_ARCHITECTURE armhf)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
