# Signed packages (signed_test.sh): signatures after the trailer, made with a
# throwaway certificate chain, and packages run under Wine in a prefix cloned
# from the suites' template.
bk_wine_test(signed 600 ${CMAKE_CURRENT_LIST_DIR}/signed_test.sh
  ${CMAKE_BINARY_DIR} ${BK_WIN32_DIR} ${CMAKE_BINARY_DIR}/@WINE@)
