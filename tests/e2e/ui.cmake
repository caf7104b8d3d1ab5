# Scenarios of the main window, tray icon, messages, progress window and data-update launch:
# the real exe under Wine, driven by the window probe. Screenshots go to <build>/screenshots.
# launch.exe (tests/support) starts the tool with an exact command line.
if(NOT TARGET launch OR NOT TARGET probe)
  return()
endif()
file(GLOB zt_ui_scenarios CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/test_ui_*.py)
foreach(script IN LISTS zt_ui_scenarios)
  get_filename_component(name ${script} NAME_WE)
  string(REGEX REPLACE "^test_" "" name ${name})
  add_test(NAME e2e_${name}
           COMMAND python3 ${script} --exe $<TARGET_FILE:ZT_AutoUpdate> --probe $<TARGET_FILE:probe>
                   --launch $<TARGET_FILE:launch> --shots ${PROJECT_BINARY_DIR}/screenshots)
  set_tests_properties(e2e_${name} PROPERTIES LABELS e2e TIMEOUT 600 RUN_SERIAL ON
                       ENVIRONMENT "PYTHONPATH=${CMAKE_CURRENT_LIST_DIR};PYTHONDONTWRITEBYTECODE=1")
endforeach()
