#include "update/transfer.h"

#include <algorithm>
#include <vector>
#include <cctype>
#include <fstream>
#include <system_error>

#include "app/fsutil.h"
#include "app/paths.h"

namespace zt {
namespace {

std::atomic<std::uint32_t> g_tempToken{0};
std::atomic<std::uint64_t> g_tempCounter{0};
constexpr std::string_view kTempSuffix = ".ztpart";
constexpr std::size_t kTransferBlockSize = 64 * 1024;

bool Expired(const TransferRequest& r) {
  if (r.cancelled != nullptr && r.cancelled->load()) return true;
  return std::chrono::steady_clock::now() > r.deadline;
}

std::string ExpiredReason(const TransferRequest& r) {
  return (r.cancelled != nullptr && r.cancelled->load()) ? "cancelled" : "time budget exceeded";
}

// Reads the body into `temp` up to the cap; `ended` tells whether the server ended it. Progress
// follows the 4096-byte chunks: one message for each chunk boundary the received count passes,
// never for the cap itself. The reason of a failure, or nothing.
std::optional<std::string> ReceiveBody(HttpSource& source, const TransferRequest& request,
                                       const std::function<void(unsigned)>& post, TempFile& temp,
                                       std::uint64_t& received, bool& ended) {
  const std::int32_t expected = request.expectedLength;
  // Reads are large for speed.
  std::vector<char> buffer(kTransferBlockSize);
  while (received < kDownloadBufferSize) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), kDownloadBufferSize - received));
    const HttpRead read = source.Read(buffer.data(), want);
    if (!read.ok) return read.reason.empty() ? "connection failed" : read.reason;
    if (Expired(request)) return ExpiredReason(request);
    if (read.bytes == 0) {
      ended = true;
      return std::nullopt;
    }
    if (!temp.Write({buffer.data(), read.bytes})) return "cannot write " + PathToUtf8(temp.Path());
    const std::uint64_t before = received;
    received += read.bytes;
    if (expected != 0) {
      for (std::uint64_t edge = (before / kDownloadChunkSize + 1) * kDownloadChunkSize;
           edge <= received && edge < kDownloadBufferSize; edge += kDownloadChunkSize)
        post(static_cast<unsigned>(edge * 100 / static_cast<std::uint64_t>(expected)));
    }
  }
  return std::nullopt;
}

// Why a received body may not be stored: cut short of what the server announced, not the length
// the caller expects, or too late.
std::optional<std::string> BodyRefusal(const TransferRequest& request, const TransferResult& result, bool ended) {
  const std::int32_t expected = request.expectedLength;
  if (ended && result.announced && result.received < *result.announced)
    return "body shorter than announced (" + std::to_string(*result.announced) + ")";
  if (expected != 0 && result.received != static_cast<std::uint64_t>(expected))
    return "length " + std::to_string(result.received) + " differs from expected " + std::to_string(expected);
  if (Expired(request)) return ExpiredReason(request);
  return std::nullopt;
}

