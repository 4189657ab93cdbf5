# The SDK's examples as universal .mxo bundles in sdk-examples/ (the macOS build, included by
# CMakeLists.txt after its skip list): compiled unchanged with what a Max developer's Mac build
# of them uses (the SDK's script/max-pretarget.cmake and max-posttarget.cmake: its headers,
# MAC_VERSION, the deployment target 10.11 for x86_64, the release build's -O3, default
# visibility) and linked as the externals are, so that only the entry routine is exported.
set(TILDEKIT_SDK_EXAMPLES_OUT ${CMAKE_BINARY_DIR}/sdk-examples)
set(TILDEKIT_SDK_EXAMPLE_NAMES "")
set(_tk_outputs "")
foreach(group audio basics)
  file(GLOB dirs LIST_DIRECTORIES true "${TILDEKIT_SDK_EXAMPLES_DIR}/source/${group}/*")
  list(SORT dirs)
  foreach(dir ${dirs})
    get_filename_component(name ${dir} NAME)
    file(GLOB srcs "${dir}/*.c" "${dir}/*.cpp")
    if(NOT IS_DIRECTORY ${dir} OR name IN_LIST _tk_skip OR NOT srcs)
      continue()
    endif()
    # the examples as their authors wrote them: their warnings are not ours to mend
    tildekit_macos_bundle(${name} DIR ${TILDEKIT_SDK_EXAMPLES_OUT} GROUP sdkexamples OUTPUTS _tk_outputs
      X86_64_MIN 10.11 IDENTIFIER ${TILDEKIT_BUNDLE_DOMAIN}.sdk-examples SOURCES ${srcs}
      OPTIONS -O3 $<$<COMPILE_LANGUAGE:CXX>:-std=gnu++17> -w)
    list(APPEND TILDEKIT_SDK_EXAMPLE_NAMES ${name})
  endforeach()
endforeach()
add_custom_target(sdkexamples ALL DEPENDS ${_tk_outputs})
string(REPLACE ";" " " _tk_names "${TILDEKIT_SDK_EXAMPLE_NAMES}")
message(STATUS "SDK examples: building ${_tk_names} from ${TILDEKIT_SDK_EXAMPLES_DIR} as macOS bundles")
# the validator's profiles beside the bundles, as in the Linux build
file(GLOB _tk_profiles "${CMAKE_CURRENT_SOURCE_DIR}/profiles/*.validate.json")
foreach(profile ${_tk_profiles})
  get_filename_component(pname ${profile} NAME)
  configure_file(${profile} ${TILDEKIT_SDK_EXAMPLES_OUT}/${pname} COPYONLY)
endforeach()

list(LENGTH TILDEKIT_SDK_EXAMPLE_NAMES _tk_count)
add_test(NAME sdkexamples_are_macos_bundles
  COMMAND ${TILDEKIT_CHECK_MACHO} --count ${_tk_count} --x86_64-min 10.11 ${TILDEKIT_SDK_EXAMPLES_OUT})
# the examples the Linux build validates (tests/sdk/CMakeLists.txt), their Mac code this time
tildekit_macos_host_test(sdkexamples_validate_quick tilde-validate --path ${TILDEKIT_SDK_EXAMPLES_OUT} --quick --seed 1
  plussz~ simplemsp~ times~ split~ index~ simpwave~ plussz plussz2 simplemax attrtester delay2 dummy urner lores~ dspstress~)
set_tests_properties(sdkexamples_validate_quick PROPERTIES FIXTURES_REQUIRED macos_host_takes_bundles)
