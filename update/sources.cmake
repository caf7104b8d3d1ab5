# net/: the transfer and what it depends on (the server, its pauses, free space, the connection's cost).
# trust/: signatures, hashes, images and this user's floors.
# install/: the offers and the procedures that fetch and install them, the self-replacement, the data
# program's launch, the shared folder and files that appear whole.
list(APPEND ZT_CORE_SOURCES update/net/transfer.cpp update/net/resume.cpp update/net/server_address.cpp
     update/net/retry_after.cpp update/net/disk_space.cpp update/net/report.cpp update/trust/trust.cpp update/trust/pe_image.cpp
     update/install/temp_file.cpp update/install/offer.cpp update/install/procedures.cpp
     update/install/descriptor_fetch.cpp update/install/self_update.cpp update/install/hand_over.cpp
     update/install/data_launch.cpp update/install/shared_folder.cpp update/install/stale_payloads.cpp)
list(APPEND ZT_GLUE_SOURCES update/net/downloads_win.cpp update/net/disk_space_win.cpp
     update/net/server_setting_win.cpp update/net/network_cost_win.cpp update/net/report_win.cpp update/trust/crypto_win.cpp
     update/trust/user_state_win.cpp update/install/temp_file_win.cpp update/install/shared_folder_win.cpp
     update/install/hand_over_record_win.cpp update/install/self_update_win.cpp update/install/replaced_start_win.cpp
     update/install/data_launch_win.cpp update/workers_win.cpp)
