# Scenarios of the main window, tray icon, messages, progress window and data-update launch:
# the real exe under Wine, driven by the window probe. Screenshots go to <build>/screenshots.
# launch.exe and probe.exe (tests/support) start and drive the tool.
if(NOT TARGET launch OR NOT TARGET probe)
  return()
endif()
file(GLOB zt_ui_scenarios CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/test_ui_*.py)
foreach(script IN LISTS zt_ui_scenarios)
  get_filename_component(name ${script} NAME_WE)
  string(REGEX REPLACE "^test_" "" name ${name})
  add_test(NAME e2e_${name}
           COMMAND python3 ${script} --build ${PROJECT_BINARY_DIR} --source ${PROJECT_SOURCE_DIR})
  set_tests_properties(e2e_${name} PROPERTIES LABELS e2e TIMEOUT 600 RUN_SERIAL ON
                       ENVIRONMENT "PYTHONPATH=${CMAKE_CURRENT_LIST_DIR};PYTHONDONTWRITEBYTECODE=1")
endforeach()
