# The Windows test programs of the win32 tree (BK_WIN32_DIR), run under Wine
# by CTest in the host tree. Each suite gets a fresh prefix of its own under
# <host build>/wine, cloned from a template that the test wine_template makes
# once (run_wintest.sh). Without the Windows tree every one of them is
# skipped with the same line (need_win32.sh); so is a suite on a host
# without Wine.
set(BK_WINE_RUN ${CMAKE_CURRENT_LIST_DIR}/run_wintest.sh)
set(BK_NEED_WIN32 ${CMAKE_CURRENT_LIST_DIR}/need_win32.sh ${BK_WIN32_DIR})
set(BK_WINE_ROOT ${CMAKE_BINARY_DIR}/wine)

add_test(NAME wine_template
  COMMAND ${BK_NEED_WIN32} ${BK_WINE_RUN} --template ${BK_WINE_ROOT})
set_tests_properties(wine_template PROPERTIES
  TIMEOUT 600 SKIP_RETURN_CODE 77 FIXTURES_SETUP wine_template LABELS wine)

# bk_wine_test(NAME SECONDS COMMAND [ARGS...]): test wine_NAME runs COMMAND
# for at most SECONDS, or is skipped with one line when the Windows tree is
# not built; its prefix is cloned from the template.
function(bk_wine_test name seconds)
  add_test(NAME wine_${name}
    COMMAND ${BK_NEED_WIN32} ${ARGN})
  set_tests_properties(wine_${name} PROPERTIES
    TIMEOUT ${seconds} SKIP_RETURN_CODE 77 FIXTURES_REQUIRED wine_template LABELS wine)
endfunction()

# bk_wine_suite(NAME VERSION PROGRAM [ARGS...]): runs PROGRAM (a file name in
# the win32 tree) as test wine_NAME in a prefix that reports Windows VERSION
# (winxp, vista or win10).
function(bk_wine_suite name version program)
  bk_wine_test(${name} 300
    ${BK_WINE_RUN} ${BK_WINE_ROOT} ${name} ${version} ${BK_WIN32_DIR}/${program} ${ARGN})
  set_tests_properties(wine_${name} PROPERTIES ENVIRONMENT "BK_WINE_TIMEOUT=240")
endfunction()

bk_wine_suite(wintest win10 bk_wintest.exe)
include(${CMAKE_CURRENT_LIST_DIR}/standin.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/e2e.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/signed.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/faults.cmake)
