# The download benchmark program (built, never run by ctest); bench/download_bench.sh drives it.
add_executable(download_bench ${CMAKE_CURRENT_SOURCE_DIR}/download_bench.cpp)
target_link_libraries(download_bench PRIVATE zt_glue)
set_target_properties(download_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bench)
