list(APPEND ZT_CORE_SOURCES update/transfer.cpp update/temp_file.cpp update/server_address.cpp update/retry_after.cpp
     update/disk_space.cpp update/procedures.cpp update/trust.cpp)
list(APPEND ZT_GLUE_SOURCES update/downloads_win.cpp update/server_setting_win.cpp update/workers_win.cpp
     update/crypto_win.cpp)
