list(APPEND ZT_GLUE_SOURCES win/text.cpp win/error.cpp win/system_dll.cpp win/process.cpp win/window_poster.cpp)
