list(APPEND ZT_CORE_SOURCES update/transfer.cpp update/resume.cpp update/temp_file.cpp update/server_address.cpp
     update/retry_after.cpp update/disk_space.cpp update/procedures.cpp update/self_update.cpp update/data_launch.cpp
     update/trust.cpp update/pe_image.cpp update/offer.cpp update/descriptor_fetch.cpp)
list(APPEND ZT_GLUE_SOURCES update/downloads_win.cpp update/disk_space_win.cpp update/temp_file_win.cpp
     update/server_setting_win.cpp update/workers_win.cpp update/crypto_win.cpp update/self_update_win.cpp
     update/shared_folder_win.cpp update/user_state_win.cpp update/data_launch_win.cpp update/network_cost_win.cpp)
