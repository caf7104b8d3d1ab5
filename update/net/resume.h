// The resumable download of a file of known length: its part is kept under the tool's own name in
// the folder, with a record of the server, the name, the length and the validator, and continued
// by a range request, in the same call after a dropped connection and in a later call after a
// failure or a restart. Portable (no <windows.h>).
#pragma once
#include <chrono>
#include <filesystem>
#include <functional>
#include <string_view>

#include "update/net/transfer.h"

namespace zt {

// The resumable part of `name` in `folder` and its record (origin, name, length, validator).
std::filesystem::path ResumablePartPath(const std::filesystem::path& folder, std::string_view name);
std::filesystem::path ResumableRecordPath(const std::filesystem::path& folder, std::string_view name);
// Removes resumable parts and records in `folder` not written for `maxAge` (their file is no
// longer offered, or its server never answered again). Returns how many files were removed.
int RemoveStaleResumableParts(const std::filesystem::path& folder, std::chrono::hours maxAge);

// One transfer at a time per part within this process; a second one of the same file takes a
// temporary file of its own instead.
class PartClaim {
 public:
  explicit PartClaim(std::filesystem::path part);
  ~PartClaim();
  PartClaim(const PartClaim&) = delete;
  PartClaim& operator=(const PartClaim&) = delete;
  bool Held() const { return m_held; }

 private:
  std::filesystem::path m_part;
  bool m_held = false;
};

// The transfer of request.name through its kept part, which the caller has claimed: continued
// where the part ends while the server's copy is the one the record names, started over
// otherwise, and reconnected after a connection that brought bytes and then broke.
TransferResult RunResumable(HttpSource& source, const TransferRequest& request,
                            const std::function<void(unsigned)>& post, TransferResult result);

}  // namespace zt
