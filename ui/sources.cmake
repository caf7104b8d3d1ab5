list(APPEND ZT_CORE_SOURCES ui/window_logic.cpp ui/fetch_backoff.cpp ui/autorun.cpp)
list(APPEND ZT_GLUE_SOURCES ui/dialog.cpp ui/progress.cpp ui/auto_update_dlg.cpp ui/main_window.cpp)
list(APPEND ZT_CORE_SOURCES ui/watch.cpp)
list(APPEND ZT_GLUE_SOURCES ui/watch_host.cpp ui/autorun_win.cpp)
