# Mach-O fixtures of the host's loader of macOS bundles (tests/macho_test.cpp), built with clang-14
# and ld64.lld-14 where they are found: the hand-declared probe as bundles of the host's
# architecture (HOST_ARCH: x86_64 or arm64) and their refused variants, a bundle of the other
# architecture only, and the bundle that calls every variadic function (both slices). Sets the
# compile definitions of the target macho_test, which must exist.
#   include(cmake/macho-fixtures.cmake) with TILDEKIT_MACHO_HOST_ARCH set (default x86_64)
if(NOT TILDEKIT_MACHO_HOST_ARCH)
  set(TILDEKIT_MACHO_HOST_ARCH x86_64)
endif()
find_program(TILDEKIT_MACHO_CC NAMES clang-14)
find_program(TILDEKIT_MACHO_LD NAMES ld64.lld-14)
find_program(TILDEKIT_MACHO_LIPO NAMES llvm-lipo-14 llvm-lipo)
set(_tk_fx_dir ${CMAKE_BINARY_DIR}/test-externals/macho)
if(NOT (TILDEKIT_MACHO_CC AND TILDEKIT_MACHO_LD AND TILDEKIT_MACHO_LIPO))
  target_compile_definitions(macho_test PRIVATE "TILDEKIT_MACHO_FIXTURES=\"\""
    "TILDEKIT_MACHO_MISSING=\"clang-14, ld64.lld-14 and llvm-lipo (packages clang-14, lld-14, llvm-14)\"")
  return()
endif()
set(_tk_fx_src ${CMAKE_SOURCE_DIR}/tests/fixtures)
set(_tk_fx_max)
foreach(sym class_new class_addmethod class_register class_dspinit gensym object_alloc outlet_new outlet_float
    z_dsp_setup z_dsp_free dsp_add64 object_post atom_arg_getdouble jbox_redraw
    dsp_add object_method object_new object_free object_error object_warn post error cpost snprintf_zero)
  list(APPEND _tk_fx_max -U _${sym})
endforeach()
set(_tk_fx_outputs)
# _tk_macho_fixture(FILE CLASS ARCH KIND SOURCE DEFINES...): KIND bundle, dylib or execute; a
# "tbd:FILE" among the defines links that text stub instead of the probe's two
function(_tk_macho_fixture file class arch kind src)
  if(arch STREQUAL "arm64")
    set(target arm64-apple-macos11)
    set(min 11.0)
  else()
    set(target x86_64-apple-macos10.13)
    set(min 10.13)
  endif()
  set(defs -DPROBE_NAME=\"${class}\")
  set(tbds ${_tk_fx_src}/macho_libSystem.tbd ${_tk_fx_src}/macho_other.tbd)
  foreach(d ${ARGN})
    if(d MATCHES "^tbd:(.*)")
      set(tbds ${_tk_fx_src}/${CMAKE_MATCH_1})
    elseif(d MATCHES "^tbd\\+:(.*)")
      list(APPEND tbds ${_tk_fx_src}/${CMAKE_MATCH_1})
    else()
      list(APPEND defs -D${d})
    endif()
  endforeach()
  set(entry _ext_main)
  if("PROBE_MAIN" IN_LIST ARGN)
    set(entry _main)
  endif()
  set(out ${_tk_fx_dir}/${file})
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_tk_fx_dir}
    COMMAND ${TILDEKIT_MACHO_CC} -x c --target=${target} -nostdlibinc -O2 -ffp-contract=off -fstack-protector-all
      ${defs} -c ${_tk_fx_src}/${src} -o ${out}.o
    COMMAND ${TILDEKIT_MACHO_LD} -arch ${arch} -platform_version macos ${min} ${min} -${kind} -adhoc_codesign
      -dead_strip -dead_strip_dylibs -exported_symbol ${entry} ${_tk_fx_max} ${tbds} ${out}.o -o ${out}
    DEPENDS ${_tk_fx_src}/${src} ${tbds} VERBATIM)
  set(_tk_fx_outputs ${_tk_fx_outputs} ${out} PARENT_SCOPE)
