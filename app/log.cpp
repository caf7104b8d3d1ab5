#include "app/log.h"

#include <ctime>
#include <fstream>
#include <mutex>
#include <string>
#include <system_error>

namespace zt {
namespace {

std::mutex g_logMutex;
std::filesystem::path g_logPath;

std::string TimeStamp() {
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

}  // namespace

void SetLogPath(const std::filesystem::path& path) {
  std::lock_guard lock(g_logMutex);
  g_logPath = path;
}

void LogEvent(std::string_view event, std::string_view details) {
  try {
    std::string line = TimeStamp();
    line += ' ';
    line += event;
    if (!details.empty()) {
      line += ' ';
      line += OneLine(details);
    }
    line += "\r\n";

    std::lock_guard lock(g_logMutex);
    if (g_logPath.empty()) return;
    std::error_code ec;
    std::filesystem::create_directories(g_logPath.parent_path(), ec);
    const auto size = std::filesystem::file_size(g_logPath, ec);
    if (!ec && size + line.size() > kLogMaxBytes) {
      auto old = g_logPath;
      old += ".1";
      std::filesystem::rename(g_logPath, old, ec);  // replaces an older .1
    }
    std::ofstream out(g_logPath, std::ios::binary | std::ios::app);
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
  } catch (...) {
    // The tool never stops because it cannot log.
  }
}

}  // namespace zt
