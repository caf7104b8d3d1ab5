# The loopback update server as a CTest fixture: started before the first test that needs it
# (FIXTURES_REQUIRED update_server), stopped after the last. Its state folder (served files under
# root/, port, requests.log, faults.json) is <build>/update_server; programs under Wine reach it
# as Z:<same path>.
set(ZT_UPDATE_SERVER_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/update_server.py)
set(ZT_UPDATE_SERVER_STATE ${PROJECT_BINARY_DIR}/update_server)
add_test(NAME update_server_start
         COMMAND python3 ${ZT_UPDATE_SERVER_SCRIPT} start --state ${ZT_UPDATE_SERVER_STATE})
set_tests_properties(update_server_start PROPERTIES FIXTURES_SETUP update_server LABELS "win;e2e")
add_test(NAME update_server_stop
         COMMAND python3 ${ZT_UPDATE_SERVER_SCRIPT} stop --state ${ZT_UPDATE_SERVER_STATE})
set_tests_properties(update_server_stop PROPERTIES FIXTURES_CLEANUP update_server LABELS "win;e2e")

# The tool as its next version would be: this tree with the version raised by one minor step, for
# the scenarios in which a good new version replaces the running one.
math(EXPR zt_next_minor "${ZT_VERSION_MINOR} + 1")
set(zt_next_dir ${PROJECT_BINARY_DIR}/generated/next)
set(zt_next_defines "// Generated: the version of the test build ZT_AutoUpdate_next.exe.
#define ZT_VERSION_MAJOR ${ZT_VERSION_MAJOR}
#define ZT_VERSION_MINOR ${zt_next_minor}
#define ZT_VERSION_TEXT \"${ZT_VERSION_MAJOR}.${zt_next_minor}\"
")
file(CONFIGURE OUTPUT ${zt_next_dir}/version_next.cpp CONTENT "${zt_next_defines}#include \"base/version.cpp\"\n")
file(CONFIGURE OUTPUT ${zt_next_dir}/app_next.rc CONTENT "${zt_next_defines}#include \"${PROJECT_SOURCE_DIR}/res/app.rc\"\n")
add_executable(ZT_AutoUpdate_next WIN32 ${PROJECT_SOURCE_DIR}/app/main.cpp ${zt_next_dir}/version_next.cpp
                                         ${zt_next_dir}/app_next.rc)
target_include_directories(ZT_AutoUpdate_next PRIVATE ${PROJECT_SOURCE_DIR}/res)
target_link_libraries(ZT_AutoUpdate_next PRIVATE zt_glue)
target_link_options(ZT_AutoUpdate_next PRIVATE -s -Wl,--gc-sections)
set_target_properties(ZT_AutoUpdate_next PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})

# A bad new version that ends at once, and two that never show a window, with the versions the
# scenarios offer them as.
set(ZT_STANDIN_DIR ${PROJECT_BINARY_DIR}/standins)
foreach(standin IN ITEMS "exits;3;1" "hangs;3;2" "hangs_later;3;3")
  list(GET standin 0 name)
  add_executable(updater_${name} WIN32 ${CMAKE_CURRENT_LIST_DIR}/updater_standin.cpp
                                       ${CMAKE_CURRENT_LIST_DIR}/updater_standin.rc)
  list(GET standin 1 major)
  list(GET standin 2 minor)
  target_compile_definitions(updater_${name} PRIVATE ZT_STANDIN_MAJOR=${major} ZT_STANDIN_MINOR=${minor}
                                                     $<$<NOT:$<STREQUAL:${name},exits>>:ZT_STANDIN_HANGS>)
  target_link_options(updater_${name} PRIVATE -municode -static -static-libgcc)
  set_target_properties(updater_${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${ZT_STANDIN_DIR})
endforeach()

# A version.dll planted beside the shared data_update.exe.
add_library(planted_version SHARED ${CMAKE_CURRENT_LIST_DIR}/planted_version.cpp
                                   ${CMAKE_CURRENT_LIST_DIR}/planted_version.def)
target_compile_definitions(planted_version PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
target_link_options(planted_version PRIVATE -static -static-libgcc)
set_target_properties(planted_version PROPERTIES OUTPUT_NAME version PREFIX "" RUNTIME_OUTPUT_DIRECTORY
                                                 ${ZT_STANDIN_DIR})

# The tool as a release is built, where ZT_UPDATE_SERVER in the environment does not count: the
# one file that reads it, built with the option off, ahead of the library's copy.
file(CONFIGURE OUTPUT ${zt_next_dir}/server_setting_fixed.cpp CONTENT
     "// Generated: update/net/server_setting_win.cpp as a release builds it.\n#define ZT_SERVER_FROM_ENVIRONMENT 0\n#include \"update/net/server_setting_win.cpp\"\n")
add_executable(ZT_AutoUpdate_fixed_server WIN32 ${PROJECT_SOURCE_DIR}/app/main.cpp ${zt_next_dir}/server_setting_fixed.cpp
                                                ${PROJECT_SOURCE_DIR}/res/app.rc)
target_link_libraries(ZT_AutoUpdate_fixed_server PRIVATE zt_glue)
target_link_options(ZT_AutoUpdate_fixed_server PRIVATE -s -Wl,--gc-sections)
set_target_properties(ZT_AutoUpdate_fixed_server PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})

# The next version built as a release is, with the placeholder server it was given, which never
# resolves: it comes up but cannot confirm, and the previous version stays.
add_executable(ZT_AutoUpdate_next_unresolved WIN32 ${PROJECT_SOURCE_DIR}/app/main.cpp ${zt_next_dir}/version_next.cpp
                                                   ${zt_next_dir}/server_setting_fixed.cpp ${zt_next_dir}/app_next.rc)
target_include_directories(ZT_AutoUpdate_next_unresolved PRIVATE ${PROJECT_SOURCE_DIR}/res)
target_link_libraries(ZT_AutoUpdate_next_unresolved PRIVATE zt_glue)
target_link_options(ZT_AutoUpdate_next_unresolved PRIVATE -s -Wl,--gc-sections)
set_target_properties(ZT_AutoUpdate_next_unresolved PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
