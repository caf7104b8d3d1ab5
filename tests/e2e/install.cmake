# The x64 installer of this build (unsigned: scripts/release exercises signing) and the scenarios
# that install, upgrade and uninstall with it under Wine. makensis comes from Debian's nsis.
find_program(ZT_MAKENSIS makensis)
if(NOT ZT_MAKENSIS)
  message(STATUS "makensis not found: no installer and no install scenarios (scripts/setup installs nsis)")
elseif(TARGET launch AND TARGET probe AND CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(zt_setup ${PROJECT_BINARY_DIR}/installer/ZT_AutoUpdate-setup-x64.exe)
  add_custom_command(OUTPUT ${zt_setup}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/installer
                     COMMAND ${ZT_MAKENSIS} -V2 -DARCH=x64 -DEXE=$<TARGET_FILE:ZT_AutoUpdate>
                             -DOUTFILE=${zt_setup} -DCOMPANY=${ZT_COMPANY_NAME}
                             ${PROJECT_SOURCE_DIR}/installer/ZT_AutoUpdate.nsi
                     DEPENDS ZT_AutoUpdate ${PROJECT_SOURCE_DIR}/installer/ZT_AutoUpdate.nsi
                             ${PROJECT_SOURCE_DIR}/res/version.h ${PROJECT_SOURCE_DIR}/res/app.ico
                             ${PROJECT_SOURCE_DIR}/res/app.rc ${PROJECT_SOURCE_DIR}/base/paths.h
                             ${PROJECT_SOURCE_DIR}/base/ids.h ${PROJECT_SOURCE_DIR}/base/descriptor_keys.h
                     COMMENT "Installer ${zt_setup}" VERBATIM)
  add_custom_target(zt_installer_x64 ALL DEPENDS ${zt_setup})
  zt_add_scenarios(install 600 --installer ${zt_setup} --company ${ZT_COMPANY_NAME}
                   --server ${PROJECT_SOURCE_DIR}/tests/support/update_server.py)
endif()
