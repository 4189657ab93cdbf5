# AArch64 Linux builds with Debian's cross compilers (g++-aarch64-linux-gnu), run under
# qemu-aarch64 with the sysroot that libc6-arm64-cross installs. Its host maps the arm64 code of
# macOS bundles; the libraries with no AArch64 package here (libsndfile, PLplot, JACK, Python) are
# left out: the tilde command and the Python module are not built.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(TILDEKIT_ARM64_SYSROOT /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH ${TILDEKIT_ARM64_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
find_program(TILDEKIT_QEMU_AARCH64 qemu-aarch64)
if(NOT TILDEKIT_QEMU_AARCH64)
  set(TILDEKIT_QEMU_AARCH64 qemu-aarch64)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${TILDEKIT_QEMU_AARCH64};-L;${TILDEKIT_ARM64_SYSROOT})
