// The download loop, independent of the HTTP library: it pulls the body from a small source
// interface, streams it to a file beside the target, reports progress, and moves the file over the
// target only when the body is whole and of the expected length. A file of known length is
// resumable (update/net/resume.h). Portable (no <windows.h>).
#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "update/net/retry_after.h"
#include "update/install/temp_file.h"

namespace zt {

inline constexpr std::size_t kDownloadChunkSize = 4096;
// No body is read beyond this many bytes; the rest of a longer body is never fetched. It bounds the
// whole file, across resumes.
inline constexpr std::uint64_t kDownloadBufferSize = 0x1E00000;  // 31,457,280

// The request: the whole file, or the rest of it from `from` when the server's copy is still the
// one `ifRange` names.
struct HttpGet {
  std::string path;
  std::uint64_t from = 0;  // > 0: "Range: bytes=<from>-"
  std::string ifRange;     // with `from`: "If-Range: <ifRange>"
};

// What the server answered to the GET, once the request was sent.
struct HttpAnswer {
  bool ok = false;                         // false: no answer (reason says why)
  int status = 0;                          // HTTP status code
  std::optional<std::uint64_t> announced;  // Content-Length, when the server gave one
  std::string reason;
  std::string contentRange;  // the headers as served ("" when absent)
  std::string etag;
  std::string lastModified;
  std::string retryAfter;
};

struct HttpRead {
  bool ok = false;        // false: the connection failed mid-body (reason says why)
  std::size_t bytes = 0;  // 0 with ok: the body has ended
  std::string reason;
};

// One GET at a time; a new Open ends the previous request. Implementations never throw.
class HttpSource {
 public:
  virtual ~HttpSource() = default;
  virtual HttpAnswer Open(const HttpGet& get) = 0;
  virtual HttpRead Read(char* buffer, std::size_t size) = 0;
};

// Reconnects within one transfer, each after a connection that brought bytes, and the pause
// before each; a body slower than kMinimumRate bytes per kRateWindow is stopped.
inline constexpr int kMaxReconnects = 32;
inline constexpr std::chrono::milliseconds kReconnectPause{1000};
inline constexpr std::uint64_t kMinimumRate = 60 * 1024;
inline constexpr std::chrono::seconds kRateWindow{60};

struct TransferRequest {
  std::string name;                 // file name on the server and in the folder (already validated)
  std::int32_t expectedLength = 0;  // 0: any length, no progress, never resumed
  std::filesystem::path folder;     // where the file is stored
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
  std::function<void(unsigned percent)> progress;  // may be empty
  const std::atomic<bool>* cancelled = nullptr;    // set by a watchdog: stop, store nothing
  ReplaceFileFn replace;                           // empty: RenameReplacing
  std::string origin;              // the server ("https://host:443"): a part of another is not continued
  ServerPauses* pauses = nullptr;  // servers that asked to wait (none: never asked)
  std::chrono::milliseconds reconnectPause = kReconnectPause;
  std::chrono::steady_clock::duration rateWindow = kRateWindow;
  std::uint64_t minimumRate = kMinimumRate;  // bytes per rateWindow
};

struct TransferResult {
  bool stored = false;
  int status = 0;
  std::optional<std::uint64_t> announced;
  std::uint64_t received = 0;                      // bytes of the file in hand at the end (resumed ones included)
  std::uint64_t fetched = 0;                       // bytes of bodies received by this call
  std::uint64_t resumedFrom = 0;                   // the offset the first request of this call continued from
  int connections = 0;                             // requests sent by this call
  std::optional<std::chrono::seconds> retryAfter;  // the wait the server asked for
  std::string reason;                              // why it was not stored, or "stored"
};

// GET kServerPathPrefix + name from `source` into folder/name. Never throws. Progress: the share in
// hand before the body when a length is expected (0 for a fresh transfer), received*100/expected
// after each full chunk (above 100 for a long body), 100 at the end whatever the outcome; nothing
// at all when no length is expected.
TransferResult RunTransfer(HttpSource& source, const TransferRequest& request);

// "bytes <first>-<last>/<total>"; nullopt when malformed or the total is unknown ("*").
struct ContentRange {
  std::uint64_t first = 0, last = 0, total = 0;
};
std::optional<ContentRange> ParseContentRange(std::string_view text);

}  // namespace zt
