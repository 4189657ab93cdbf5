# The macOS build (toolchain cmake/macos-universal.cmake, preset macos): the externals as universal
# NAME.mxo bundles in externals/, the SDK's examples the same way in sdk-examples/, their static
# checks, and the tests that run the bundles' x86_64 code through the Linux x64 build's host.
# Included by the top-level CMakeLists.txt in place of everything else.
if(TILDEKIT_HOST)
  message(FATAL_ERROR "The macOS build builds the bundles only: configure it with -DTILDEKIT_HOST=OFF (the preset macos does); "
    "its tests run the bundles through the Linux x64 build")
endif()

# ---- what a bundle is made of -----------------------------------------------------------------
get_filename_component(TILDEKIT_SDK_SCRIPTS "${TILDEKIT_SDK_SUPPORT}/../script" ABSOLUTE)
foreach(f Info.plist.in PkgInfo)
  if(NOT EXISTS ${TILDEKIT_SDK_SCRIPTS}/${f})
    message(FATAL_ERROR "The macOS bundles take ${f} from the host SDK's script folder: no ${TILDEKIT_SDK_SCRIPTS}/${f}")
  endif()
endforeach()
set(TILDEKIT_MACOS_STUB ${CMAKE_SOURCE_DIR}/cmake/macos-libSystem.tbd)
set(TILDEKIT_BUNDLE_DOMAIN "org.tildekit" CACHE STRING "Reverse domain of the macOS bundles' identifiers")

# The names bound flat at load time: every MaxAPI name the SDK's own macOS link leaves undefined
# (c74_linker_flags.txt, less sprintf and sscanf, which are the C library's), and the MSP names,
# which a Mac build of the SDK takes from MaxAudioAPI.framework (absent from the SDK copy): those
# the SDK's x64 MaxAudio.lib exports, less its DllMain.
set(_tk_flags ${TILDEKIT_SDK_SUPPORT}/max-includes/c74_linker_flags.txt)
set(_tk_audio ${TILDEKIT_SDK_SUPPORT}/msp-includes/x64/MaxAudio.lib)
foreach(f ${_tk_flags} ${_tk_audio})
  if(NOT EXISTS ${f})
    message(FATAL_ERROR "The macOS link takes the host's function names from ${f}, which is missing")
  endif()
endforeach()
file(READ ${_tk_flags} _tk_text)
string(REGEX MATCHALL "-U,_[A-Za-z0-9_]+" _tk_names "${_tk_text}")
list(TRANSFORM _tk_names REPLACE "^-U," "")
execute_process(COMMAND ${TILDEKIT_NM} --defined-only --just-symbol-name ${_tk_audio}
  OUTPUT_VARIABLE _tk_text RESULT_VARIABLE _tk_rc)
string(REGEX MATCHALL "__imp_[A-Za-z0-9_]+" _tk_msp "${_tk_text}")
list(TRANSFORM _tk_msp REPLACE "^__imp_" "_")
if(NOT _tk_rc EQUAL 0 OR NOT "_z_dsp_setup" IN_LIST _tk_msp)
  message(FATAL_ERROR "${TILDEKIT_NM} found no MSP names (z_dsp_setup...) in ${_tk_audio}")
endif()
list(APPEND _tk_names ${_tk_msp})
list(REMOVE_ITEM _tk_names _sprintf _sscanf _DllMain)
list(REMOVE_DUPLICATES _tk_names)
list(SORT _tk_names)
list(JOIN _tk_names "\n" _tk_text)
set(TILDEKIT_MACOS_MAX_NAMES ${CMAKE_BINARY_DIR}/max-names.txt)
file(CONFIGURE OUTPUT ${TILDEKIT_MACOS_MAX_NAMES} CONTENT "${_tk_text}\n" @ONLY)

# Only the project's own Darwin declarations besides the compiler's own headers (stdint.h,
# stddef.h, float.h, stdarg.h, stdbool.h, limits.h, cpuid.h): glibc's would silently make
# intptr_t 32-bit on arm64 and import Linux-only names.
add_library(tildekit_darwin INTERFACE)
target_include_directories(tildekit_darwin SYSTEM INTERFACE ${CMAKE_SOURCE_DIR}/frame/darwin)
target_compile_options(tildekit_darwin INTERFACE -nostdlibinc $<$<COMPILE_LANGUAGE:CXX>:-nostdinc++>)

