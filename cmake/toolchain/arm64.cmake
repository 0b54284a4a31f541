# 64-bit ARM gateways (Debian arm64): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain/arm64.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TARNWICK_GNU_TRIPLET aarch64-linux-gnu)
set(TARNWICK_DEBIAN_ARCHITECTURE arm64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
