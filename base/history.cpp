#include "base/history.h"

#include <fstream>
#include <mutex>
#include <system_error>

#include "base/fsutil.h"
#include "base/log.h"

namespace zt {
namespace {

std::mutex g_historyMutex;
std::filesystem::path g_historyFile;
std::function<void(const Outcome&)> g_listener;

// A field never holds the separators of the line.
std::string Field(std::string_view value) {
  std::string out(value);
  for (char& c : out)
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  return out;
}

std::vector<std::string> ReadLines(const std::filesystem::path& file) {
  std::vector<std::string> lines;
  std::ifstream in(file, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

// The line without its time: what repeats when the same thing happens again.
std::string_view WithoutTime(std::string_view line) {
  const std::size_t tab = line.find('\t');
  return tab == std::string_view::npos ? std::string_view() : line.substr(tab + 1);
}

bool WriteLines(const std::filesystem::path& file, const std::vector<std::string>& lines) {
  std::filesystem::path temp = file;
  temp += ".new";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    for (const std::string& line : lines) out << line << "\r\n";
    if (!out.flush()) return false;
  }
  std::error_code ec;
  std::filesystem::rename(temp, file, ec);
  return !ec;
}

}  // namespace

std::string HistoryLine(std::string_view time, const Outcome& o) {
  std::string versions = Field(o.version);
  if (!o.from.empty()) versions = Field(o.from) + "->" + versions;
  if (!o.seq.empty()) versions += " (seq " + Field(o.seq) + ")";
  return std::string(time) + "\t" + Field(o.what) + "\t" + Field(o.result) + "\t" + versions + "\t" + Field(o.words);
}

void SetHistoryPath(const std::filesystem::path& file) {
  std::lock_guard lock(g_historyMutex);
  g_historyFile = file;
}

void SetOutcomeListener(std::function<void(const Outcome&)> listener) {
  std::lock_guard lock(g_historyMutex);
  g_listener = std::move(listener);
}

bool RecordOutcome(const Outcome& outcome) {
  std::function<void(const Outcome&)> listener;
  try {
    std::lock_guard lock(g_historyMutex);
    if (g_historyFile.empty()) return false;
    std::vector<std::string> lines = ReadLines(g_historyFile);
    const std::string line = HistoryLine(LocalTimeStamp(), outcome);
    if (outcome.result == kResultRefused || outcome.result == kResultDeferred) {
      for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        const std::string_view rest = WithoutTime(*it);
        if (!rest.starts_with(Field(outcome.what) + "\t")) continue;
        if (rest == WithoutTime(line)) return false;
        break;
      }
    }
    lines.push_back(line);
    if (lines.size() > kHistoryMaxLines) lines.erase(lines.begin(), lines.end() - kHistoryMaxLines);
    std::error_code ec;
    std::filesystem::create_directories(g_historyFile.parent_path(), ec);
    if (!WriteLines(g_historyFile, lines)) LogEvent("history", "cannot write " + PathToUtf8(g_historyFile));
    listener = g_listener;
  } catch (...) {
    return false;  // the tool never stops because it cannot keep its history
  }
  LogEvent("history", HistoryLine("", outcome).substr(1));
  if (listener) listener(outcome);
  return true;
}

std::vector<std::string> HistoryLines() {
  std::lock_guard lock(g_historyMutex);
  if (g_historyFile.empty()) return {};
  return ReadLines(g_historyFile);
}

}  // namespace zt
