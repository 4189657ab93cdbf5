# macOS externals (universal .mxo bundles: x86_64 for macOS 10.13, arm64 for macOS 11) cross-built
# with Debian's LLVM 14 and no Apple SDK: clang compiles each architecture against the host SDK's
# headers and the project's own Darwin declarations (frame/darwin), ld64.lld links each slice
# against a libSystem text stub, llvm-lipo joins the slices; cmake/macos-bundles.cmake does the rest.
#
# CMake's Darwin platform would ask xcode-select for an SDK and drive Apple's ld and lipo through
# the compiler driver, none of which exists here, so CMake stays on the build machine's platform:
# the compilers below are used for objects only, each architecture's target given per target.
set(TILDEKIT_MACOS ON)
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
find_program(TILDEKIT_LD64 NAMES ld64.lld-14 ld64.lld REQUIRED)
find_program(TILDEKIT_LIPO NAMES llvm-lipo-14 llvm-lipo REQUIRED)
find_program(TILDEKIT_NM NAMES llvm-nm-14 llvm-nm REQUIRED)

# architecture, clang target, minimum macOS (arm64: macOS 11 is the first on Apple Silicon)
set(TILDEKIT_MACOS_ARCHS x86_64 arm64)
set(TILDEKIT_MACOS_TARGET_x86_64 x86_64-apple-macos10.13)
set(TILDEKIT_MACOS_TARGET_arm64 arm64-apple-macos11)
set(TILDEKIT_MACOS_MIN_x86_64 10.13)
set(TILDEKIT_MACOS_MIN_arm64 11.0)

# The Linux build's optimisation (-O2), so that the x86_64 code computes what the Linux x64
# build does, bit for bit; no -g: ld64.lld would write a debug map naming every object file and
# its modification time into the bundle.
set(CMAKE_BUILD_TYPE Release CACHE STRING "Build type (the macOS build: Release, -O2 without debug information)")
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "C flags of the macOS build")
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "C++ flags of the macOS build")
# the bundles are the build: no host, tools or tests of the host (those run in the Linux x64 build)
set(TILDEKIT_HOST OFF CACHE BOOL "Build the host, its tests and tools (off where only the externals are built)")
