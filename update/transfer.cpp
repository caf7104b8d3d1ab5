#include "update/transfer.h"

#include <algorithm>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

#include "base/fsutil.h"
#include "base/paths.h"
#include "update/server_address.h"

namespace zt {
namespace {

constexpr std::size_t kTransferBlockSize = 64 * 1024;
constexpr std::string_view kPartSuffix = kResumePartSuffix;
constexpr std::string_view kRecordSuffix = kResumeRecordSuffix;
// A server whose ranges never fit is not asked for the whole file more often than this in one call.
constexpr int kMaxRestarts = 2;

using Post = std::function<void(unsigned)>;

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
std::optional<std::string> ReceiveBody(HttpSource& source, const TransferRequest& request, const Post& post,
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

// Refuses at once a request to a server that asked to be left alone; otherwise nothing.
std::optional<std::string> PauseRefusal(const TransferRequest& request) {
  if (request.pauses == nullptr) return std::nullopt;
  const auto now = std::chrono::steady_clock::now();
  const auto until = request.pauses->PausedUntil(request.origin, now);
  if (!until) return std::nullopt;
  const auto left = std::chrono::ceil<std::chrono::seconds>(*until - now).count();
  return "not asked: the server asked to be left alone for " + std::to_string(left) + " s more (Retry-After)";
}

// The reason of an answer that is no file of ours; a 503 or 429 with Retry-After also makes the
// tool leave the server alone until then.
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

// The validator a range request may name: a strong ETag, else Last-Modified ("" for none).
std::string ValidatorOf(const HttpAnswer& answer) {
  if (!answer.etag.empty() && !answer.etag.starts_with("W/")) return answer.etag;
  return answer.lastModified;
}

// One transfer at a time per part within this process; a second one of the same file takes a
// temporary file of its own instead.
class PartClaim {
 public:
  explicit PartClaim(std::filesystem::path part) : m_part(std::move(part)) {
    std::lock_guard lock(Mutex());
    m_held = Claimed().insert(PathToUtf8(m_part)).second;
  }
  ~PartClaim() {
    if (!m_held) return;
    std::lock_guard lock(Mutex());
    Claimed().erase(PathToUtf8(m_part));
  }
  PartClaim(const PartClaim&) = delete;
  PartClaim& operator=(const PartClaim&) = delete;
  bool Held() const { return m_held; }

 private:
  static std::mutex& Mutex() {
    static std::mutex m;
    return m;
  }
  static std::set<std::string>& Claimed() {
    static std::set<std::string> s;
    return s;
  }
  std::filesystem::path m_part;
  bool m_held = false;
};

struct PartRecord {
  std::string origin, name, validator;
  std::uint64_t length = 0;
};

std::optional<PartRecord> LoadRecord(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  PartRecord r;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "origin") r.origin = value;
    if (key == "name") r.name = value;
    if (key == "validator") r.validator = value;
    if (key == "length") r.length = ParseDecimal(value).value_or(0);
  }
  return r;
}

// Header values hold no line ends; one that did would be cut here rather than forge a key.
std::string WithoutLineEnds(std::string_view value) {
  std::string s(value);
  s.erase(std::remove_if(s.begin(), s.end(), [](char c) { return c == '\r' || c == '\n'; }), s.end());
  return s;
}

bool SaveRecord(const std::filesystem::path& folder, const std::filesystem::path& file, const PartRecord& r,
                const ReplaceFileFn& replace) {
  const std::string text = "origin=" + WithoutLineEnds(r.origin) + "\nname=" + WithoutLineEnds(r.name) +
                           "\nlength=" + std::to_string(r.length) + "\nvalidator=" + WithoutLineEnds(r.validator) +
                           "\n";
  TempFile temp(folder, PathToUtf8(file.filename()));
  std::string reason;
  return temp.Open() && temp.Write(text) && temp.CommitTo(file, replace, reason);
}

// Waits before a reconnect; false when the transfer must end meanwhile.
bool PauseBeforeReconnect(const TransferRequest& request) {
  const auto end = std::chrono::steady_clock::now() + request.reconnectPause;
  while (std::chrono::steady_clock::now() < end) {
    if (Expired(request)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return !Expired(request);
}

// The single request of a file without a length to expect (or longer than the cap, or whose part
// another transfer holds): into a temporary file of its own, never continued.
TransferResult RunWhole(HttpSource& source, const TransferRequest& request, const Post& post, TransferResult result) {
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

// A file of known length through its kept part: continued where the part ends while the server's
// copy is the one the record names, started over otherwise, and reconnected after a connection
// that brought bytes and then broke.
class ResumableTransfer {
 public:
  ResumableTransfer(HttpSource& source, const TransferRequest& request, const Post& post)
      : m_source(source),
        m_request(request),
        m_post(post),
        m_expected(static_cast<std::uint64_t>(request.expectedLength)),
        m_part(ResumablePartPath(request.folder, request.name)),
        m_record(ResumableRecordPath(request.folder, request.name)) {}

  TransferResult Run(TransferResult result) {
    TakeOverKeptPart();
    result.resumedFrom = result.received = m_offset;
    m_post(Percent(m_offset, m_request.expectedLength));
    RateWatch rate(m_request);
    int reconnects = 0, restarts = 0;
    for (;;) {
      if (Expired(m_request)) return Fail(result, ExpiredReason(m_request));
      if (auto slow = rate.Check(result.fetched)) return Fail(result, *slow);
      ++result.connections;
      const HttpAnswer answer = m_source.Open(
          {std::string(kServerPathPrefix) + m_request.name, m_offset, m_offset > 0 ? m_validator : std::string()});
      result.status = answer.status;
      result.announced = answer.announced;
      if (!answer.ok) return Fail(result, answer.reason.empty() ? "no answer" : answer.reason);
      const std::optional<std::uint64_t> segmentEnd = Accept(answer);
      if (!segmentEnd) {
        if (answer.status != 200 && answer.status != 206 && answer.status != 416)
          return Fail(result, StatusRefusal(m_request, answer, result));
        if (++restarts > kMaxRestarts) return Fail(result, "the server's ranges never fit the file");
        StartOver();
        continue;
      }
      const std::uint64_t segmentStart = m_offset;
      std::optional<std::string> failure;
      bool ended = false, lost = false;
      {
        std::ofstream out(m_part, std::ios::binary | (m_offset == 0 ? std::ios::trunc : std::ios::app));
        if (!out) return Fail(result, "cannot create " + PathToUtf8(m_part));
        const auto write = [&](std::string_view b) {
          return static_cast<bool>(out.write(b.data(), static_cast<std::streamsize>(b.size())));
        };
        failure = ReceiveBody(m_source, m_request, m_post, write, rate, m_offset, result.fetched, ended, lost);
        out.close();
        if (!out && !failure) failure = "cannot write " + PathToUtf8(m_part);
      }
      result.received = m_offset;
      // A body that ends before what its answer announced was cut off, not shorter.
      if (!failure && ended && answer.announced && m_offset - segmentStart < *answer.announced) {
        failure = "body shorter than announced (" + std::to_string(*answer.announced) + ")";
        lost = true;
      }
      if (failure) {
        const bool progressed = m_offset > segmentStart;
        if (lost && progressed && !m_validator.empty() && reconnects < kMaxReconnects &&
            PauseBeforeReconnect(m_request)) {
          ++reconnects;
          continue;
        }
        return Fail(result, *failure);
      }
      // A server may send less of the file than asked: the rest comes with the next request.
      if (answer.status == 206 && m_offset == *segmentEnd && m_offset < m_expected && m_offset > segmentStart &&
          reconnects < kMaxReconnects) {
        ++reconnects;
        continue;
      }
      if (m_offset != m_expected)
        return Fail(
            result,
            "length " + std::to_string(m_offset) + " differs from expected " + std::to_string(m_request.expectedLength),
            true);
      if (Expired(m_request)) return Fail(result, ExpiredReason(m_request));
      std::string why;
      const std::filesystem::path target = m_request.folder / PathFromUtf8(m_request.name);
      const bool moved =
          m_request.replace ? m_request.replace(m_part, target, why) : RenameReplacing(m_part, target, why);
      if (!moved) return Fail(result, "cannot replace " + PathToUtf8(target) + ": " + why, true);
      RemoveQuietly(m_record);
      result.stored = true;
      result.reason = "stored";
      return result;
    }
  }

 private:
  // Continues a part kept for this very file of this server, shorter than the file; anything else
  // kept under the name goes.
  void TakeOverKeptPart() {
    const std::optional<PartRecord> kept = LoadRecord(m_record);
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(m_part, ec);
    if (kept && !ec && kept->origin == m_request.origin && kept->name == m_request.name && kept->length == m_expected &&
        !kept->validator.empty() && size > 0 && size < m_expected) {
      m_offset = size;
      m_validator = kept->validator;
      return;
    }
    Discard();
  }

  // Where the body of an answer ends in the file, when the answer continues it (206 from the part's
  // end, of this file's length) or replaces it (200); nullopt when the part must start over or the
  // answer is no file of ours.
  std::optional<std::uint64_t> Accept(const HttpAnswer& answer) {
    if (answer.status == 206 && m_offset > 0) {
      const std::optional<ContentRange> range = ParseContentRange(answer.contentRange);
      if (!range || range->first != m_offset || range->total != m_expected || range->last >= m_expected)
        return std::nullopt;
      return range->last + 1;
    }
    if (answer.status != 200) return std::nullopt;
    if (m_offset > 0) {
      m_offset = 0;  // the server's copy changed, or it ignores ranges: the whole file comes
      m_post(0);
    }
    m_validator = ValidatorOf(answer);
    if (m_validator.empty() ||
        !SaveRecord(m_request.folder, m_record, {m_request.origin, m_request.name, m_validator, m_expected},
                    m_request.replace)) {
      // Without a validator (or its record) a part can never be continued safely.
      m_validator.clear();
      RemoveQuietly(m_record);
    }
    return m_expected;
  }

  void StartOver() {
    Discard();
    m_post(0);
  }

  void Discard() {
    RemoveQuietly(m_record);
    RemoveQuietly(m_part);
    m_offset = 0;
    m_validator.clear();
  }

  // The part stays for the next call when it can be continued and is not `spoiled`.
  TransferResult Fail(TransferResult result, std::string reason, bool spoiled = false) {
    result.received = m_offset;
    result.reason = std::move(reason);
    if (spoiled || m_validator.empty()) Discard();
    return result;
  }

  HttpSource& m_source;
  const TransferRequest& m_request;
  const Post& m_post;
  const std::uint64_t m_expected;
  const std::filesystem::path m_part, m_record;
  std::uint64_t m_offset = 0;
  std::string m_validator;
};

TransferResult RunTransferUnguarded(HttpSource& source, const TransferRequest& request) {
  TransferResult result;
  const std::int32_t expected = request.expectedLength;
  const Post post = [&](unsigned percent) {
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
    Post send;
    ~Final() {
      if (send) send(100);
    }
  } final{expected != 0 ? post : nullptr};

  if (Expired(request)) {
    result.reason = ExpiredReason(request);
    return result;
  }
  if (resumable && claim.Held()) return ResumableTransfer(source, request, post).Run(std::move(result));
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

std::filesystem::path ResumablePartPath(const std::filesystem::path& folder, std::string_view name) {
  return folder / PathFromUtf8(std::string(name) + std::string(kPartSuffix));
}

std::filesystem::path ResumableRecordPath(const std::filesystem::path& folder, std::string_view name) {
  return folder / PathFromUtf8(std::string(name) + std::string(kRecordSuffix));
}

int RemoveStaleResumableParts(const std::filesystem::path& folder, std::chrono::hours maxAge) {
  return RemoveStaleFiles(folder, maxAge, [](std::string_view leaf) {
    return leaf.ends_with(kPartSuffix) || leaf.ends_with(kRecordSuffix);
  });
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
