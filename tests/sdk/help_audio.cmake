# Renders the help patchers of the SDK examples whose audio path the host has (every object on
# the way from the example to the dac~) and requires finite, non-silent audio on every dac~
# channel. Run as: cmake -DTILDE=... -DHELP_DIR=... -DWORK=... -P help_audio.cmake
# (TILDEKIT_PATH in the environment names the examples' folder).
#
# The sound files these help patchers load come with Max, not with the SDK: stand-ins of the
# same names (two seconds of noise) are made in WORK, the working directory of the runs, where
# buffer~ looks after the patcher's own folder.
foreach(v TILDE HELP_DIR WORK)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "help_audio.cmake: -D${v}=... is missing")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${TILDE} render plussz~ --signal 0=noise:0.5 --sr 44100 --seconds 2 --out ${WORK}/drumloop.aif -q
  RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "could not make the stand-in sound file: ${err}")
endif()
file(COPY_FILE ${WORK}/drumloop.aif ${WORK}/drumLoop.aif)

# NAME|MESSAGE|PEAK: the message is what a user does first in the patcher (index~: the range
# slider sends a start to count~ through its number box); every dac~ channel must peak at or
# above PEAK dBFS (the stand-in peaks at -6 dBFS; index~'s gain fader is saved at -50 dB, and
# a count~ that did not count would read one sample, far lower).
set(cases "simpwave~|-|-12" "index~|obj-2/obj-6 0|-60")
set(failed "")
foreach(c IN LISTS cases)
  string(REPLACE "|" ";" parts "${c}")
  list(GET parts 0 name)
  list(GET parts 1 m)
  list(GET parts 2 floor)
  set(msg "")
  if(NOT m STREQUAL "-")
    set(msg -m "${m}")
  endif()
  execute_process(COMMAND ${TILDE} run ${HELP_DIR}/${name}.maxhelp --skip-unknown --sr 44100 --seconds 1 ${msg}
    WORKING_DIRECTORY ${WORK} RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_QUIET)
  string(REGEX MATCHALL "dac channel [0-9]+: [^\n]*" levels "${err}")
  string(REGEX MATCHALL "peak [-0-9.inf]+ dBFS" peaks "${err}")
  set(low "")
  foreach(pk IN LISTS peaks)
    string(REGEX REPLACE "peak ([-0-9.inf]+) dBFS" "\\1" v "${pk}")
    if(v STREQUAL "-inf" OR v LESS floor)
      set(low "${v}")
    endif()
  endforeach()
  if(NOT rc EQUAL 0)
    list(APPEND failed "${name}: exit ${rc}: ${err}")
  elseif(NOT levels)
    list(APPEND failed "${name}: no dac~ channel reported: ${err}")
  elseif(NOT low STREQUAL "")
    list(APPEND failed "${name}: a dac~ channel peaks at ${low} dBFS, below ${floor} (silent or wrong): ${levels}")
  else()
    message(STATUS "${name}: ${levels}")
  endif()
endforeach()
if(failed)
  string(REPLACE ";" "\n" failed "${failed}")
  message(FATAL_ERROR "${failed}")
endif()
