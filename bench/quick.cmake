# Every benchmark once in its short mode: it sets up, takes one sample of each figure and fails when
# a figure has no number (timings are never judged). A rename in the rigs the benchmarks import then
# fails the suite, not the next person who measures.
function(zt_add_bench_check name)
  add_test(NAME bench_${name} COMMAND ${PROJECT_SOURCE_DIR}/scripts/wine-slot ${ARGN})
  set_tests_properties(bench_${name} PROPERTIES LABELS bench TIMEOUT 300 ${ZT_WINE_SLOT} COST 30
                       ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1;ZT_TEST_SIGNING_KEY=${ZT_TEST_SIGNING_KEY}")
endfunction()

if(TARGET launch AND TARGET probe AND TARGET zt_simdev)
  zt_add_bench_check(poll env WINEDLLOVERRIDES=hid,setupapi=n wine ${PROJECT_BINARY_DIR}/simdev/poll_bench.exe --quick)
  set_tests_properties(bench_poll PROPERTIES WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/simdev)
  set(zt_bench_rigs --build ${PROJECT_BINARY_DIR} --source ${PROJECT_SOURCE_DIR})
  zt_add_bench_check(responsiveness python3 ${CMAKE_CURRENT_LIST_DIR}/responsiveness_bench.py --quick
                     --exe now=$<TARGET_FILE:ZT_AutoUpdate> ${zt_bench_rigs})
  zt_add_bench_check(self_update python3 ${CMAKE_CURRENT_LIST_DIR}/self_update_bench.py --quick
                     --exe now=$<TARGET_FILE:ZT_AutoUpdate> ${zt_bench_rigs})
  zt_add_bench_check(resume python3 ${CMAKE_CURRENT_LIST_DIR}/resume_bench.py --quick ${zt_bench_rigs})
  zt_add_bench_check(download ${CMAKE_CURRENT_LIST_DIR}/download_bench.sh --quick ${PROJECT_BINARY_DIR})
endif()
