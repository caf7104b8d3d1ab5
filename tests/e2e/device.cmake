# The simulated device rig as the scenarios drive it (simdev.py, the data-update stand-in).
if(NOT TARGET device_simulator OR NOT TARGET data_update_standin)
  return()
endif()
add_test(NAME e2e_device_rig
         COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/test_device_rig.py --build ${PROJECT_BINARY_DIR})
set_tests_properties(e2e_device_rig PROPERTIES LABELS e2e TIMEOUT 300 RUN_SERIAL ON
                     ENVIRONMENT "PYTHONPATH=${CMAKE_CURRENT_LIST_DIR};PYTHONDONTWRITEBYTECODE=1")
