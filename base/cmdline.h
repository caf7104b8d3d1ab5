// The command-line readers: argument counting and splitting by the tool's own byte rules (only a
// space separates; quotes group), over a given UTF-8 command line.
#pragma once
#include <string>
#include <string_view>

namespace zt {

int GetArgCountOf(std::string_view commandLine);
// Argument n (0 = the program path) without its quotes, or empty when there is none.
std::string GetArgOf(std::string_view commandLine, int n);

// What a start is asked to do, beyond the main window's own reading of argument 1.
enum class LaunchRequest {
  Run,                  // the ordinary start (a second one ends silently)
  EndRunningInstance,   // "/exit" as argument 1: the installer asks the running tool to end
  RunAfterReplacement,  // "/replaced" as argument 2: started by the previous version, which waits
                        // for this one to confirm that it is up
};
LaunchRequest DecideLaunchRequest(std::string_view commandLine);

}  // namespace zt
