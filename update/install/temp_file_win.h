// The Windows replacement that commits a temporary file (temp_file.h): a move over the target.
#pragma once
#include <filesystem>
#include <optional>
#include <string>

namespace zt {

// Moves `from` over `to` with MoveFileExW (replacing, write-through); false and a reason when it
// cannot, or when `to` has more than one name (hard link). It only moves: the writer has already
// pushed the file's data to the disk through its own handle (FileWriter).
bool MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to, std::string& reason);

// Why the file at `target` may not be replaced: it has more than one name (counted on a handle of
// its own, GetFileInformationByHandle); nullopt when it has one or is not there.
std::optional<std::string> TargetNamesProblem(const std::filesystem::path& target);

}  // namespace zt
