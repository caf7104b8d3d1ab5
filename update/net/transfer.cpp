#include "update/net/transfer.h"

#include <algorithm>
#include <system_error>
#include <vector>

#include "base/fsutil.h"
#include "base/paths.h"
#include "update/net/resume.h"
#include "update/net/server_address.h"
#include "update/net/transfer_loop.h"

namespace zt {
namespace {

constexpr std::size_t kTransferBlockSize = 64 * 1024;

}  // namespace

// The pieces the resumable transfer shares (transfer_loop.h).
bool Expired(const TransferRequest& r) {
  if (r.cancelled != nullptr && r.cancelled->load()) return true;
  return std::chrono::steady_clock::now() > r.deadline;
}

std::string ExpiredReason(const TransferRequest& r) {
  return (r.cancelled != nullptr && r.cancelled->load()) ? "cancelled" : "time budget exceeded";
}

unsigned Percent(std::uint64_t offset, std::int32_t expected) {
  return static_cast<unsigned>(offset * 100 / static_cast<std::uint64_t>(expected));
}

std::optional<std::string> ReceiveBody(HttpSource& source, const TransferRequest& request, const ProgressPost& post,
                                       const std::function<bool(std::string_view)>& write, RateWatch& rate,
                                       std::uint64_t& offset, std::uint64_t& fetched, bool& ended,
                                       bool& connectionLost) {
  const std::int32_t expected = request.expectedLength;
  // Reads are large for speed.
  std::vector<char> buffer(kTransferBlockSize);
  while (offset < kDownloadBufferSize) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), kDownloadBufferSize - offset));
    const HttpRead read = source.Read(buffer.data(), want);
    if (Expired(request)) return ExpiredReason(request);
    if (!read.ok) {
      connectionLost = true;
      return read.reason.empty() ? "connection failed" : read.reason;
    }
    if (read.bytes == 0) {
      ended = true;
      return std::nullopt;
    }
    if (!write({buffer.data(), read.bytes})) return "cannot write the downloaded file";
    const std::uint64_t before = offset;
    offset += read.bytes;
    fetched += read.bytes;
    if (expected != 0) {
      for (std::uint64_t edge = (before / kDownloadChunkSize + 1) * kDownloadChunkSize;
           edge <= offset && edge < kDownloadBufferSize; edge += kDownloadChunkSize)
        post(Percent(edge, expected));
    }
    if (auto slow = rate.Check(fetched)) return slow;
  }
  return std::nullopt;
}

std::string StatusRefusal(const TransferRequest& request, const HttpAnswer& answer, TransferResult& result) {
  std::string reason = "HTTP status " + std::to_string(answer.status);
  if ((answer.status == 503 || answer.status == 429) && !answer.retryAfter.empty()) {
    if (auto wait = ParseRetryAfter(answer.retryAfter, std::chrono::system_clock::now())) {
      result.retryAfter = wait;
      if (request.pauses != nullptr && wait->count() > 0)
        request.pauses->PauseUntil(request.origin, std::chrono::steady_clock::now() + *wait);
      reason += "; the server asks to wait " + std::to_string(wait->count()) + " s";
    }
  }
  return reason;
}

