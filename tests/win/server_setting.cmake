# update/net/server_setting_win.cpp built with ZT_SERVER_FROM_ENVIRONMENT on and off, each in a small
# test program of its own (two small files apiece: cheap beside a second build of the tool).
foreach(mode IN ITEMS 1 0)
  set(zt_target server_setting_env${mode}_tests)
  add_executable(${zt_target} ${CMAKE_CURRENT_LIST_DIR}/update_server_setting_test.cpp
                              ${PROJECT_SOURCE_DIR}/update/net/server_setting_win.cpp ${PROJECT_SOURCE_DIR}/win/text.cpp)
  target_compile_definitions(${zt_target} PRIVATE ZT_SERVER_FROM_ENVIRONMENT=${mode} UNICODE _UNICODE
                                                  WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
  target_link_libraries(${zt_target} PRIVATE zt_core GTest::gtest_main)
  target_link_options(${zt_target} PRIVATE -static -static-libgcc -static-libstdc++)
  gtest_discover_tests(${zt_target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 TEST_PREFIX "environment${mode}."
                       PROPERTIES LABELS win ${ZT_WINE_SLOT})
endforeach()
