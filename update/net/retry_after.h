// A server that answers 503 or 429 with Retry-After is asked nothing more until that time (at most
// a day): its wish parsed, and the process-wide list of servers that asked to wait. Portable.
#pragma once
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace zt {

inline constexpr std::chrono::seconds kRetryAfterCap{24 * 60 * 60};

// An HTTP date in any of its three forms ("Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94
// 08:49:37 GMT", "Sun Nov  6 08:49:37 1994"), as UTC; nullopt when it is none of them.
std::optional<std::chrono::system_clock::time_point> ParseHttpDate(std::string_view text);

// The wait a Retry-After value asks for: delay seconds or an HTTP date (relative to `now`, a date
// already past is no wait), capped at kRetryAfterCap; nullopt when the value is neither.
std::optional<std::chrono::seconds> ParseRetryAfter(std::string_view value, std::chrono::system_clock::time_point now);

// Servers (by origin, "https://host:443") that asked to be left alone, and until when.
class ServerPauses {
 public:
  void PauseUntil(const std::string& origin, std::chrono::steady_clock::time_point until);
  // The end of the server's wait when it is still ahead of `now`.
  std::optional<std::chrono::steady_clock::time_point> PausedUntil(const std::string& origin,
                                                                   std::chrono::steady_clock::time_point now) const;

 private:
  mutable std::mutex m_mutex;
  std::map<std::string, std::chrono::steady_clock::time_point> m_until;
};

// The one list of this process: every download asks it before it sends a request.
ServerPauses& ProcessServerPauses();

}  // namespace zt
