# The application shell's glue under Wine: Run key, single-instance mutex, process helpers.
add_executable(app_win_tests ${CMAKE_CURRENT_LIST_DIR}/app_main.cpp ${CMAKE_CURRENT_LIST_DIR}/app_autorun_test.cpp
                             ${CMAKE_CURRENT_LIST_DIR}/app_process_test.cpp
                             ${CMAKE_CURRENT_LIST_DIR}/app_message_test.cpp)
target_link_libraries(app_win_tests PRIVATE zt_glue GTest::gtest)
gtest_discover_tests(app_win_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 PROPERTIES LABELS win ${ZT_WINE_SLOT})