endfunction()
set(h ${TILDEKIT_MACHO_HOST_ARCH})
if(h STREQUAL "arm64")
  set(other x86_64)
  set(other_name machox86~)
else()
  set(other arm64)
  set(other_name machoarm~)
endif()
set(p macho_probe.c)
_tk_macho_fixture(machoprobe~.x86_64 machoprobe~ x86_64 bundle ${p} PROBE_CTOR)
_tk_macho_fixture(machoprobe~.arm64 machoprobe~ arm64 bundle ${p} PROBE_CTOR)
_tk_macho_fixture(machothin~ machothin~ ${h} bundle ${p} PROBE_MAIN)
_tk_macho_fixture(machoalias~ machoalias~ ${h} bundle ${p})
_tk_macho_fixture(machosym~ machosym~ ${h} bundle ${p})
_tk_macho_fixture(${other_name}.${other} ${other_name} ${other} bundle ${p})
_tk_macho_fixture(machodylib~ machodylib~ ${h} dylib ${p})
_tk_macho_fixture(machoexec~ machoexec~ ${h} execute ${p} PROBE_MAIN)
_tk_macho_fixture(machotls~ machotls~ ${h} bundle ${p} PROBE_TLS)
_tk_macho_fixture(machootherlib~ machootherlib~ ${h} bundle ${p} PROBE_OTHERLIB)
_tk_macho_fixture(machonolibc~ machonolibc~ ${h} bundle ${p} PROBE_NOLIBC)
_tk_macho_fixture(machonomax~ machonomax~ ${h} bundle ${p} PROBE_NOMAX)
# the MSP functions bound two-level to MaxAudioAPI.framework, as the SDK's own Mac link does
_tk_macho_fixture(machofw~ machofw~ ${h} bundle ${p} tbd+:macho_maxaudio.tbd)
# every variadic function of the host and the C library, each slice
_tk_macho_fixture(machovar~.x86_64 machovar~ x86_64 bundle macho_variadic.c tbd:macho_variadic.tbd)
_tk_macho_fixture(machovar~.arm64 machovar~ arm64 bundle macho_variadic.c tbd:macho_variadic.tbd)
# ... and one that also calls a variadic C function the host has no entry for (syslog)
_tk_macho_fixture(machovarlog~ machovarlog~ ${h} bundle macho_variadic.c tbd:macho_variadic.tbd VAR_SYSLOG)
# the universal files, and one that holds only the other architecture's code
add_custom_command(OUTPUT ${_tk_fx_dir}/machoprobe~.universal ${_tk_fx_dir}/${other_name}.fat ${_tk_fx_dir}/machovar~.universal
  COMMAND ${TILDEKIT_MACHO_LIPO} -create ${_tk_fx_dir}/machoprobe~.x86_64 ${_tk_fx_dir}/machoprobe~.arm64
    -output ${_tk_fx_dir}/machoprobe~.universal
  COMMAND ${TILDEKIT_MACHO_LIPO} -create ${_tk_fx_dir}/${other_name}.${other} -output ${_tk_fx_dir}/${other_name}.fat
  COMMAND ${TILDEKIT_MACHO_LIPO} -create ${_tk_fx_dir}/machovar~.x86_64 ${_tk_fx_dir}/machovar~.arm64
    -output ${_tk_fx_dir}/machovar~.universal
  DEPENDS ${_tk_fx_dir}/machoprobe~.x86_64 ${_tk_fx_dir}/machoprobe~.arm64 ${_tk_fx_dir}/${other_name}.${other}
    ${_tk_fx_dir}/machovar~.x86_64 ${_tk_fx_dir}/machovar~.arm64 VERBATIM)
add_custom_target(macho_fixtures DEPENDS ${_tk_fx_outputs} ${_tk_fx_dir}/machoprobe~.universal ${_tk_fx_dir}/${other_name}.fat
  ${_tk_fx_dir}/machovar~.universal)
add_dependencies(macho_test macho_fixtures)
target_compile_definitions(macho_test PRIVATE TILDEKIT_MACHO_FIXTURES="${_tk_fx_dir}")
