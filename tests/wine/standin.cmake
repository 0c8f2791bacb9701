# The stand-in reader, its installer and bkremove.bat under Wine, in a prefix
# of their own (standin_test.sh).
add_test(NAME wine_standin
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/standin_test.sh ${BK_WIN32_DIR} ${CMAKE_CURRENT_BINARY_DIR}/wine-standin)
set_tests_properties(wine_standin PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77 LABELS wine)
