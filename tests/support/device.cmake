# The simulated device: stand-in hid.dll and setupapi.dll, the simulator, the stand-in
# data-update program, and the control helper of the Windows tests. All of it lands in
# <build>/simdev, beside the device tests and the poll benchmark; e2e copies the DLLs beside the
# exe it runs. Loaded instead of Wine's only with WINEDLLOVERRIDES="hid,setupapi=n".
set(ZT_SIMDEV_DIR ${PROJECT_BINARY_DIR}/simdev)
set(zt_rig_link_options -static -static-libgcc -static-libstdc++)
set(zt_rig_definitions UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)

add_library(zt_sim_files STATIC sim_files.cpp)
target_link_libraries(zt_sim_files PUBLIC zt_flags)
target_compile_definitions(zt_sim_files PUBLIC ${zt_rig_definitions})

foreach(dll setupapi hid)
  add_library(zt_standin_${dll} SHARED standin_${dll}.cpp standin_${dll}.def)
  target_link_libraries(zt_standin_${dll} PRIVATE zt_sim_files)
  target_link_options(zt_standin_${dll} PRIVATE ${zt_rig_link_options})
  set_target_properties(zt_standin_${dll} PROPERTIES OUTPUT_NAME ${dll} PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${ZT_SIMDEV_DIR})
endforeach()

add_executable(device_simulator device_simulator.cpp)
target_link_libraries(device_simulator PRIVATE zt_core zt_sim_files)
target_link_options(device_simulator PRIVATE ${zt_rig_link_options} -municode)
set_target_properties(device_simulator PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${ZT_SIMDEV_DIR})

add_executable(data_update_standin WIN32 data_update_standin.cpp)
# It imports version.dll, as real programs do: a copy planted beside it would be loaded.
target_link_libraries(data_update_standin PRIVATE zt_sim_files gdi32 version)
target_link_options(data_update_standin PRIVATE ${zt_rig_link_options} -municode)
set_target_properties(data_update_standin PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${ZT_SIMDEV_DIR})

add_library(zt_sim_control STATIC sim_control.cpp)
target_link_libraries(zt_sim_control PUBLIC zt_sim_files)
# Whoever links the control helper needs the simulator and both stand-ins built beside it.
add_custom_target(zt_simdev DEPENDS zt_standin_setupapi zt_standin_hid device_simulator data_update_standin)
add_dependencies(zt_sim_control zt_simdev)
