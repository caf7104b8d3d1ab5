# probe.exe: the window probe of the scenarios (and, copied as data_update.exe, a stand-in
# data-update program).
add_executable(probe ${CMAKE_CURRENT_LIST_DIR}/probe.cpp)
target_link_libraries(probe PRIVATE zt_flags shell32 crypt32 psapi)
target_compile_definitions(probe PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
target_link_options(probe PRIVATE -municode -static -static-libgcc -static-libstdc++)