# the records as the host lays them out, in both architectures
foreach(arch ${TILDEKIT_MACOS_ARCHS})
  add_library(mac_${arch}_records OBJECT ${CMAKE_SOURCE_DIR}/tests/fixtures/darwin_records.c)
  target_link_libraries(mac_${arch}_records PRIVATE tildekit_api tildekit_darwin)
  target_compile_options(mac_${arch}_records PRIVATE --target=${TILDEKIT_MACOS_TARGET_${arch}})
endforeach()

# One bundle: DIR/NAME.mxo/Contents/{MacOS/NAME, Info.plist, PkgInfo} from SOURCES, each
# architecture compiled with OPTIONS and linked by cmake/macos-link.cmake (EXPORTS and INPUTS are
# the bad fixture's), joined by llvm-lipo. GROUP keeps the intermediate files of the externals,
# the examples and the fixtures apart; the bundle's files are appended to the list named OUTPUTS.
function(tildekit_macos_bundle name)
  cmake_parse_arguments(PARSE_ARGV 1 B "" "DIR;GROUP;OUTPUTS;X86_64_MIN;IDENTIFIER" "SOURCES;OPTIONS;EXPORTS;INPUTS")
  string(REPLACE "~" "_tilde" id "${B_GROUP}_${name}")
  set(slices "")
  foreach(arch ${TILDEKIT_MACOS_ARCHS})
    set(min ${TILDEKIT_MACOS_MIN_${arch}})
    if(arch STREQUAL "x86_64" AND B_X86_64_MIN)
      set(min ${B_X86_64_MIN})
    endif()
    set(target ${TILDEKIT_MACOS_TARGET_${arch}})
    string(REGEX REPLACE "[0-9.]+$" "${min}" target "${target}")
    set(obj mac_${arch}_${id})
    add_library(${obj} OBJECT ${B_SOURCES})
    target_link_libraries(${obj} PRIVATE tildekit_api tildekit_darwin)
    target_compile_options(${obj} PRIVATE --target=${target} ${B_OPTIONS})
    # one slice per folder under the bundle's own name: the linker signs it under that name
    set(slice ${CMAKE_BINARY_DIR}/slices/${B_GROUP}/${arch}/${name})
    add_custom_command(OUTPUT ${slice}
      COMMAND ${CMAKE_COMMAND} -DNAME=${name} -DARCH=${arch} -DMIN=${min} -DOUTPUT=${slice}
        "-DOBJECTS=$<TARGET_OBJECTS:${obj}>" -DMAX_NAMES=${TILDEKIT_MACOS_MAX_NAMES} -DSTUB=${TILDEKIT_MACOS_STUB}
        -DLD=${TILDEKIT_LD64} -DNM=${TILDEKIT_NM} "-DEXTRA_EXPORTS=${B_EXPORTS}" "-DEXTRA_INPUTS=${B_INPUTS}"
        -P ${CMAKE_SOURCE_DIR}/cmake/macos-link.cmake
      DEPENDS ${obj} $<TARGET_OBJECTS:${obj}> ${TILDEKIT_MACOS_MAX_NAMES} ${TILDEKIT_MACOS_STUB}
        ${CMAKE_SOURCE_DIR}/cmake/macos-link.cmake ${B_INPUTS}
      COMMENT "Linking ${name} (${arch})" VERBATIM)
    list(APPEND slices ${slice})
  endforeach()

  # Info.plist from the SDK's template: the executable, a bundle identifier, this version
  set(MACOSX_BUNDLE_EXECUTABLE_NAME ${name})
  string(REPLACE "~" "-tilde" BUNDLE_IDENTIFIER "${name}")
  set(AUTHOR_DOMAIN ${TILDEKIT_BUNDLE_DOMAIN})
  if(B_IDENTIFIER)
    set(AUTHOR_DOMAIN ${B_IDENTIFIER})
  endif()
  set(PACKAGE_VERSION ${PROJECT_VERSION})
  set(COPYRIGHT_STRING "tildekit developers")
  set(EXCLUDE_FROM_COLLECTIVES no)
  set(plist ${CMAKE_BINARY_DIR}/slices/${B_GROUP}/${name}.Info.plist)
  configure_file(${TILDEKIT_SDK_SCRIPTS}/Info.plist.in ${plist})

  set(bundle ${B_DIR}/${name}.mxo/Contents)
  set(files ${bundle}/MacOS/${name} ${bundle}/Info.plist ${bundle}/PkgInfo)
  add_custom_command(OUTPUT ${files}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${bundle}/MacOS
    COMMAND ${TILDEKIT_LIPO} -create ${slices} -output ${bundle}/MacOS/${name}
    COMMAND ${CMAKE_COMMAND} -E copy ${plist} ${bundle}/Info.plist
    COMMAND ${CMAKE_COMMAND} -E copy ${TILDEKIT_SDK_SCRIPTS}/PkgInfo ${bundle}/PkgInfo
    DEPENDS ${slices} ${plist} ${TILDEKIT_SDK_SCRIPTS}/PkgInfo
    COMMENT "Bundle ${name}.mxo" VERBATIM)
  set(${B_OUTPUTS} ${${B_OUTPUTS}} ${files} PARENT_SCOPE)
