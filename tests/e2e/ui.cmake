# Scenarios of the main window, tray icon, messages, progress window and data-update launch:
# the real exe under Wine, driven by the window probe. Screenshots go to <build>/screenshots.
# launch.exe and probe.exe (tests/support) start and drive the tool.
if(TARGET launch AND TARGET probe)
  zt_add_scenarios(ui 600)
endif()
