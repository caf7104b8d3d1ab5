list(APPEND ZT_CORE_SOURCES base/log.cpp base/cmdline.cpp base/notice.cpp base/version.cpp base/descriptor.cpp base/descriptor_state.cpp
     base/thread.cpp base/history.cpp)

