# The main window's building blocks under Wine: dialog class, data exchange, progress window.
# The resource script gives the tests the real dialog templates.
add_executable(ui_win_tests ${CMAKE_CURRENT_LIST_DIR}/ui_window_test.cpp ${PROJECT_SOURCE_DIR}/res/app.rc)
target_link_libraries(ui_win_tests PRIVATE zt_glue GTest::gtest)
gtest_discover_tests(ui_win_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 PROPERTIES LABELS win ${ZT_WINE_SLOT})
