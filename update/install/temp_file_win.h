// The Windows replacement that commits a temporary file (temp_file.h): a move over the target.
#pragma once
#include <filesystem>
#include <string>

namespace zt {

// Moves `from` over `to` with MoveFileExW (replacing, write-through); false and a reason when it
// cannot. It only moves: the writer has already pushed the file's data to the disk through its own
// handle (FileWriter).
bool MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to, std::string& reason);

}  // namespace zt
