# Scenarios of the application shell: the real exe under Wine, started through launch.exe.
if(TARGET launch)
  zt_add_scenario(single_instance ${CMAKE_CURRENT_LIST_DIR}/test_single_instance.py 300)
  if(TARGET app_win_tests)
    zt_add_scenario(launch_exact_command_line ${CMAKE_CURRENT_LIST_DIR}/test_launch_exact.py 300
                    --reporter $<TARGET_FILE:app_win_tests>)
  endif()
endif()
