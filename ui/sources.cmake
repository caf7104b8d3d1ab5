list(APPEND ZT_CORE_SOURCES)
list(APPEND ZT_GLUE_SOURCES ui/main_window_placeholder.cpp)
