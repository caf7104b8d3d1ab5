// What the application-shell tests ask of their own executable started as a child (app_main.cpp).
#pragma once

// With ZT_APP_CHILD_APPEND=<file>, the child appends this many lines to the file through the
// tool's log appender, each "process <id> line <n>" and padding.
inline constexpr int kChildAppendLines = 300;
