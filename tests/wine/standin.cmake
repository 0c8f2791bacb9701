# The stand-in reader, its installer and bkremove.bat under Wine, in a prefix
# of their own cloned from the suites' template (standin_test.sh).
bk_wine_test(standin 600 ${CMAKE_CURRENT_LIST_DIR}/standin_test.sh
  ${BK_WIN32_DIR} ${CMAKE_CURRENT_BINARY_DIR}/@WINE@-standin ${CMAKE_BINARY_DIR}/@WINE@)