endfunction()

# ---- the externals --------------------------------------------------------------------------
# The Linux build's flags for the externals (see tildekit_add_external) and the Mac's own:
# pow stays pow (as a builtin, clang turns pow(10, x) into Darwin's __exp10, which rounds
# differently from glibc's pow); gcc, which builds the Linux externals, knows neither warning.
set(TILDEKIT_MACOS_EXTERNAL_OPTIONS -std=c++20 -fvisibility=hidden -fvisibility-inlines-hidden -fno-exceptions -fno-rtti
  -fno-builtin-pow -Wno-cast-function-type -Wno-deprecated-declarations -Wno-string-concatenation -Wno-unused-function)
set(TILDEKIT_EXTERNALS "")
set(_tk_bundles "")
set(_tk_outputs "")
foreach(src ${TILDEKIT_SOURCES})
  get_filename_component(base ${src} NAME_WE)
  string(REGEX REPLACE "_tilde$" "~" name ${base})
  tildekit_macos_bundle(${name} DIR ${TILDEKIT_MODULE_DIR} GROUP externals OUTPUTS _tk_outputs
    SOURCES ${src} OPTIONS -I${CMAKE_SOURCE_DIR}/frame ${TILDEKIT_MACOS_EXTERNAL_OPTIONS})
  list(APPEND TILDEKIT_EXTERNALS ${name})
  list(APPEND _tk_bundles ${TILDEKIT_MODULE_DIR}/${name}.mxo)
endforeach()
add_custom_target(externals ALL DEPENDS ${_tk_outputs})
list(LENGTH TILDEKIT_EXTERNALS TILDEKIT_EXTERNAL_COUNT)
# all 31 in the package, beside the Windows files (Max takes the file of its platform)
install(DIRECTORY ${_tk_bundles} DESTINATION externals COMPONENT deliverable USE_SOURCE_PERMISSIONS)

# ---- static checks --------------------------------------------------------------------------
enable_testing()
set(TILDEKIT_CHECK_MACHO ${CMAKE_SOURCE_DIR}/scripts/check-macho --sdk ${TILDEKIT_SDK_SUPPORT} --stub ${TILDEKIT_MACOS_STUB})
add_test(NAME externals_are_macos_bundles
  COMMAND ${TILDEKIT_CHECK_MACHO} --count ${TILDEKIT_EXTERNAL_COUNT} ${TILDEKIT_MODULE_DIR})

# ... and the check names each fault of a bundle made wrong four ways: an extra export and an
# import of another library (linked so), a code page changed after signing and no arm64 slice
# (made so afterwards, tests/fixtures/badmacho-spoil.py)
set(_tk_fixture_outputs "")
tildekit_macos_bundle(badmacho~ DIR ${CMAKE_BINARY_DIR}/test-macho-built GROUP fixtures OUTPUTS _tk_fixture_outputs
  SOURCES ${CMAKE_SOURCE_DIR}/tests/fixtures/badmacho.cpp OPTIONS -std=c++20 -fvisibility=hidden -fno-exceptions -fno-rtti -w
  EXPORTS _badmacho_extra INPUTS ${CMAKE_SOURCE_DIR}/tests/fixtures/badmacho-CoreFoundation.tbd)
