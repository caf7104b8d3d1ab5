// What both sides of a self-update share: the hand-over's record in this user's own folder (see
// hand_over.h), the confirmation event's name, and removing a file a process has just let go of.
#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "update/install/hand_over.h"

namespace zt {

// Where the hand-over's record is kept (this user's own folder); until set, none is kept.
void SetReplacementRecordPath(const std::filesystem::path& file);

// The event a replaced start sets: named with the random part its command line gives, or, for a
// start by a version of the earlier order, with its own process id.
std::wstring ConfirmationEventName(std::string_view suffix);

// Paths compared as Windows does (case-insensitively).
bool SamePath(const std::filesystem::path& a, const std::filesystem::path& b);
// Deletes `file`, trying again for a moment while it is held; true when it is gone (or was never there).
bool RemoveWithRetries(const std::filesystem::path& file, int attempts, std::string& reason);

bool WriteHandOverRecord(const ReplacementRecord& record, std::string& reason);
// The record, when there is one of the process `newProcess` (0: of any).
std::optional<ReplacementRecord> HandOverRecordOf(std::uint32_t newProcess);
void RemoveHandOverRecord();

}  // namespace zt
