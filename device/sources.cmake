list(APPEND ZT_CORE_SOURCES device/protocol.cpp)
list(APPEND ZT_GLUE_SOURCES device/hid_device_win.cpp)
