list(APPEND ZT_CORE_SOURCES ui/window_logic.cpp ui/fetch_backoff.cpp ui/autorun.cpp)
list(APPEND ZT_GLUE_SOURCES ui/dialog_win.cpp ui/progress_win.cpp ui/auto_update_dlg_win.cpp ui/main_window_win.cpp)
list(APPEND ZT_CORE_SOURCES ui/watch.cpp)
list(APPEND ZT_GLUE_SOURCES ui/watch_host_win.cpp ui/autorun_win.cpp ui/tray_icon_win.cpp)
