# Scenarios of the device watch and the whole tool: the real exe under Wine with the simulated
# device and a private loopback update server per scenario, ticks sent by the window probe.
if(TARGET launch AND TARGET probe AND TARGET zt_simdev)
  zt_add_scenarios(watch 300)
endif()
