# Host tree: the unit tests under ASan+UBSan and a short run of every fuzz
# target, all from the sanitize tree (BK_SANITIZE_DIR). Each shows as skipped
# when that tree or its program is not built (run.sh exits with 77).
if(BK_SANITIZE)
  return()
endif()
set(BK_SANITIZE_DIR ${CMAKE_SOURCE_DIR}/build/sanitize CACHE PATH "The sanitize build tree")
set(BK_FUZZ_RUN ${CMAKE_CURRENT_LIST_DIR}/run.sh)

add_test(NAME unit_asan COMMAND ${BK_FUZZ_RUN} --unit ${BK_SANITIZE_DIR})
set_tests_properties(unit_asan PROPERTIES TIMEOUT 600 SKIP_RETURN_CODE 77 LABELS sanitize)

set(BK_FUZZ_SECONDS 30)
file(GLOB BK_FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/fuzz_*.cpp)
foreach(source ${BK_FUZZ_SOURCES})
  get_filename_component(target ${source} NAME_WE)
  add_test(NAME ${target}
    COMMAND ${BK_FUZZ_RUN} --fresh --build ${BK_SANITIZE_DIR}
            --work ${CMAKE_BINARY_DIR}/fuzz ${BK_FUZZ_SECONDS} ${target})
  # Room for start-up and for loading the corpus on top of the run itself.
  set_tests_properties(${target} PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77 LABELS fuzz)
endforeach()
