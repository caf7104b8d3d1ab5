# Native unit tests of the portable logic, with the sanitizers of the native preset.
file(GLOB zt_unit_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
add_executable(unit_tests ${zt_unit_sources})
target_link_libraries(unit_tests PRIVATE zt_core GTest::gtest_main)
gtest_discover_tests(unit_tests DISCOVERY_MODE PRE_TEST PROPERTIES LABELS unit)
