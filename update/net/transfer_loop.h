// The pieces of one download that the whole transfer (transfer.cpp) and the resumable one
// (resume.cpp) share: the budget, the rate watch, the body loop and the refusal of an answer.
// For those two files only. Portable (no <windows.h>).
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "update/net/transfer.h"

namespace zt {

// Where the loop sends its progress, in percent of the expected length.
using ProgressPost = std::function<void(unsigned)>;

// The watchdog cancelled the transfer or its deadline passed.
bool Expired(const TransferRequest& r);
std::string ExpiredReason(const TransferRequest& r);
unsigned Percent(std::uint64_t offset, std::int32_t expected);

// Bytes per window over the whole call, across reconnects: a trickle ends the transfer so that the
// window, busy while a package downloads, polls the device again.
class RateWatch {
 public:
  explicit RateWatch(const TransferRequest& r) : m_window(r.rateWindow), m_minimum(r.minimumRate) {}
  std::optional<std::string> Check(std::uint64_t fetched) {
    const auto now = std::chrono::steady_clock::now();
    if (now - m_start < m_window) return std::nullopt;
    if (fetched - m_fetchedAtStart < m_minimum)
      return "slower than " + std::to_string(m_minimum) + " bytes in " +
             std::to_string(std::chrono::duration_cast<std::chrono::seconds>(m_window).count()) + " s";
    m_start = now;
    m_fetchedAtStart = fetched;
    return std::nullopt;
  }

 private:
  std::chrono::steady_clock::duration m_window;
  std::uint64_t m_minimum;
  std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
  std::uint64_t m_fetchedAtStart = 0;
};

// Reads the body through `write` up to the cap (counted from the start of the file); `ended` tells
// whether the server ended it. Progress follows the 4096-byte chunks of the file: one message for
// each chunk boundary the offset passes, never for the cap itself. The reason of a failure, or
// nothing; `connectionLost` tells a failure that another connection may mend.
std::optional<std::string> ReceiveBody(HttpSource& source, const TransferRequest& request, const ProgressPost& post,
                                       const std::function<bool(std::string_view)>& write, RateWatch& rate,
                                       std::uint64_t& offset, std::uint64_t& fetched, bool& ended,
                                       bool& connectionLost);

// The reason of an answer that is no file of ours; a 503 or 429 with Retry-After also makes the
// tool leave the server alone until then.
std::string StatusRefusal(const TransferRequest& request, const HttpAnswer& answer, TransferResult& result);

}  // namespace zt