set(_tk_bad ${CMAKE_BINARY_DIR}/test-macho/badmacho~.mxo/Contents)
add_custom_command(OUTPUT ${_tk_bad}/MacOS/badmacho~ ${_tk_bad}/Info.plist ${_tk_bad}/PkgInfo
  COMMAND ${CMAKE_COMMAND} -E remove_directory ${CMAKE_BINARY_DIR}/test-macho
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${CMAKE_BINARY_DIR}/test-macho-built ${CMAKE_BINARY_DIR}/test-macho
  COMMAND ${TILDEKIT_LIPO} ${CMAKE_BINARY_DIR}/test-macho-built/badmacho~.mxo/Contents/MacOS/badmacho~ -extract x86_64
    -output ${_tk_bad}/MacOS/badmacho~
  COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/fixtures/badmacho-spoil.py ${_tk_bad}/MacOS/badmacho~
  DEPENDS ${_tk_fixture_outputs} ${CMAKE_SOURCE_DIR}/tests/fixtures/badmacho-spoil.py
  COMMENT "Bad fixture badmacho~.mxo" VERBATIM)
add_custom_target(test-macho ALL DEPENDS ${_tk_bad}/MacOS/badmacho~)
add_test(NAME macos_check_refuses_a_bad_bundle COMMAND ${TILDEKIT_CHECK_MACHO} ${CMAKE_BINARY_DIR}/test-macho)
set_tests_properties(macos_check_refuses_a_bad_bundle PROPERTIES PASS_REGULAR_EXPRESSION
  "no arm64 slice.*loads /System/Library/Frameworks/CoreFoundation.framework/Versions/A/CoreFoundation.*exports _badmacho_extra _ext_main.*page 0 of the code does not match its signature.*1 of 1 bundles fail")

# ---- the bundles' x86_64 code in the Linux x64 build's host ------------------------------------
set(TILDEKIT_REFERENCE_BUILD ${CMAKE_SOURCE_DIR}/build/x64 CACHE PATH "The Linux x64 build whose host runs the bundles' x86_64 code and whose output they must match")
# TEST NAME TOOL ARGS...: one of the reference build's tools (cmake/macos-host-test.cmake; skipped
# when there is no such build, as the Windows build's digest is)
function(tildekit_macos_host_test test tool)
  list(JOIN ARGN "|" args)  # a list would not survive add_test as one argument
  add_test(NAME ${test}
    COMMAND ${CMAKE_COMMAND} -DTOOLS=${TILDEKIT_REFERENCE_BUILD}/tools -DTOOL=${tool} "-DARGS=${args}"
      -P ${CMAKE_SOURCE_DIR}/cmake/macos-host-test.cmake)
  set_tests_properties(${test} PROPERTIES TIMEOUT 900 SKIP_REGULAR_EXPRESSION "skipped: no Linux x64 build")
endfunction()
# every digest case bit for bit: both builds use glibc's mathematics (no tolerance list here)
tildekit_macos_host_test(digest_matches_linux digest ${TILDEKIT_MODULE_DIR} ${CMAKE_BINARY_DIR}/digest
  ${CMAKE_SOURCE_DIR}/scripts/compare-digests ${TILDEKIT_EXTERNALS})
tildekit_macos_host_test(macos_validate_quick tilde-validate --path ${TILDEKIT_MODULE_DIR} --all --quick --seed 1)
# The validator also searches its own build's folder, where every name is a Linux file too: it
# means something only where the host takes the bundle from the --path folder first, which this
# test asks of `tilde info` (the tests above are not run where it fails).
tildekit_macos_host_test(macos_bundle_is_what_the_host_loads tilde --path ${TILDEKIT_MODULE_DIR} info recur~)
set_tests_properties(macos_bundle_is_what_the_host_loads PROPERTIES PASS_REGULAR_EXPRESSION "recur~\\.mxo"
  FIXTURES_SETUP macos_host_takes_bundles)
set_tests_properties(digest_matches_linux macos_validate_quick PROPERTIES FIXTURES_REQUIRED macos_host_takes_bundles)

# the SDK's examples, built the same way (sdkexamples/macos.cmake)
add_subdirectory(sdkexamples)
