# The release's exe as Windows sees it: version resource and manifest read from the built file.
add_executable(release_win_tests ${CMAKE_CURRENT_LIST_DIR}/release_resource_test.cpp)
target_link_libraries(release_win_tests PRIVATE zt_glue GTest::gtest version)
# Z: is the Unix root in every Wine prefix.
target_compile_definitions(release_win_tests PRIVATE "ZT_TESTED_EXE=L\"Z:$<TARGET_FILE:ZT_AutoUpdate>\"")
add_dependencies(release_win_tests ZT_AutoUpdate)
gtest_discover_tests(release_win_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 PROPERTIES LABELS win ${ZT_WINE_SLOT})
