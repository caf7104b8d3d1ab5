# Scenarios of the application shell: the real exe under Wine, started through launch.exe.
if(NOT TARGET launch)
  return()
endif()
add_test(NAME e2e_single_instance
         COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/test_single_instance.py
                 --build ${PROJECT_BINARY_DIR} --source ${PROJECT_SOURCE_DIR})
set_tests_properties(e2e_single_instance PROPERTIES LABELS e2e TIMEOUT 300 RUN_SERIAL ON
                     ENVIRONMENT "PYTHONPATH=${CMAKE_CURRENT_LIST_DIR};PYTHONDONTWRITEBYTECODE=1")
if(TARGET app_win_tests)
  add_test(NAME e2e_launch_exact_command_line
           COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/test_launch_exact.py --reporter $<TARGET_FILE:app_win_tests>
                   --build ${PROJECT_BINARY_DIR} --source ${PROJECT_SOURCE_DIR})
  set_tests_properties(e2e_launch_exact_command_line PROPERTIES LABELS e2e TIMEOUT 300 RUN_SERIAL ON
                       ENVIRONMENT "PYTHONPATH=${CMAKE_CURRENT_LIST_DIR};PYTHONDONTWRITEBYTECODE=1")
endif()
