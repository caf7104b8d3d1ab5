# The device link against the simulated device. The test runs in <build>/simdev beside the
# stand-in DLLs and starts the simulator itself; only this process gets the DLL override.
add_executable(device_link_test ${CMAKE_CURRENT_SOURCE_DIR}/device_link_test.cpp)
target_link_libraries(device_link_test PRIVATE zt_glue zt_sim_control GTest::gtest)
set_target_properties(device_link_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/simdev)
gtest_discover_tests(device_link_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                     PROPERTIES LABELS win ${ZT_WINE_SLOT} ENVIRONMENT "WINEDLLOVERRIDES=hid,setupapi=n" TIMEOUT 120)
