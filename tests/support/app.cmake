# launch.exe: starts a program with an exact command line for the Windows tests and the scenarios.
add_executable(launch ${CMAKE_CURRENT_LIST_DIR}/launch.cpp)
target_link_libraries(launch PRIVATE zt_flags)
target_compile_definitions(launch PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
target_link_options(launch PRIVATE -municode -static -static-libgcc -static-libstdc++)
