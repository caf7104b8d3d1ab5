# Built, not run by ctest: scripts/bench-style manual run under Wine with the device override.
add_executable(poll_bench ${CMAKE_CURRENT_SOURCE_DIR}/poll_bench.cpp)
target_link_libraries(poll_bench PRIVATE zt_glue zt_sim_control)
set_target_properties(poll_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/simdev)
