# Where the host SDK is. TILDEKIT_MAX_SDK (make: MAX_SDK=...) names its top folder (max-sdk-base)
# or its c74support folder; empty means the copy beside the repository where there is one;
# "none" keeps the stand-in headers in frame/max. Sets TILDEKIT_SDK_SUPPORT to the c74support
# folder, or to "" for the stand-ins.
set(TILDEKIT_MAX_SDK "" CACHE STRING "The host SDK (its top folder or its c74support folder); empty: the copy beside the repository if any; none: the stand-in headers")
set(_tk_sdk "${TILDEKIT_MAX_SDK}")
set(_tk_given TRUE)
if(_tk_sdk STREQUAL "")
  set(_tk_given FALSE)
  get_filename_component(_tk_beside "${CMAKE_SOURCE_DIR}/../shared/max-sdk-base" ABSOLUTE)
  if(EXISTS "${_tk_beside}/c74support/max-includes/ext.h")
    set(_tk_sdk "${_tk_beside}")
  endif()
endif()
set(TILDEKIT_SDK_SUPPORT "")
if(_tk_sdk AND NOT _tk_sdk STREQUAL "none")
  get_filename_component(_tk_sdk "${_tk_sdk}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
  foreach(_tk_dir "${_tk_sdk}/c74support" "${_tk_sdk}")
    if(EXISTS "${_tk_dir}/max-includes/ext.h" AND EXISTS "${_tk_dir}/msp-includes/z_dsp.h")
      set(TILDEKIT_SDK_SUPPORT "${_tk_dir}")
      break()
    endif()
  endforeach()
  if(NOT TILDEKIT_SDK_SUPPORT)
    message(FATAL_ERROR "MAX_SDK / TILDEKIT_MAX_SDK = '${TILDEKIT_MAX_SDK}': no host SDK at ${_tk_sdk}. "
      "Looked for ${_tk_sdk}/c74support/max-includes/ext.h and msp-includes/z_dsp.h (and for the same "
      "two folders directly in ${_tk_sdk}). Name the SDK's top folder (max-sdk-base) or its c74support "
      "folder, or 'none' to build against the stand-in headers in frame/max.")
  endif()
  message(STATUS "Externals compile against the host SDK's headers in ${TILDEKIT_SDK_SUPPORT}")
elseif(NOT WIN32)
  message(STATUS "Externals compile against the stand-in headers in frame/max (no host SDK given or beside the repository)")
endif()

# What an external compiles with: the SDK's headers and, for Windows, the defines its own
# CMake scripts use; or the stand-ins.
add_library(tildekit_api INTERFACE)
if(TILDEKIT_SDK_SUPPORT)
  target_include_directories(tildekit_api SYSTEM INTERFACE ${TILDEKIT_SDK_SUPPORT}/max-includes ${TILDEKIT_SDK_SUPPORT}/msp-includes)
  if(WIN32)
    target_compile_definitions(tildekit_api INTERFACE WIN_VERSION MAXAPI_USE_MSCRT _USE_MATH_DEFINES)
  elseif(TILDEKIT_MACOS)
    target_compile_definitions(tildekit_api INTERFACE MAC_VERSION)
  endif()
else()
  target_include_directories(tildekit_api INTERFACE ${CMAKE_SOURCE_DIR}/frame/max)
endif()

if(TILDEKIT_MACOS AND NOT TILDEKIT_SDK_SUPPORT)
  message(FATAL_ERROR "The macOS build needs the host SDK's headers (there are no stand-ins for macOS): give "
    "MAX_SDK=<max-sdk-base> (CMake: -DTILDEKIT_MAX_SDK=...) or put the SDK at ${CMAKE_SOURCE_DIR}/../shared/max-sdk-base")
endif()
if(WIN32)
  if(NOT TILDEKIT_SDK_SUPPORT)
    message(FATAL_ERROR "Windows builds need the host SDK's headers (the stand-in records differ from the "
      "host's on Windows): give MAX_SDK=<max-sdk-base> (CMake: -DTILDEKIT_MAX_SDK=...) or put the SDK at "
      "${CMAKE_SOURCE_DIR}/../shared/max-sdk-base")
  endif()
  # Import libraries for MaxAPI.dll and MaxAudio.dll: the SDK's own for x64; for x86, made
  # from the lists in host/win32 (the SDK has none).
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(TILDEKIT_IMPORT_MaxAPI ${TILDEKIT_SDK_SUPPORT}/max-includes/x64/MaxAPI.lib)
    set(TILDEKIT_IMPORT_MaxAudio ${TILDEKIT_SDK_SUPPORT}/msp-includes/x64/MaxAudio.lib)
    foreach(lib ${TILDEKIT_IMPORT_MaxAPI} ${TILDEKIT_IMPORT_MaxAudio})
      if(NOT EXISTS ${lib})
        message(FATAL_ERROR "The host SDK at ${TILDEKIT_SDK_SUPPORT} has no ${lib}: the 64-bit Windows externals link against it")
      endif()
    endforeach()
  else()
    foreach(lib MaxAPI MaxAudio)
      set(TILDEKIT_IMPORT_${lib} ${CMAKE_BINARY_DIR}/import/lib${lib}.a)
      add_custom_command(OUTPUT ${TILDEKIT_IMPORT_${lib}}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/import
        COMMAND ${CMAKE_DLLTOOL} -m i386 -d ${CMAKE_SOURCE_DIR}/host/win32/${lib}.def -l ${TILDEKIT_IMPORT_${lib}}
        DEPENDS ${CMAKE_SOURCE_DIR}/host/win32/${lib}.def
        COMMENT "Import library for ${lib}.dll")
    endforeach()
    add_custom_target(tildekit_import_libs DEPENDS ${TILDEKIT_IMPORT_MaxAPI} ${TILDEKIT_IMPORT_MaxAudio})
  endif()
endif()
