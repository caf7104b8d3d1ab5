#include "update/net/resume.h"

#include <algorithm>
#include <fstream>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "base/fsutil.h"
#include "base/paths.h"
#include "update/net/server_address.h"
#include "update/install/temp_file.h"
#include "update/net/transfer_loop.h"

namespace zt {
namespace {

constexpr std::string_view kPartSuffix = kResumePartSuffix;
constexpr std::string_view kRecordSuffix = kResumeRecordSuffix;
// A server whose ranges never fit is not asked for the whole file more often than this in one call.
constexpr int kMaxRestarts = 2;

// The parts claimed in this process, by their UTF-8 path.
std::mutex& ClaimMutex() {
  static std::mutex m;
  return m;
}

std::set<std::string>& Claimed() {
  static std::set<std::string> s;
  return s;
}

// The validator a range request may name: a strong ETag, else Last-Modified ("" for none).
std::string ValidatorOf(const HttpAnswer& answer) {
  if (!answer.etag.empty() && !answer.etag.starts_with("W/")) return answer.etag;
  return answer.lastModified;
}

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

// A file of known length through its kept part (see RunResumable).
class ResumableTransfer {
 public:
  ResumableTransfer(HttpSource& source, const TransferRequest& request, const ProgressPost& post)
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
        FileWriter out;
        // A part that starts over is made anew: the old one goes first, and a file that someone puts
        // under its name meanwhile is not written through.
        if (m_offset == 0) RemoveQuietly(m_part);
        // A part that is refused goes (its name only), so the next call starts over with a new one.
        if (!(m_offset > 0 ? out.Append(m_part) : out.Create(m_part)))
          return Fail(result, "cannot write the part " + out.Problem(), true);
        const auto write = [&](std::string_view b) { return out.Write(b); };
        failure = ReceiveBody(m_source, m_request, m_post, write, rate, m_offset, result.fetched, ended, lost);
        // A whole part goes to the disk through the handle that wrote it, before it is moved.
        const bool whole = !failure && m_offset == m_expected;
        const bool synced = !whole || out.Sync();
        if (!(out.Close() && synced) && !failure) failure = "cannot write " + PathToUtf8(m_part);
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
  const ProgressPost& m_post;
  const std::uint64_t m_expected;
  const std::filesystem::path m_part, m_record;
  std::uint64_t m_offset = 0;
  std::string m_validator;
};

}  // namespace

PartClaim::PartClaim(std::filesystem::path part) : m_part(std::move(part)) {
  std::lock_guard lock(ClaimMutex());
  m_held = Claimed().insert(PathToUtf8(m_part)).second;
}

PartClaim::~PartClaim() {
  if (!m_held) return;
  std::lock_guard lock(ClaimMutex());
  Claimed().erase(PathToUtf8(m_part));
}

TransferResult RunResumable(HttpSource& source, const TransferRequest& request, const ProgressPost& post,
                            TransferResult result) {
  return ResumableTransfer(source, request, post).Run(std::move(result));
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

}  // namespace zt
