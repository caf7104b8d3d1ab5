list(APPEND ZT_GLUE_SOURCES app/app.cpp)
