# A tool of the earlier kind for the install scenarios: its window caption, its mutex and its end on
# the tray menu's exit command, nothing else.
add_executable(earlier_standin WIN32 ${CMAKE_CURRENT_LIST_DIR}/earlier_standin.cpp)
target_link_libraries(earlier_standin PRIVATE zt_flags)
target_compile_definitions(earlier_standin PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
target_link_options(earlier_standin PRIVATE -municode -static -static-libgcc -static-libstdc++)
set_target_properties(earlier_standin PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/standins)
