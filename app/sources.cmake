list(APPEND ZT_CORE_SOURCES app/log.cpp app/cmdline.cpp app/descriptor.cpp app/descriptor_state.cpp app/autorun.cpp
     app/notice.cpp app/version.cpp)
list(APPEND ZT_GLUE_SOURCES app/app.cpp app/autorun_win.cpp app/user_state_win.cpp)
