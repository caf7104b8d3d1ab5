#include "app/autorun.h"

#include "app/paths.h"

namespace zt {

std::string BuildAutoRunCommand(std::string_view exePath) {
  std::string command = "\"";
  command += exePath;
  command += "\" ";
  command += kAutoHideSwitch;
  return command;
}

}  // namespace zt
