# Scenarios of the update downloads: the real exe under Wine against a private loopback update
# server per scenario; the stand-in data-update program is served as the data package.
if(TARGET launch AND TARGET probe AND TARGET data_update_standin)
  zt_add_scenarios(update 600 --server ${PROJECT_SOURCE_DIR}/tests/support/update_server.py)
endif()
