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
