# One test of the macOS bundles through a Linux build's host (cmake -P, from
# cmake/macos-bundles.cmake and cmake/linux-arm64-tests.cmake): -DTOOLS=that build's tools folder
# -DTOOL=NAME -DARGS=a|b|c, and for a build of another architecture -DEMULATOR=qemu|-L|sysroot
# (its tools run under it), -DREFERENCE=the Linux x64 build's tools folder (default TOOLS) and
# -DBUNDLES=the bundles' folder (checked to exist).
#   TOOL digest: ARGS = BUNDLES OUT COMPARE-DIGESTS NAMES...: tilde-digest of REFERENCE on the
#     Linux x64 build's own externals and that of TOOLS on the bundles in BUNDLES (the same
#     names), then compare-digests, which wants every case bit for bit.
#   any other TOOL: runs TOOLS/TOOL ARGS and passes on its exit status.
# Prints "skipped: no Linux x64 build ..." (the test is then skipped) when a tool is missing, and
# "skipped: no macOS build ..." when the bundles are.
cmake_minimum_required(VERSION 3.22)
string(REPLACE "|" ";" ARGS "${ARGS}")
string(REPLACE "|" ";" EMULATOR "${EMULATOR}")
if(NOT REFERENCE)
  set(REFERENCE ${TOOLS})
endif()
set(exe ${TOOLS}/${TOOL})
if(TOOL STREQUAL "digest")
  set(exe ${TOOLS}/tilde-digest)
  set(ref ${REFERENCE}/tilde-digest)
  if(NOT EXISTS ${ref})
    message("skipped: no Linux x64 build with ${ref} (make test64 builds it)")
    return()
  endif()
endif()
if(NOT EXISTS ${exe})
  message("skipped: no Linux x64 build with ${exe} (make test64 builds it)")
  return()
endif()
if(BUNDLES AND NOT IS_DIRECTORY ${BUNDLES})
  message("skipped: no macOS build with ${BUNDLES} (make buildmac builds it)")
  return()
endif()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    list(JOIN ARGN " " line)
    message(FATAL_ERROR "failed (${rc}): ${line}")
  endif()
endfunction()

if(TOOL STREQUAL "digest")
  list(POP_FRONT ARGS bundles out compare)
  file(REMOVE_RECURSE ${out})
  file(MAKE_DIRECTORY ${out}/linux ${out}/macos)
  execute_process(COMMAND ${ref} --dump ${out}/linux OUTPUT_FILE ${out}/linux/digest.txt RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "the Linux digest failed (${rc})")
  endif()
  # the bundles' folder alone (tilde-digest then searches nothing else), every name given
  execute_process(COMMAND ${EMULATOR} ${exe} --path ${bundles} --dump ${out}/macos ${ARGS} OUTPUT_FILE ${out}/macos/digest.txt
    RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    file(READ ${out}/macos/digest.txt text)
    message(FATAL_ERROR "the digest of the bundles failed (${rc}):\n${text}")
  endif()
  run(${compare} ${out}/linux ${out}/macos)
else()
  run(${EMULATOR} ${exe} ${ARGS})
endif()
