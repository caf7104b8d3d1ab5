# Real WinINet transfers under Wine against the loopback update server (fixture update_server).
set(zt_update_state ${PROJECT_BINARY_DIR}/update_server)
set(zt_update_state_win "Z:${zt_update_state}")  # Wine maps / to Z:
add_executable(update_win_tests ${CMAKE_CURRENT_LIST_DIR}/update_download_test.cpp
                                ${CMAKE_CURRENT_LIST_DIR}/update_procedures_win_test.cpp
                                ${CMAKE_CURRENT_LIST_DIR}/update_shared_win_test.cpp
                                ${CMAKE_CURRENT_LIST_DIR}/update_win_main.cpp)
target_link_libraries(update_win_tests PRIVATE zt_glue GTest::gtest)
gtest_discover_tests(update_win_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                     PROPERTIES LABELS win ${ZT_WINE_SLOT} TIMEOUT 180 FIXTURES_REQUIRED update_server
                                # One server state for all of them: one at a time.
                                RESOURCE_LOCK update_server
                                ENVIRONMENT "ZT_TEST_UPDATE_STATE=${zt_update_state_win}"
                                # The Chinese console code page, as most users have it.
                                ENVIRONMENT_MODIFICATION "LC_ALL=set:zh_CN.UTF-8")
# The new version served in the self-replacement test: it records how it was started.
add_executable(update_marker ${CMAKE_CURRENT_LIST_DIR}/update_marker.cpp ${CMAKE_CURRENT_LIST_DIR}/update_marker.rc)
target_compile_definitions(update_marker PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
target_link_options(update_marker PRIVATE -municode -static -static-libgcc)
target_link_libraries(update_marker PRIVATE shell32)
add_dependencies(update_win_tests update_marker)
