// The data-update program is installed in the update folder that every account shares, so it is
// never started from there: after its hash check it is copied, from the bytes that were hashed,
// into a folder of this user's own, checked again there and held while it starts. A DLL that
// another account plants beside the shared copy is then never loaded into it. Portable.
#pragma once
#include <filesystem>
#include <optional>
#include <string>

#include "base/descriptor_state.h"
#include "update/trust/trust.h"

namespace zt {

struct PrivateCopy {
  std::filesystem::path program;  // the copy to start
  HeldFile held;                  // keeps it as it was checked until the process exists
};

// Checks `installed` against the installed descriptor `local` (signature and data_sha256), copies
// it to `privateFolder` and checks the copy; nullopt and a reason when it may not be started.
std::optional<PrivateCopy> PrepareDataProgram(UpdateTrust& trust, const LocalDescriptor& local,
                                              const std::filesystem::path& installed,
                                              const std::filesystem::path& privateFolder, std::string& reason);

}  // namespace zt
