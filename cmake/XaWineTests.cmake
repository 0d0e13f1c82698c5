# Windows test programs run under Wine through CTest's cross-compiling emulator
# (tests/harness/wine-run), each run in a prefix of its own.
#
#   xa_add_wine_test(<target> SOURCES <files...> [KINDS <kind>...] [LIBS <libs...>] [ARGS <args...>])
#
# builds <target>.exe with GoogleTest and registers one CTest test per prefix kind, named
# <target>.<kind> (default kind win32-win7). A kind is <arch>-<version>: win32-win7, win32-nt40,
# win32-win98, win32-winxp, win64-win7 ... (see tests/harness/wine-template).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/tests/harness/wine-run)

function(xa_add_wine_test target)
  cmake_parse_arguments(ARG "" "" "SOURCES;KINDS;LIBS;ARGS" ${ARGN})
  if(NOT ARG_KINDS)
    set(ARG_KINDS win32-win7)
  endif()
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE xacore xatestsupport GTest::gtest ${ARG_LIBS})
  foreach(kind IN LISTS ARG_KINDS)
    add_test(NAME ${target}.${kind} COMMAND ${target} ${ARG_ARGS})
    set_tests_properties(${target}.${kind} PROPERTIES
      ENVIRONMENT "XA_WINE_KIND=${kind}"
      LABELS "wine;${kind}"
      TIMEOUT 900)
  endforeach()
endfunction()
