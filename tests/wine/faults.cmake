# The fault suite (faults.py) and the name suite (names.py): real packages
# run under Wine, each suite in a fresh prefix cloned from the template that
# wine_template makes, dialogs watched on a private X display.
foreach(suite faults names)
  bk_wine_test(${suite} 600 python3 ${CMAKE_CURRENT_LIST_DIR}/${suite}.py
    --host-dir ${CMAKE_BINARY_DIR} --win32-dir ${BK_WIN32_DIR})
endforeach()
