# One test of the macOS bundles through the Linux x64 build's host (cmake -P, from
# cmake/macos-bundles.cmake): -DTOOLS=that build's tools folder -DTOOL=NAME -DARGS=a|b|c.
#   TOOL digest: ARGS = BUNDLES OUT COMPARE-DIGESTS NAMES...: tilde-digest on the Linux build's
#     own externals and on the bundles in BUNDLES (the same names), then compare-digests, which
#     wants every case bit for bit.
#   any other TOOL: runs TOOLS/TOOL ARGS and passes on its exit status.
# Prints "skipped: no Linux x64 build ..." (the test is then skipped) when TOOLS has no such tool.
cmake_minimum_required(VERSION 3.22)
string(REPLACE "|" ";" ARGS "${ARGS}")
set(exe ${TOOLS}/${TOOL})
if(TOOL STREQUAL "digest")
  set(exe ${TOOLS}/tilde-digest)
endif()
if(NOT EXISTS ${exe})
  message("skipped: no Linux x64 build with ${exe} (make test64 builds it)")
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
  execute_process(COMMAND ${exe} --dump ${out}/linux OUTPUT_FILE ${out}/linux/digest.txt RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "the Linux digest failed (${rc})")
  endif()
  # the bundles' folder alone (tilde-digest then searches nothing else), every name given
  execute_process(COMMAND ${exe} --path ${bundles} --dump ${out}/macos ${ARGS} OUTPUT_FILE ${out}/macos/digest.txt RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    file(READ ${out}/macos/digest.txt text)
    message(FATAL_ERROR "the digest of the bundles failed (${rc}):\n${text}")
  endif()
  run(${compare} ${out}/linux ${out}/macos)
else()
  run(${exe} ${ARGS})
endif()
