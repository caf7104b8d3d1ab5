// The download folders keep only what the current descriptors name: packages and executables of
// earlier publications, and the kept parts of files no longer offered, go at the start-up
// clean-up. Only files of the tool's own kinds (an executable image, a resumable part or its
// record) are touched; a user's other files stay. Portable.
#pragma once
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace zt {

// The file names a descriptor (its text) offers: the data package and the executables for both
// processors.
std::vector<std::string> OfferedFiles(std::string_view descriptorText);

// Whether the file `leaf` of a download folder is a payload of the tool that none of `kept` names
// (names compare without ASCII case): an executable image (`executable`: it starts with "MZ")
// whose name is not kept, or a resumable part or its record of a file not kept. Temporary files
// are not decided here: they go by age (RemoveStaleTempFiles), as a transfer may be writing one.
bool IsStalePayload(std::string_view leaf, bool executable, const std::vector<std::string>& kept);

// Removes the stale payloads of `folder` (its regular files, never through a link); returns how
// many were removed.
int RemoveStalePayloads(const std::filesystem::path& folder, const std::vector<std::string>& kept);

}  // namespace zt
