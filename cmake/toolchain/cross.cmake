# Shared part of the toolchain files beside it: Debian's cross compiler for TARNWICK_GNU_TRIPLET,
# with the libraries and headers of that architecture's cross sysroot under /usr/<triplet>.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${TARNWICK_GNU_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${TARNWICK_GNU_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
