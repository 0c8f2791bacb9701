# The end-to-end suite (e2e.py): real packages run under Wine in a prefix of
# its own, dialogs answered on a private X display. Needs bklaunch.exe and
# run_exact.exe from the win32 tree and bkpack / bkbook from this one.
bk_wine_test(e2e 900 python3 ${CMAKE_CURRENT_LIST_DIR}/e2e.py
  --host-dir ${CMAKE_BINARY_DIR} --win32-dir ${BK_WIN32_DIR})
