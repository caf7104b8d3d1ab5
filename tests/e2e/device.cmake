# The simulated device rig as the scenarios drive it (simdev.py, the data-update stand-in).
if(TARGET device_simulator AND TARGET data_update_standin)
  zt_add_scenario(device_rig ${CMAKE_CURRENT_LIST_DIR}/test_device_rig.py 300)
endif()
