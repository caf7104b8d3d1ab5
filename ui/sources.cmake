list(APPEND ZT_CORE_SOURCES ui/window_logic.cpp ui/fetch_backoff.cpp ui/autorun.cpp ui/watch.cpp ui/data_write.cpp)
list(APPEND ZT_GLUE_SOURCES ui/dialog_win.cpp ui/progress_win.cpp ui/auto_update_dlg_win.cpp ui/auto_update_dlg_write_win.cpp ui/main_window_win.cpp
     ui/replacement_win.cpp ui/watch_host_win.cpp ui/autorun_win.cpp ui/tray_icon_win.cpp ui/data_write_win.cpp
     ui/history_dlg_win.cpp)
