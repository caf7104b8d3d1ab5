// The command-line readers: argument counting and splitting by the tool's own byte rules (only a
// space separates; quotes group), over a given UTF-8 command line.
#pragma once
#include <string>
#include <string_view>

namespace zt {

int GetArgCountOf(std::string_view commandLine);
// Argument n (0 = the program path) without its quotes, or empty when there is none.
std::string GetArgOf(std::string_view commandLine, int n);

}  // namespace zt
