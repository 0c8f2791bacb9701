# Signed packages (signed_test.sh): signatures after the trailer, made with a
# throwaway certificate chain, and packages run under Wine in a prefix cloned
# from the suites' template.
add_test(NAME wine_signed
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/signed_test.sh ${CMAKE_BINARY_DIR} ${BK_WIN32_DIR} ${BK_WINE_ROOT})
set_tests_properties(wine_signed PROPERTIES
  TIMEOUT 300 SKIP_RETURN_CODE 77 FIXTURES_REQUIRED wine_template LABELS wine)
