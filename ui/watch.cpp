#include "ui/watch.h"

#include <cstdio>
#include <initializer_list>

#include "base/descriptor.h"

namespace zt {
namespace {

// Replaces each "%d" of a template, in order, by the given numbers.
std::string FormatNumbers(std::string_view text, std::initializer_list<std::uint32_t> numbers) {
  std::string out;
  auto next = numbers.begin();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == 'd' && next != numbers.end()) {
      out += SignedDecimal(*next++);
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

const char* OutcomeWord(WatchOutcome outcome) {
  switch (outcome) {
    case WatchOutcome::NoDevice:
      return "no device";
    case WatchOutcome::UpToDate:
      return "up to date";
    case WatchOutcome::Older:
      return "older, data update started";
    case WatchOutcome::MajorUpdate:
      return "major update, nothing started";
    case WatchOutcome::AlreadyReported:
      return "already reported";
    case WatchOutcome::LaunchSpacing:
      return "older, waiting for the launch spacing";
    case WatchOutcome::Held:
      return "older, its writes failed: waiting for the user's start";
  }
  return "?";
}

bool IsUpdaterCheckTick(std::uint32_t tick) {
  return tick == kFirstUpdaterCheckTick || tick % kCheckPeriodTicks == kUpdaterCheckPhase;
}

bool IsDataCheckTick(std::uint32_t tick) {
  return tick == kFirstDataCheckTick || tick % kCheckPeriodTicks == kDataCheckPhase;
}

}  // namespace

std::chrono::milliseconds FetchBudget(FetchPurpose purpose) {
  return purpose == FetchPurpose::Refresh ? std::chrono::milliseconds(5000) : std::chrono::milliseconds(30000);
}

std::string UpToDateText(std::uint32_t deviceVersion) { return FormatNumbers(kBalloonUpToDate, {deviceVersion}); }

std::string MajorUpdateText(std::uint32_t deviceVersion, std::uint32_t newestVersion) {
  return FormatNumbers(kBalloonMajor, {deviceVersion, newestVersion});
}

std::string HeldText(std::uint32_t deviceVersion) {
  return FormatNumbers(
      "当前连接的产品数据版本较旧（%d），自动写入已失败两次。\r\n"
      "请打开主界面点击“启动升级包”重试，或联系厂家。",
      {deviceVersion});
}

std::string PrintableBytes(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

void DeviceWatch::OnWatchTick() {
  const std::uint32_t tick = ++g_nTick;

  if (tick % 3 == 1) m_host.RefreshInfo();

  if (IsUpdaterCheckTick(tick)) {
    if (m_host.IsBusy()) {
      m_host.Log("check", "updater check at tick " + std::to_string(tick) + " skipped: busy");
    } else {
      m_host.Log("check", "updater check at tick " + std::to_string(tick));
      RequestFetch(FetchPurpose::UpdaterCheck);
    }
  }

  const bool due = m_fetch.dataCheck == FetchState::DataCheck::Due;
  if (IsDataCheckTick(tick) || due) {
    if (m_host.IsBusy()) {
      // A scheduled check is skipped; one that waited for the fetch waits for the worker that the
      // same fetch may have started (a new executable offered too), or it would be lost for hours.
      if (!due) m_host.Log("check", "data check at tick " + std::to_string(tick) + " skipped: busy");
      return;
    }
    m_fetch.dataCheck = FetchState::DataCheck::None;
    if (m_fetch.Running()) {
      // It works on the descriptor that fetch brings.
      m_host.Log("check", "data check at tick " + std::to_string(tick) + " waits for the descriptor fetch");
      m_fetch.dataCheck = FetchState::DataCheck::WaitsForFetch;
    } else {
      m_host.Log("check", "data check at tick " + std::to_string(tick));
      m_host.LoadLocalVersion();
      m_host.StartDataThread();
    }
  }

  if (tick % 3 == 0 && !m_host.IsBusy()) {
    const DevicePoll poll = m_host.PollDevice();
    Decide(poll);
  }
}

void DeviceWatch::OnDeviceArrival() {
  if (m_host.IsBusy()) return;
  Decide(m_host.PollDevice());
}

void DeviceWatch::RequestFetch(FetchPurpose purpose) {
  const bool running = m_fetch.Running();
  m_fetch.purposes |= static_cast<unsigned>(purpose);
  if (!running) m_host.StartDescriptorFetch(purpose);
}

void DeviceWatch::RequestRefreshFetch() {
  if (m_fetchBackoff.Due(g_nTick)) RequestFetch(FetchPurpose::Refresh);
}

void DeviceWatch::OnFetchDone(bool fetched) {
  const FetchState ended = std::exchange(m_fetch, FetchState{});
  const auto wanted = [&](FetchPurpose p) { return (ended.purposes & static_cast<unsigned>(p)) != 0; };
  // The refresh and the checks go on where they waited for the fetch; the busy flag may have
  // changed while it ran.
  if (wanted(FetchPurpose::Refresh)) {
    m_fetchBackoff.Record(g_nTick, fetched);
    if (!fetched)
      m_host.Log("refresh", "descriptor fetch failed " + std::to_string(m_fetchBackoff.Failures()) +
                                " time(s); next try in " + std::to_string(m_fetchBackoff.Wait()) + " ticks");
    if (!m_host.IsBusy()) {
      m_host.LoadLocalVersion();
      m_host.StartDataThread();
    }
  }
  if (wanted(FetchPurpose::UpdaterCheck) && !m_host.IsBusy()) m_host.StartUpdaterThread();
  // A data check that waited runs at the tick after this one, so that an updater download started
  // just now has made the window busy; the refresh above has done its work already.
  if (ended.dataCheck == FetchState::DataCheck::WaitsForFetch && !wanted(FetchPurpose::Refresh))
    m_fetch.dataCheck = FetchState::DataCheck::Due;
  if (wanted(FetchPurpose::Refresh)) m_host.RefreshInfo();
}

void DeviceWatch::OnWriteEnded(const std::string& identity, std::uint32_t newest, bool written) {
  g_nLastLaunchTick = g_nTick;
  m_writeFailures.Record(identity, newest, written);
}

int WriteFailures::Count(const std::string& identity, std::uint32_t newest) const {
  const auto it = m_counts.find({identity, newest});
  return it == m_counts.end() ? 0 : it->second;
}

void WriteFailures::Record(const std::string& identity, std::uint32_t newest, bool written) {
  if (written)
    m_counts.erase({identity, newest});
  else
    ++m_counts[{identity, newest}];
}

void DeviceWatch::OnForgetTick() {
  m_strLastDevice = std::string(kNoDeviceRemembered);
  m_bDeviceRemembered = false;
  m_strLastQuietLog.clear();
}

bool DeviceWatch::IdentityDiffers(const std::string& id) const { return !m_bDeviceRemembered || id != m_strLastDevice; }

void DeviceWatch::Remember(const std::string& id) {
  m_strLastDevice = id;
  m_bDeviceRemembered = true;
}

void DeviceWatch::NoteNothingFound(const DevicePoll& poll) {
  if (poll.problem.empty()) {
    // A device that went away may be logged again when it comes back.
    m_strLastQuietLog.clear();
    return;
  }
  // Plugged in but silent: said once, not every third second.
  const std::string details = "found but no valid answer: " + poll.problem;
  if (details != m_strLastQuietLog) LogDevice(details);
  m_strLastQuietLog = details;
}

WatchOutcome DeviceWatch::Decide(const DevicePoll& poll) {
  if (!poll.found) {
    NoteNothingFound(poll);
    return WatchOutcome::NoDevice;
  }
  const std::uint32_t d = poll.dataVersion;
  const std::uint32_t n = static_cast<std::uint32_t>(AtoiRule(m_host.InstalledDataVersion()));
  const bool differs = IdentityDiffers(poll.identity);

  WatchOutcome outcome;
  if (n > d) {
    if (!differs) {
      outcome = WatchOutcome::AlreadyReported;
    } else if (g_nTick - g_nLastLaunchTick <= kLaunchSpacingTicks) {
      outcome = WatchOutcome::LaunchSpacing;
    } else if (d > kLastVersionBeforeMajor || n <= kLastVersionBeforeMajor) {
      outcome = m_writeFailures.Count(poll.identity, n) >= kAutomaticWrites ? WatchOutcome::Held : WatchOutcome::Older;
    } else {
      outcome = WatchOutcome::MajorUpdate;
    }
  } else {
    outcome = differs ? WatchOutcome::UpToDate : WatchOutcome::AlreadyReported;
  }

  LogDecision(poll, n, outcome);
  Act(outcome, poll, n);
  return outcome;
}

void DeviceWatch::Act(WatchOutcome outcome, const DevicePoll& poll, std::uint32_t n) {
  const std::uint32_t d = poll.dataVersion;
  switch (outcome) {
    case WatchOutcome::Older:
      Remember(poll.identity);
      m_host.ShowBalloon(std::string(kBalloonOlder));
      m_host.SetForgetTimer(kForgetAfterReportMs);
      // Counted also when the launch is refused; a write that runs counts again from its end.
      g_nLastLaunchTick = g_nTick;
      m_host.LaunchDataUpdater(poll, n);
      break;
    case WatchOutcome::Held:
      Remember(poll.identity);
      m_host.ShowBalloon(HeldText(d));
      m_host.SetForgetTimer(kForgetAfterReportMs);
      m_host.OfferStartButton();
      break;
    case WatchOutcome::MajorUpdate:
      Remember(poll.identity);
      m_host.SetForgetTimer(kForgetAfterMajorMs);
      m_host.ShowBalloon(MajorUpdateText(d, n));
      break;
    case WatchOutcome::UpToDate:
      Remember(poll.identity);
      m_host.ShowBalloon(UpToDateText(d));
      m_host.SetForgetTimer(kForgetAfterReportMs);
      break;
    case WatchOutcome::NoDevice:
    case WatchOutcome::AlreadyReported:
    case WatchOutcome::LaunchSpacing:
      break;
  }
}

void DeviceWatch::LogDecision(const DevicePoll& poll, std::uint32_t newest, WatchOutcome outcome) {
  std::string details = "id \"" + PrintableBytes(poll.identity) + "\", data version " +
                        SignedDecimal(poll.dataVersion) + ", flash " +
                        (poll.flashName.empty() ? std::string("unknown") : PrintableBytes(poll.flashName)) +
                        (poll.flashSize.empty() ? std::string() : "," + PrintableBytes(poll.flashSize)) + ", newest " +
                        SignedDecimal(newest) + ": " + OutcomeWord(outcome);
  const bool quiet = outcome == WatchOutcome::AlreadyReported || outcome == WatchOutcome::LaunchSpacing;
  if (quiet) {
    if (details == m_strLastQuietLog) return;
    m_strLastQuietLog = details;
  } else {
    m_strLastQuietLog.clear();
  }
  LogDevice(details);
}

void DeviceWatch::LogDevice(const std::string& details) {
  m_host.Log("device", details + " (tick " + std::to_string(g_nTick) + ")");
}

}  // namespace zt