namespace {

// Refuses at once a request to a server that asked to be left alone; otherwise nothing.
std::optional<std::string> PauseRefusal(const TransferRequest& request) {
  if (request.pauses == nullptr) return std::nullopt;
  const auto now = std::chrono::steady_clock::now();
  const auto until = request.pauses->PausedUntil(request.origin, now);
  if (!until) return std::nullopt;
  const auto left = std::chrono::ceil<std::chrono::seconds>(*until - now).count();
  return "not asked: the server asked to be left alone for " + std::to_string(left) + " s more (Retry-After)";
}

// The single request of a file without a length to expect (or longer than the cap, or whose part
// another transfer holds): into a temporary file of its own, never continued.
TransferResult RunWhole(HttpSource& source, const TransferRequest& request, const ProgressPost& post,
                        TransferResult result) {
  const std::int32_t expected = request.expectedLength;
  ++result.connections;
  const HttpAnswer answer = source.Open({std::string(kServerPathPrefix) + request.name, 0, {}});
  result.status = answer.status;
  result.announced = answer.announced;
  if (!answer.ok) {
    result.reason = answer.reason.empty() ? "no answer" : answer.reason;
    return result;
  }
  // An error page is never a file of ours.
  if (answer.status != 200) {
    result.reason = StatusRefusal(request, answer, result);
    return result;
  }
  TempFile temp(request.folder, request.name);
  if (!temp.Open()) {
    result.reason = "cannot create " + PathToUtf8(temp.Path());
    return result;
  }
  bool ended = false, lost = false;
  RateWatch rate(request);
  const auto write = [&](std::string_view bytes) { return temp.Write(bytes); };
  if (auto failure = ReceiveBody(source, request, post, write, rate, result.received, result.fetched, ended, lost)) {
    result.reason = std::move(*failure);
    return result;
  }
  if (ended && result.announced && result.received < *result.announced) {
    result.reason = "body shorter than announced (" + std::to_string(*result.announced) + ")";
    return result;
  }
  if (expected != 0 && result.received != static_cast<std::uint64_t>(expected)) {
    result.reason = "length " + std::to_string(result.received) + " differs from expected " + std::to_string(expected);
    return result;
  }
  if (Expired(request)) {
    result.reason = ExpiredReason(request);
    return result;
  }
  std::string reason;
  if (!temp.CommitTo(request.folder / PathFromUtf8(request.name), request.replace, reason)) {
    result.reason = std::move(reason);
    return result;
  }
  result.stored = true;
  result.reason = "stored";
  return result;
}

TransferResult RunTransferUnguarded(HttpSource& source, const TransferRequest& request) {
  TransferResult result;
  const std::int32_t expected = request.expectedLength;
  const ProgressPost post = [&](unsigned percent) {
    if (request.progress && !(request.cancelled != nullptr && request.cancelled->load())) request.progress(percent);
  };
  // A negative length can never match a body; refuse before touching the network.
  if (expected < 0) {
    result.reason = "negative expected length";
    return result;
  }
  // Nothing at all is sent to a server that asked to be left alone.
  if (auto refusal = PauseRefusal(request)) {
    result.reason = std::move(*refusal);
    return result;
  }
  const bool resumable = expected > 0 && static_cast<std::uint64_t>(expected) <= kDownloadBufferSize;
  std::error_code ec;
  std::filesystem::create_directories(request.folder, ec);
  PartClaim claim(resumable ? ResumablePartPath(request.folder, request.name) : std::filesystem::path());
  if (!(resumable && claim.Held()) && expected != 0) post(0);

  // The final 100 closes the progress display whatever the outcome.
  struct Final {
    ProgressPost send;
    ~Final() {
      if (send) send(100);
    }
  } final{expected != 0 ? post : nullptr};

  if (Expired(request)) {
    result.reason = ExpiredReason(request);
    return result;
  }
  if (resumable && claim.Held()) return RunResumable(source, request, post, std::move(result));
  return RunWhole(source, request, post, std::move(result));
}

}  // namespace

TransferResult RunTransfer(HttpSource& source, const TransferRequest& request) {
  try {
    return RunTransferUnguarded(source, request);
  } catch (const std::exception& e) {
    TransferResult r;
    r.reason = std::string("error: ") + e.what();
    return r;
  } catch (...) {
    TransferResult r;
    r.reason = "error";
    return r;
  }
}

std::optional<ContentRange> ParseContentRange(std::string_view text) {
  if (!text.starts_with("bytes ")) return std::nullopt;
  text.remove_prefix(6);
  const auto dash = text.find('-'), slash = text.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || dash > slash) return std::nullopt;
  const auto first = ParseDecimal(text.substr(0, dash));
  const auto last = ParseDecimal(text.substr(dash + 1, slash - dash - 1));
  const auto total = ParseDecimal(text.substr(slash + 1));
  if (!first || !last || !total || *first > *last || *last >= *total) return std::nullopt;
  return ContentRange{*first, *last, *total};
}

}  // namespace zt
