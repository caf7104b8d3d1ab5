// The download loop, independent of the HTTP library: it pulls the body from a small source
// interface, streams it to a temporary file unique to the transfer, reports progress, and moves
// the file over the target only when the body is whole and accepted. Portable (no <windows.h>).
#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace zt {

inline constexpr std::size_t kDownloadChunkSize = 4096;
// No body is read beyond this many bytes; the rest of a longer body is never fetched.
inline constexpr std::uint64_t kDownloadBufferSize = 0x1E00000;  // 31,457,280

// What the server answered to the GET, once the request was sent.
struct HttpAnswer {
  bool ok = false;                         // false: no answer (reason says why)
  int status = 0;                          // HTTP status code
  std::optional<std::uint64_t> announced;  // Content-Length, when the server gave one
  std::string reason;
};

struct HttpRead {
  bool ok = false;        // false: the connection failed mid-body (reason says why)
  std::size_t bytes = 0;  // 0 with ok: the body has ended
  std::string reason;
};

// One GET on one connection. Implementations never throw.
class HttpSource {
 public:
  virtual ~HttpSource() = default;
  virtual HttpAnswer Open(const std::string& path) = 0;
  virtual HttpRead Read(char* buffer, std::size_t size) = 0;
};

// Moves `from` over `to`, replacing it; false and a reason when it cannot.
using ReplaceFileFn =
    std::function<bool(const std::filesystem::path& from, const std::filesystem::path& to, std::string& reason)>;
// The portable replacement (std::filesystem::rename); the Windows glue passes MoveFileExW.
bool RenameReplacing(const std::filesystem::path& from, const std::filesystem::path& to, std::string& reason);

struct TransferRequest {
  std::string name;                 // file name on the server and in the folder (already validated)
  std::int32_t expectedLength = 0;  // 0: any length, no progress
  std::filesystem::path folder;     // where the file is stored
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
  std::function<void(unsigned percent)> progress;  // may be empty
  const std::atomic<bool>* cancelled = nullptr;    // set by a watchdog: stop, store nothing
  ReplaceFileFn replace;                           // empty: RenameReplacing
};

struct TransferResult {
  bool stored = false;
  int status = 0;
  std::optional<std::uint64_t> announced;
  std::uint64_t received = 0;
  std::string reason;  // why it was not stored, or "stored"
};

// GET kServerPathPrefix + name from `source` into folder/name. Never throws. Progress: 0 before the
// body when a length is expected, received*100/expected after each full chunk (above 100 for a
// long body), 100 at the end whatever the outcome; nothing at all when no length is expected.
TransferResult RunTransfer(HttpSource& source, const TransferRequest& request);

// A temporary name in the same folder, unique to this transfer (process token and a counter), so
// two transfers of the same file never share a partial file.
std::filesystem::path UniqueTempPath(const std::filesystem::path& folder, std::string_view name);
// The process token in temporary names (the Windows glue sets the process id; default 0).
void SetTempToken(std::uint32_t token);
// Removes temporary files left in `folder` by transfers that never finished, older than `maxAge`.
// Returns how many were removed.
int RemoveStaleTempFiles(const std::filesystem::path& folder, std::chrono::hours maxAge);

// A temporary file beside its target that removes itself unless it is committed: the target is
// only ever the old file or the whole new one, and a crash leaves a stale temporary file that the
// next start removes.
class TempFile {
 public:
  TempFile(const std::filesystem::path& folder, std::string_view name);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const std::filesystem::path& Path() const { return m_path; }
  // Creates the file for writing; false when it cannot.
  bool Open();
  bool Write(std::string_view bytes);
  // Fills the file with a copy of `source`; false and a reason when it cannot.
  bool CopyFrom(const std::filesystem::path& source, std::string& reason);
  // Closes the file (flushing what was written) and moves it over `target` with `replace`
  // (RenameReplacing when empty); false and a reason when it cannot, the target then untouched.
  bool CommitTo(const std::filesystem::path& target, const ReplaceFileFn& replace, std::string& reason);

 private:
  std::filesystem::path m_path;
  std::ofstream m_out;
  bool m_committed = false;
};

// Copies `from` to `to` through a TempFile, so `to` is either the old file or a whole new copy.
// False and a reason when it could not.
bool CopyReplacing(const std::filesystem::path& from, const std::filesystem::path& to, const ReplaceFileFn& replace,
                   std::string& reason);

// Decimal digits only (no sign, no blanks), up to the largest 64-bit value; nullopt otherwise.
std::optional<std::uint64_t> ParseDecimal(std::string_view text);

// "host" or "host:port" (port 1..65535); nullopt when malformed. Port 0 means the default (80).
struct ServerAddress {
  std::string host;
  std::uint16_t port = 0;
};
std::optional<ServerAddress> ParseServerAddress(std::string_view text);

// A name from the server that may be used as a file name and inside the script: ASCII letters,
// digits, '.', '_', '-'; 1 to 100 characters; not starting with '.'; no ".."; no device name.
bool IsSafeServerFileName(std::string_view name);

}  // namespace zt
