#include "base/log.h"

#include <chrono>
#include <ctime>
#include <fstream>
#include <mutex>
#include <string>
#include <system_error>

#include "base/paths.h"

namespace zt {
namespace {

std::mutex g_logMutex;
std::filesystem::path g_logPath;
// After a line could not be appended (another process holds the log), the lines of this while are
// dropped at once: each would wait for its turn again, and a thread that logs several lines in a
// row (the window's among them) would wait for each, one after another.
constexpr auto kHeldLogPause = std::chrono::seconds(10);
std::chrono::steady_clock::time_point g_heldUntil{};
bool (*g_folderWritable)(const std::filesystem::path&) = nullptr;

bool AppendByStream(const std::filesystem::path& file, std::string_view line) {
  std::ofstream out(file, std::ios::binary | std::ios::app);
  return static_cast<bool>(out.write(line.data(), static_cast<std::streamsize>(line.size())));
}
bool (*g_append)(const std::filesystem::path&, std::string_view) = AppendByStream;

}  // namespace

std::string LocalTimeStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

namespace {

std::string OneLine(std::string_view details) {
  std::string out;
  out.reserve(details.size());
  for (size_t i = 0; i < details.size(); ++i) {
    const char c = details[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < details.size() && details[i + 1] == '\n') ++i;
      out += " | ";
    } else {
      out += c;
    }
  }
  return out;
}

// The longest prefix of at most `max` bytes that does not end inside a UTF-8 sequence.
std::string_view CutUtf8(std::string_view text, std::size_t max) {
  if (text.size() <= max) return text;
  std::size_t end = max;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

}  // namespace

std::string LogValue(std::string_view utf8) {
  const std::string_view kept = CutUtf8(utf8, kLogValueMaxBytes);
  std::string out;
  for (const char c : kept) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
  if (kept.size() < utf8.size()) out += "... (" + std::to_string(utf8.size()) + " bytes)";
  return out;
}

void SetLogPath(const std::filesystem::path& path) {
  std::lock_guard lock(g_logMutex);
  g_logPath = path;
  g_heldUntil = {};
}

void SetLogAppender(bool (*append)(const std::filesystem::path& file, std::string_view line)) {
  std::lock_guard lock(g_logMutex);
  g_append = append ? append : AppendByStream;
  g_heldUntil = {};
}

void SetLogFolderCheck(bool (*writable)(const std::filesystem::path& folder)) {
  std::lock_guard lock(g_logMutex);
  g_folderWritable = writable;
}

void LogEvent(std::string_view event, std::string_view details) {
  try {
    std::string line = LocalTimeStamp();
    line += ' ';
    line += event;
    if (!details.empty()) {
      line += ' ';
      line += OneLine(CutUtf8(details, kLogLineMaxBytes));
    }
    line += "\r\n";

    std::lock_guard lock(g_logMutex);
    if (g_logPath.empty()) return;
    if (std::chrono::steady_clock::now() < g_heldUntil) return;
    if (g_folderWritable && !g_folderWritable(g_logPath.parent_path())) return;
    std::error_code ec;
    std::filesystem::create_directories(g_logPath.parent_path(), ec);
    const auto size = std::filesystem::file_size(g_logPath, ec);
    if (!ec && size + line.size() > kLogMaxBytes) {
      auto old = g_logPath;
      old += kOldLogSuffix;
      std::filesystem::rename(g_logPath, old, ec);  // replaces an older one
    }
    if (!g_append(g_logPath, line)) g_heldUntil = std::chrono::steady_clock::now() + kHeldLogPause;
  } catch (...) {
    // The tool never stops because it cannot log.
  }
}

}  // namespace zt
