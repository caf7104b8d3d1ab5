# Scenarios of the device watch and the whole tool: the real exe under Wine with the simulated
# device and a private loopback update server per scenario, ticks sent by the window probe.
if(NOT TARGET launch OR NOT TARGET probe OR NOT TARGET zt_simdev)
  return()
endif()
file(GLOB zt_watch_scenarios CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/test_watch_*.py)
foreach(script IN LISTS zt_watch_scenarios)
  get_filename_component(name ${script} NAME_WE)
  string(REGEX REPLACE "^test_" "" name ${name})
  add_test(NAME e2e_${name}
           COMMAND python3 ${script} --build ${PROJECT_BINARY_DIR} --source ${PROJECT_SOURCE_DIR})
  set_tests_properties(e2e_${name} PROPERTIES LABELS e2e TIMEOUT 300 RUN_SERIAL ON
                       ENVIRONMENT "PYTHONPATH=${CMAKE_CURRENT_LIST_DIR};PYTHONDONTWRITEBYTECODE=1")
endforeach()
