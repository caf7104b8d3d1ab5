// Starting the data-update program: refused while another runs (in any session), started only as
// the checked private copy, with the command line programs of its kind rely on.
#pragma once
#include <memory>
#include <optional>
#include <string>

#include "update/install/data_launch.h"
#include "win/handles.h"

namespace zt {

// A start that passed every check: the machine-wide lock is held (by the thread that prepared it,
// which must also let it go) and the copy is ready.
struct DataProgramLaunch {
  std::shared_ptr<void> lock;
  PrivateCopy copy;
};

// Why the program was not started: for the log, a short code for the report, and the words the
// user is told.
struct LaunchRefusal {
  std::string log;
  std::string cause;
  std::string words;
};

// nullopt, with why, when the data-update program may not start now.
std::optional<DataProgramLaunch> PrepareDataProgramLaunch(LaunchRefusal& refusal);

// Starts the copy as the program expects: the command line "C:\ZT_update\data_update.exe" and no
// arguments (the copy is the application name), the tool's own environment, its own folder as the
// current one (never the shared update folder). The process, or an empty handle with `reason`.
UniqueKernelHandle StartDataProgram(DataProgramLaunch& launch, std::string& reason);

}  // namespace zt
