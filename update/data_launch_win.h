// Starting the data-update program: refused while another runs (in any session), started only as
// the checked private copy, and waited for.
#pragma once
#include <memory>
#include <optional>
#include <string>

#include "update/data_launch.h"

namespace zt {

// A start that passed every check: the machine-wide lock is held and the copy is ready.
struct DataProgramLaunch {
  std::shared_ptr<void> lock;
  PrivateCopy copy;
};

// nullopt and a reason (for the log) when the data-update program may not start now.
std::optional<DataProgramLaunch> PrepareDataProgramLaunch(std::string& reason);

// Starts the copy and waits for it to end (30 minutes at most); the lock goes with `launch`.
void RunDataProgram(DataProgramLaunch launch);

}  // namespace zt