TransferResult RunTransferUnguarded(HttpSource& source, const TransferRequest& request) {
  TransferResult result;
  const std::int32_t expected = request.expectedLength;
  const auto post = [&](unsigned percent) {
    if (request.progress && !(request.cancelled != nullptr && request.cancelled->load())) request.progress(percent);
  };
  // A negative length can never match a body; refuse before touching the network.
  if (expected < 0) {
    result.reason = "negative expected length";
    return result;
  }
  if (expected != 0) post(0);

  // The final 100 closes the progress display whatever the outcome.
  struct Final {
    std::function<void(unsigned)> send;
    ~Final() {
      if (send) send(100);
    }
  } final{expected != 0 ? std::function<void(unsigned)>(post) : nullptr};

  if (Expired(request)) {
    result.reason = ExpiredReason(request);
    return result;
  }
  const HttpAnswer answer = source.Open(std::string(kServerPathPrefix) + request.name);
  result.status = answer.status;
  result.announced = answer.announced;
  if (!answer.ok) {
    result.reason = answer.reason.empty() ? "no answer" : answer.reason;
    return result;
  }
  // An error page is never a file of ours.
  if (answer.status != 200) {
    result.reason = "HTTP status " + std::to_string(answer.status);
    return result;
  }

  std::error_code ec;
  std::filesystem::create_directories(request.folder, ec);
  TempFile temp(request.folder, request.name);
  if (!temp.Open()) {
    result.reason = "cannot create " + PathToUtf8(temp.Path());
    return result;
  }
  bool ended = false;
  if (auto failure = ReceiveBody(source, request, post, temp, result.received, ended)) {
    result.reason = std::move(*failure);
    return result;
  }
  if (auto refusal = BodyRefusal(request, result, ended)) {
    result.reason = std::move(*refusal);
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

}  // namespace

bool RenameReplacing(const std::filesystem::path& from, const std::filesystem::path& to, std::string& reason) {
  std::error_code ec;
  std::filesystem::rename(from, to, ec);
  if (ec) reason = ec.message();
  return !ec;
}

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

void SetTempToken(std::uint32_t token) { g_tempToken = token; }

std::filesystem::path UniqueTempPath(const std::filesystem::path& folder, std::string_view name) {
  std::string leaf(name);
  leaf += '.';
  leaf += std::to_string(g_tempToken.load());
  leaf += '-';
  leaf += std::to_string(++g_tempCounter);
  leaf += kTempSuffix;
  return folder / PathFromUtf8(leaf);
}

int RemoveStaleTempFiles(const std::filesystem::path& folder, std::chrono::hours maxAge) {
  int removed = 0;
  std::error_code ec;
  std::filesystem::directory_iterator it(folder, ec);
  if (ec) return 0;
  const auto now = std::filesystem::file_time_type::clock::now();
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::string leaf = PathToUtf8(it->path().filename());
    if (leaf.size() <= kTempSuffix.size() || !leaf.ends_with(kTempSuffix)) continue;
    std::error_code fe;
    if (!it->is_regular_file(fe) || fe) continue;
    const auto written = it->last_write_time(fe);
    if (fe || now - written < maxAge) continue;
    if (std::filesystem::remove(it->path(), fe) && !fe) ++removed;
  }
  return removed;
}

TempFile::TempFile(const std::filesystem::path& folder, std::string_view name) : m_path(UniqueTempPath(folder, name)) {}

TempFile::~TempFile() {
  if (m_committed) return;
  if (m_out.is_open()) m_out.close();
  std::error_code ec;
  std::filesystem::remove(m_path, ec);
}

bool TempFile::Open() {
  m_out.open(m_path, std::ios::binary | std::ios::trunc);
  return m_out.is_open();
}

bool TempFile::Write(std::string_view bytes) {
  return m_out.is_open() && m_out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool TempFile::CopyFrom(const std::filesystem::path& source, std::string& reason) {
  std::error_code ec;
  std::filesystem::copy_file(source, m_path, std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) reason = "copy " + PathToUtf8(source) + ": " + ec.message();
  return !ec;
}

bool TempFile::CommitTo(const std::filesystem::path& target, const ReplaceFileFn& replace, std::string& reason) {
  if (m_out.is_open()) {
    m_out.close();
    if (!m_out) {
      reason = "cannot write " + PathToUtf8(m_path);
      return false;
    }
  }
  std::string why;
  m_committed = replace ? replace(m_path, target, why) : RenameReplacing(m_path, target, why);
  if (!m_committed) reason = "cannot replace " + PathToUtf8(target) + ": " + why;
  return m_committed;
}

bool CopyReplacing(const std::filesystem::path& from, const std::filesystem::path& to, const ReplaceFileFn& replace,
                   std::string& reason) {
  TempFile temp(to.parent_path(), PathToUtf8(to.filename()));
  return temp.CopyFrom(from, reason) && temp.CommitTo(to, replace, reason);
}

std::optional<std::uint64_t> ParseDecimal(std::string_view text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<ServerAddress> ParseServerAddress(std::string_view text) {
  ServerAddress a;
  const auto colon = text.find(':');
  std::string_view host = text.substr(0, colon);
  if (host.empty()) return std::nullopt;
  for (char c : host) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (!(std::isalnum(u) || c == '.' || c == '-' || c == '_')) return std::nullopt;
  }
  a.host = std::string(host);
  if (colon == std::string_view::npos) return a;
  const std::string_view port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5) return std::nullopt;
  unsigned value = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return std::nullopt;
  a.port = static_cast<std::uint16_t>(value);
  return a;
}

bool IsSafeServerFileName(std::string_view name) {
  if (name.empty() || name.size() > 100 || name.front() == '.' || name.back() == '.') return false;
  if (name.find("..") != std::string_view::npos) return false;
  for (char c : name) {
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  // Device names are devices whatever extension follows them ("NUL.exe").
  std::string base(name.substr(0, name.find('.')));
  for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CLOCK$") return false;
  if (base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) && base[3] >= '0' && base[3] <= '9')
    return false;
  return true;
}

}  // namespace zt
