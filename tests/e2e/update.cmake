# Scenarios of the update downloads: the real exe under Wine against a private loopback update
# server per scenario; the stand-in data-update program is served as the data package.
if(NOT TARGET launch OR NOT TARGET probe OR NOT TARGET data_update_standin)
  return()
endif()
foreach(name first_start self_replace)
  add_test(NAME e2e_update_${name}
           COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/test_update_${name}.py --build ${PROJECT_BINARY_DIR}
                   --source ${PROJECT_SOURCE_DIR} --server ${PROJECT_SOURCE_DIR}/tests/support/update_server.py)
  set_tests_properties(e2e_update_${name} PROPERTIES LABELS e2e TIMEOUT 600 RUN_SERIAL ON
                       ENVIRONMENT "PYTHONPATH=${CMAKE_CURRENT_LIST_DIR};PYTHONDONTWRITEBYTECODE=1")
endforeach()
