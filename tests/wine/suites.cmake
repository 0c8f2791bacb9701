# The Windows test programs of the win32 tree (BK_WIN32_DIR), run under Wine
# by CTest in the host tree, each suite twice: as wine_NAME under the
# machine's Wine (Debian 12's 8.0, whose programs run elevated) and as
# wine10_NAME under Debian trixie's 10.0 (whose programs don't), from the
# root BK_WINE10_ROOT that ./bk test makes. Each suite gets a fresh prefix of
# its own under <host build>/wine (or wine10), cloned from a template that
# the test wine_template (wine10_template) makes once (run_wintest.sh).
# Without the Windows tree, a Wine or the root, a suite is skipped with one
# line (under_wine.sh).
set(BK_WINE10_ROOT /var/lib/bk/wine10 CACHE PATH "Debian trixie's root with Wine 10 (./bk test makes it)")
set(BK_WINE_RUN ${CMAKE_CURRENT_LIST_DIR}/run_wintest.sh)
set(BK_WINES wine wine10)

# Adds test WINE_NAME for each Wine running COMMAND [ARGS...] for at most
# SECONDS; @WINE@ in them becomes wine or wine10, so that the two runs keep
# to folders of their own.
function(bk_under_wines name seconds)
  foreach(wine ${BK_WINES})
    string(REPLACE @WINE@ ${wine} args "${ARGN}")
    add_test(NAME ${wine}_${name}
      COMMAND ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/under_wine.sh ${wine} ${BK_WIN32_DIR} ${CMAKE_BINARY_DIR} ${args})
    set_tests_properties(${wine}_${name} PROPERTIES TIMEOUT ${seconds} SKIP_RETURN_CODE 77
      LABELS "wine;${wine}" ENVIRONMENT "BK_WINE10_ROOT=${BK_WINE10_ROOT}")
  endforeach()
endfunction()

bk_under_wines(template 600 ${BK_WINE_RUN} --template ${CMAKE_BINARY_DIR}/@WINE@)
foreach(wine ${BK_WINES})
  set_tests_properties(${wine}_template PROPERTIES FIXTURES_SETUP ${wine}_template)
endforeach()

# bk_wine_test(NAME SECONDS COMMAND [ARGS...]): the suite NAME under each
# Wine, its prefix cloned from that Wine's template.
function(bk_wine_test name seconds)
  bk_under_wines(${name} ${seconds} ${ARGN})
  foreach(wine ${BK_WINES})
    set_tests_properties(${wine}_${name} PROPERTIES FIXTURES_REQUIRED ${wine}_template)
  endforeach()
endfunction()

# bk_wine_suite(NAME VERSION PROGRAM [ARGS...]): runs PROGRAM (a file name in
# the win32 tree) as the suite NAME in a prefix that reports Windows VERSION
# (winxp, vista or win10).
function(bk_wine_suite name version program)
  bk_wine_test(${name} 300
    ${BK_WINE_RUN} ${CMAKE_BINARY_DIR}/@WINE@ ${name} ${version} ${BK_WIN32_DIR}/${program} ${ARGN})
  foreach(wine ${BK_WINES})
    set_property(TEST ${wine}_${name} APPEND PROPERTY ENVIRONMENT "BK_WINE_TIMEOUT=240")
  endforeach()
endfunction()

bk_wine_suite(wintest win10 bk_wintest.exe)
include(${CMAKE_CURRENT_LIST_DIR}/standin.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/e2e.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/signed.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/faults.cmake)
