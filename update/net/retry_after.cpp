#include "update/net/retry_after.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <vector>

#include "update/net/server_address.h"

namespace zt {
namespace {

std::optional<unsigned> MonthNumber(std::string_view token) {
  static constexpr std::array<std::string_view, 12> kMonths = {"jan", "feb", "mar", "apr", "may", "jun",
                                                               "jul", "aug", "sep", "oct", "nov", "dec"};
  if (token.size() != 3) return std::nullopt;
  std::string lower(token);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (unsigned i = 0; i < kMonths.size(); ++i)
    if (kMonths[i] == lower) return i + 1;
  return std::nullopt;
}

// "hh:mm:ss" as seconds of the day.
std::optional<unsigned> TimeOfDay(std::string_view token) {
  if (token.size() != 8 || token[2] != ':' || token[5] != ':') return std::nullopt;
  const auto h = ParseDecimal(token.substr(0, 2)), m = ParseDecimal(token.substr(3, 2)),
             s = ParseDecimal(token.substr(6, 2));
  if (!h || !m || !s || *h > 23 || *m > 59 || *s > 60) return std::nullopt;
  return static_cast<unsigned>(*h * 3600 + *m * 60 + *s);
}

}  // namespace

std::optional<std::chrono::system_clock::time_point> ParseHttpDate(std::string_view text) {
  // The three forms differ in order and separators only: a weekday, the day, the month's name, the
  // year (two digits in the obsolete form), the time, and "GMT" except in asctime's form.
  std::vector<std::string_view> tokens;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == ',' || text[i] == '-')) ++i;
    const std::size_t start = i;
    while (i < text.size() && text[i] != ' ' && text[i] != ',' && text[i] != '-') ++i;
    if (i > start) tokens.push_back(text.substr(start, i - start));
  }
  std::optional<unsigned> month, seconds;
  std::vector<std::uint64_t> numbers;
  std::vector<std::size_t> widths;
  bool gmt = false;
  for (std::size_t t = 0; t < tokens.size(); ++t) {
    const std::string_view token = tokens[t];
    if (auto n = ParseDecimal(token)) {
      numbers.push_back(*n);
      widths.push_back(token.size());
    } else if (auto s = TimeOfDay(token)) {
      if (seconds) return std::nullopt;
      seconds = s;
    } else if (auto m = MonthNumber(token)) {
      if (month) return std::nullopt;
      month = m;
    } else if (token == "GMT") {
      gmt = true;
    } else if (t != 0) {
      return std::nullopt;  // only the weekday may be a word of its own
    }
  }
  if (!month || !seconds || numbers.size() != 2 || widths[0] > 2) return std::nullopt;
  const bool asctime = !gmt;
  if (asctime && widths[1] != 4) return std::nullopt;
  std::uint64_t year = numbers[1];
  if (widths[1] == 2) {
    year += year >= 70 ? 1900 : 2000;
  } else if (widths[1] != 4) {
    return std::nullopt;
  }
  const std::chrono::year_month_day date{std::chrono::year(static_cast<int>(year)), std::chrono::month(*month),
                                         std::chrono::day(static_cast<unsigned>(numbers[0]))};
  if (!date.ok()) return std::nullopt;
  return std::chrono::sys_days(date) + std::chrono::seconds(*seconds);
}

std::optional<std::chrono::seconds> ParseRetryAfter(std::string_view value, std::chrono::system_clock::time_point now) {
  while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  while (!value.empty() && value.back() == ' ') value.remove_suffix(1);
  const bool digits =
      !value.empty() && std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (digits) {
    // A delay too large for any counter is still a delay: the cap applies.
    const std::optional<std::uint64_t> delay = ParseDecimal(value);
    if (!delay || *delay > static_cast<std::uint64_t>(kRetryAfterCap.count())) return kRetryAfterCap;
    return std::chrono::seconds(*delay);
  }
  const auto date = ParseHttpDate(value);
  if (!date) return std::nullopt;
  if (*date <= now) return std::chrono::seconds(0);
  const auto wait = std::chrono::ceil<std::chrono::seconds>(*date - now);
  return wait > kRetryAfterCap ? kRetryAfterCap : wait;
}

void ServerPauses::PauseUntil(const std::string& origin, std::chrono::steady_clock::time_point until) {
  std::lock_guard lock(m_mutex);
  m_until[origin] = until;
}

std::optional<std::chrono::steady_clock::time_point> ServerPauses::PausedUntil(
    const std::string& origin, std::chrono::steady_clock::time_point now) const {
  std::lock_guard lock(m_mutex);
  const auto it = m_until.find(origin);
  if (it == m_until.end() || it->second <= now) return std::nullopt;
  return it->second;
}

ServerPauses& ProcessServerPauses() {
  static ServerPauses pauses;
  return pauses;
}

}  // namespace zt
