# The AArch64 Linux build (preset linux-arm64, under qemu-aarch64): what it checks. Included by the
# top-level CMakeLists.txt after the host and its tools.
#   - the Mach-O loader's tests (tests/macho_test.cpp) on arm64 slices, with the entries for Apple
#     arm64 callers of variadic functions, all through one bundle that calls each of them;
#   - the macOS bundles' arm64 code (the macOS build's externals) rendering what the Linux x64
#     build renders, bit for bit (tilde-digest), and the validator's quick checks on it and on the
#     SDK's examples as bundles.
# Not the rest of the suite (the x64 build runs it natively), nor this build's own ELF externals
# (built with `--target externals` they are gcc's AArch64 code, which tilde-digest can compare too).

# ---- the Mach-O loader's tests ------------------------------------------------------------------
enable_testing()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
set(TILDEKIT_FIXTURE_DIR ${CMAKE_BINARY_DIR}/test-externals)
add_executable(macho_test EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/tests/macho_test.cpp)
target_link_libraries(macho_test PRIVATE tildehost gtest_main)
set_target_properties(macho_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
target_include_directories(macho_test PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/frame ${CMAKE_SOURCE_DIR}/frame/max)
target_compile_definitions(macho_test PRIVATE TILDEKIT_MODULE_DIR="${TILDEKIT_MODULE_DIR}" TILDEKIT_BINARY_DIR="${CMAKE_BINARY_DIR}"
  TILDEKIT_SOURCE_DIR="${CMAKE_SOURCE_DIR}" TILDEKIT_FIXTURE_DIR="${TILDEKIT_FIXTURE_DIR}" TILDEKIT_EMULATED=1)
# the ELF module it loads beside the bundles
add_library(fixture_hostprobe_tilde MODULE EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/tests/fixtures/hostprobe_tilde.cpp)
target_link_libraries(fixture_hostprobe_tilde PRIVATE tildekit_api MaxAPI MaxAudio)
set_target_properties(fixture_hostprobe_tilde PROPERTIES PREFIX "" OUTPUT_NAME "hostprobe~" SUFFIX "${TILDEKIT_EXT}"
  CXX_VISIBILITY_PRESET hidden LIBRARY_OUTPUT_DIRECTORY ${TILDEKIT_FIXTURE_DIR})
target_compile_options(fixture_hostprobe_tilde PRIVATE -Wno-cast-function-type)
add_dependencies(macho_test fixture_hostprobe_tilde MaxAPI MaxAudio)
set(TILDEKIT_MACHO_HOST_ARCH arm64)
include(${CMAKE_SOURCE_DIR}/cmake/macho-fixtures.cmake)
# one test for the program: a qemu start per test case would cost more than the cases
add_test(NAME macho_test COMMAND macho_test --gtest_brief=1)
set_tests_properties(macho_test PROPERTIES TIMEOUT 900)

# ---- the macOS bundles' arm64 code -------------------------------------------------------------
set(TILDEKIT_MACOS_BUILD ${CMAKE_SOURCE_DIR}/build/macos CACHE PATH "The macOS build whose bundles' arm64 code runs here")
set(TILDEKIT_REFERENCE_BUILD ${CMAKE_SOURCE_DIR}/build/x64 CACHE PATH "The Linux x64 build whose output the arm64 code must match")
# TEST TOOL ARGS...: cmake/macos-host-test.cmake with this build's tools under the emulator
function(tildekit_arm64_test test tool)
  list(JOIN ARGN "|" args)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR "|" emulator)
  add_test(NAME ${test}
    COMMAND ${CMAKE_COMMAND} -DTOOLS=${CMAKE_BINARY_DIR}/tools -DTOOL=${tool} "-DARGS=${args}" "-DEMULATOR=${emulator}"
      -DREFERENCE=${TILDEKIT_REFERENCE_BUILD}/tools -DBUNDLES=${TILDEKIT_MACOS_BUILD}/externals
      -P ${CMAKE_SOURCE_DIR}/cmake/macos-host-test.cmake)
  set_tests_properties(${test} PROPERTIES TIMEOUT 900 SKIP_REGULAR_EXPRESSION "skipped: no ")
endfunction()
# every digest case bit for bit: glibc's mathematics give the same bits on both machines
tildekit_arm64_test(arm64_digest_matches_linux digest ${TILDEKIT_MACOS_BUILD}/externals ${CMAKE_BINARY_DIR}/digest
  ${CMAKE_SOURCE_DIR}/scripts/compare-digests ${TILDEKIT_EXTERNALS})
tildekit_arm64_test(arm64_validate_quick tilde-validate --path ${TILDEKIT_MACOS_BUILD}/externals --all --quick --seed 1)
# the SDK's examples the macOS build validates, their arm64 code (the attribute API's *_format and
# snprintf_zero among their variadic calls)
tildekit_arm64_test(arm64_sdkexamples_validate_quick tilde-validate --path ${TILDEKIT_MACOS_BUILD}/sdk-examples --quick --seed 1
  plussz~ simplemsp~ times~ split~ index~ simpwave~ plussz plussz2 simplemax attrtester delay2 dummy urner lores~ dspstress~)
