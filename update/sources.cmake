list(APPEND ZT_CORE_SOURCES)
list(APPEND ZT_GLUE_SOURCES update/downloads_placeholder.cpp)
