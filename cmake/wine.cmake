# The command-line suite and the fault suite against a cross-built Windows
# program, run under Wine, when one is named (see the "wine" preset). Included
# from tests/CMakeLists.txt, where the suites' targets are.
set(ZIBEL_WINDOWS_PROGRAM "" CACHE FILEPATH "A zibel.exe to run the command-line suite against")
if(NOT ZIBEL_WINDOWS_PROGRAM)
  return()
endif()

# The Wine that runs it: this machine's, or the one in a Debian root that
# cmake/wine-x86-root makes and mounts (the "wine-x86" preset), reached through
# a script for each of wine, wineserver and wineboot. Each script runs its
# command in the root, in the same directory and with the same environment, and
# with the root's own Wine prefix; it ends in exec, so that a test's signals
# reach Wine itself.
set(ZIBEL_WINE_ROOT "" CACHE PATH "A Debian root, made by cmake/wine-x86-root, whose Wine runs the program")
if(ZIBEL_WINE_ROOT)
  string(REPLACE "'" "'\\''" ZIBEL_QUOTED_ROOT "${ZIBEL_WINE_ROOT}")
  set(ZIBEL_QUOTED_ROOT "'${ZIBEL_QUOTED_ROOT}'")
  foreach(command IN ITEMS wine wineserver wineboot)
    string(TOUPPER ${command} name)
    set(ZIBEL_${name} ${CMAKE_CURRENT_BINARY_DIR}/wine-root/${command})
    file(CONFIGURE OUTPUT ${ZIBEL_${name}} @ONLY CONTENT [[#!/bin/sh
# Runs @command@ in the Debian root that cmake/wine-x86-root mounts.
[ -d @ZIBEL_QUOTED_ROOT@/proc/self ] || {
  echo @ZIBEL_QUOTED_ROOT@" is not mounted: run the tests through cmake/wine-x86-root" >&2
  exit 125
}
exec chroot @ZIBEL_QUOTED_ROOT@ env -C "$(pwd -P)" WINEPREFIX=/wine @command@ "$@"
]])
    file(CHMOD ${ZIBEL_${name}} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                            GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endforeach()
else()
  find_program(ZIBEL_WINE wine REQUIRED)
  find_program(ZIBEL_WINESERVER wineserver REQUIRED)
  find_program(ZIBEL_WINEBOOT wineboot REQUIRED)
endif()

# One Wine server for all the runs, started before the suites and stopped after them.
set(ZIBEL_WINE_SERVER_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/wine-server)
add_test(NAME wine_start
         COMMAND ${ZIBEL_WINE_SERVER_SCRIPT} start ${ZIBEL_WINESERVER} ${ZIBEL_WINEBOOT})
add_test(NAME wine_stop COMMAND ${ZIBEL_WINE_SERVER_SCRIPT} stop ${ZIBEL_WINESERVER})
set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine ENVIRONMENT "WINEDEBUG=-all;LC_ALL=C.UTF-8")
set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine)

# Wine turns the UTF-8 arguments of the tests into UTF-16 by the Unix locale,
# and gives C.UTF-8 (always there on Debian) the ANSI code page 1252 of
# en-US: the Windows program is tested under code page 1252.
add_test(NAME command_line_suite_under_wine COMMAND command_line_test)
set_tests_properties(command_line_suite_under_wine PROPERTIES
  FIXTURES_REQUIRED wine TIMEOUT 900
  ENVIRONMENT "ZIBEL_BINARY=${ZIBEL_WINDOWS_PROGRAM};ZIBEL_LAUNCHER=${ZIBEL_WINE};WINEDEBUG=-all;LC_ALL=C.UTF-8")

# And every system call of the Windows program broken on purpose, through its
# own zibel_faulty.exe beside it.
get_filename_component(ZIBEL_WINDOWS_FOLDER ${ZIBEL_WINDOWS_PROGRAM} DIRECTORY)
add_test(NAME fault_suite_under_wine COMMAND fault_test)
set_tests_properties(fault_suite_under_wine PROPERTIES
  FIXTURES_REQUIRED wine TIMEOUT 900
  ENVIRONMENT "ZIBEL_FAULTY_BINARY=${ZIBEL_WINDOWS_FOLDER}/zibel_faulty.exe;ZIBEL_LAUNCHER=${ZIBEL_WINE};WINEDEBUG=-all;LC_ALL=C.UTF-8")

# The temporary file's security, read back by a Windows program.
add_test(NAME private_temporary_file_under_wine
         COMMAND ${ZIBEL_WINE} ${ZIBEL_WINDOWS_FOLDER}/private_file_check.exe
         WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
set_tests_properties(private_temporary_file_under_wine PROPERTIES
  FIXTURES_REQUIRED wine ENVIRONMENT "WINEDEBUG=-all;LC_ALL=C.UTF-8")

# The kept copy's name, shown whole in a console.
add_test(NAME console_name_under_wine
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/console_name_check ${ZIBEL_WINE}
                 ${ZIBEL_WINDOWS_FOLDER}/zibel_faulty.exe)
set_tests_properties(console_name_under_wine PROPERTIES
  FIXTURES_REQUIRED wine ENVIRONMENT "WINEDEBUG=-all;LC_ALL=C.UTF-8")

# Another program holding the target while the Windows program edits it (a
# view mapped, a range locked), and the Windows backends' decisions that Wine
# cannot show: Windows programs that say what they found.
foreach(check held_file_check win32_decisions_check)
  add_test(NAME ${check}_under_wine COMMAND ${ZIBEL_WINE} ${ZIBEL_WINDOWS_FOLDER}/${check}.exe
           WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  set_tests_properties(${check}_under_wine PROPERTIES
    FIXTURES_REQUIRED wine ENVIRONMENT "WINEDEBUG=-all;LC_ALL=C.UTF-8")
endforeach()

# A file over 4 GiB edited twice, once past 4 GiB and once with a shift across it.
add_test(NAME large_file_under_wine
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/large_file_check ${ZIBEL_WINE} ${ZIBEL_WINDOWS_PROGRAM})
set_tests_properties(large_file_under_wine PROPERTIES
  FIXTURES_REQUIRED wine TIMEOUT 600 ENVIRONMENT "WINEDEBUG=-all;LC_ALL=C.UTF-8")
