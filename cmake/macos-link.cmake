# Links one architecture's slice of a macOS bundle (cmake -P, run by cmake/macos-bundles.cmake):
#   -DNAME= -DARCH= -DMIN= -DOUTPUT= -DOBJECTS=a.o;b.o -DMAX_NAMES=FILE -DSTUB=libSystem.tbd
#   -DLD= -DNM= [-DEXTRA_EXPORTS=_a;_b] [-DEXTRA_INPUTS=other.tbd]
# The entry routine (_ext_main or _main, whichever the objects define) is the only export. The
# host's functions are left to bind flat at load time, one -U for each Max/MSP name (MAX_NAMES)
# the objects import, as the host SDK's own macOS link does; everything else must come from the
# libSystem stub, so that an import nobody provides fails here and not in Max.
cmake_minimum_required(VERSION 3.22)
foreach(v NAME ARCH MIN OUTPUT OBJECTS MAX_NAMES STUB LD NM)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "macos-link.cmake: ${v} not given")
  endif()
endforeach()

execute_process(COMMAND ${NM} -g --defined-only --just-symbol-name ${OBJECTS}
  OUTPUT_VARIABLE defined RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NAME} (${ARCH}): ${NM} failed: ${err}")
endif()
string(REGEX MATCHALL "(^|\n)_(ext_main|main)(\n|$)" entries "${defined}")
string(STRIP "${entries}" entries)
string(REGEX REPLACE "[ \n]+" ";" entries "${entries}")
list(LENGTH entries n)
if(NOT n EQUAL 1)
  message(FATAL_ERROR "${NAME} (${ARCH}): defines ${n} entry routines (${entries}); an external defines exactly one, ext_main or main")
endif()

execute_process(COMMAND ${NM} -u --just-symbol-name ${OBJECTS} OUTPUT_VARIABLE undefined RESULT_VARIABLE rc)
string(REGEX REPLACE "[^\n]*:\n" "" undefined "${undefined}")  # the "file.o:" headers of several objects
string(REGEX REPLACE "\n+" ";" undefined "${undefined}")
list(REMOVE_DUPLICATES undefined)
list(REMOVE_ITEM undefined "")
file(STRINGS ${MAX_NAMES} max_names)
set(flat "")
foreach(sym ${undefined})
  if(sym IN_LIST max_names)
    list(APPEND flat -U ${sym})
  endif()
endforeach()

get_filename_component(dir ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${dir})
set(exports ${OUTPUT}.exports)
list(JOIN entries "\n" text)
foreach(e ${EXTRA_EXPORTS})
  string(APPEND text "\n${e}")
endforeach()
file(WRITE ${exports} "${text}\n")
execute_process(
  COMMAND ${LD} -arch ${ARCH} -platform_version macos ${MIN} ${MIN} -bundle -dead_strip -adhoc_codesign
    -exported_symbols_list ${exports} ${flat} ${OBJECTS} ${STUB} ${EXTRA_INPUTS} -o ${OUTPUT}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  file(REMOVE ${OUTPUT})
  set(hint "")
  if(out MATCHES "undefined symbol")
    set(hint "\nA name above is neither a Max/MSP function (the host SDK's c74_linker_flags.txt and the MSP names) nor in the libSystem stub ${STUB}: add it to the stub for ${ARCH} if libSystem exports it on macOS ${MIN}, with its declaration in frame/darwin.")
  endif()
  message(FATAL_ERROR "${NAME} (${ARCH}): ld64.lld failed:\n${out}${hint}")
endif()
