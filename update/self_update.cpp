#include "update/self_update.h"

#include <fstream>
#include <system_error>
#include <thread>

#include "base/descriptor.h"
#include "base/fsutil.h"
#include "base/log.h"
#include "update/pe_image.h"
#include "update/server_address.h"
#include "update/temp_file.h"

namespace zt {
namespace {

constexpr char kEvent[] = "self-update";

// Removes a file on the way out unless the run got far enough to keep it.
struct RemoveUnlessKept {
  std::filesystem::path file;
  bool keep = false;
  ~RemoveUnlessKept() {
    if (!keep) RemoveQuietly(file);
  }
};

// Why an offered version cannot be installed here, said before anything is downloaded.
std::optional<std::string> OfferRefusal(UpdateContext& c, std::string_view file, std::string_view length,
                                        std::int32_t expected, ReplaceabilityCheck& check,
                                        const std::filesystem::path& exe) {
  // Refused, but the descriptor stays: the data check that follows still needs it.
  if (!IsUsableServerFile(file))
    return "refused: updater_file " + LogValue(c.shown(file)) +
           " is not a plain file name, or a name the tool uses itself";
  // The executable is never replaced by a body of unchecked length.
  if (expected <= 0) return "refused: updater_length " + LogValue(c.shown(length)) + " is not a length";
  if (auto problem = check.Problem(exe)) return "not installed: " + *problem;
  return std::nullopt;
}

// Why the image is not the version the descriptor offers, for the processor this build runs on.
std::optional<std::string> ImageProblem(std::string_view image, std::string_view offered, std::uint16_t machine) {
  const auto facts = ReadImageFacts(image);
  if (!facts) return "it is not a Windows executable";
  if (facts->machine != machine)
    return "it is built for " + MachineName(facts->machine) + ", this tool runs as " + MachineName(machine);
  if (!facts->fileVersion) return "it has no version resource";
  if (*facts->fileVersion != offered)
    return "its version resource says " + *facts->fileVersion + ", the descriptor " + std::string(offered);
  return std::nullopt;
}

// The downloaded executable goes beside the old one, is checked there while this process can
// still say that something went wrong, and is swapped in. The reason of a failure, or nothing.
std::optional<std::string> PlaceAndSwap(UpdateContext& c, const std::filesystem::path& downloaded,
                                        std::int32_t expected, std::string_view text, std::string_view offered,
                                        ExecutableSwap& swap, ReplaceabilityCheck& check, const UpdaterPaths& paths) {
  const std::filesystem::path placed = NewExecutablePath(paths.exe);
  // Declared before the hold, so the hold is given up before the file is removed.
  RemoveUnlessKept placedGuard{placed};
  std::string reason;
  if (!CopyReplacing(downloaded, placed, paths.replace, reason)) return "not placed beside the executable: " + reason;
  // The download may have taken many minutes: the executable or its folder can have become
  // unwritable meanwhile.
  if (auto problem = check.Problem(paths.exe)) return "not installed: " + *problem;
  // From here on nobody can change the copy: what is checked is what moves into place.
  HeldFile held;
  if (auto refusal = c.trust.PayloadRefusal(text, kUpdaterHashKey, placed, &held, HoldFor::Moving))
    return "the copy beside the executable was refused: " + *refusal;
  if (held.bytes.size() != static_cast<std::size_t>(expected))
    return "the copy beside the executable is not the downloaded one";
  if (auto problem = ImageProblem(held.bytes, offered, paths.machine)) {
    // The same bytes would be fetched and refused at every check: never again.
    c.user.RememberFailedUpdaterVersion(offered);
    return "refused and not fetched again: " + *problem;
  }
  if (!swap.SwapIn(held, paths.exe, OldExecutablePath(paths.exe), reason)) return "not swapped in: " + reason;
  placedGuard.keep = true;
  swap.Ready(std::string(offered), std::move(held));
  return std::nullopt;
}

const char* OutcomeText(StartOutcome outcome) {
  switch (outcome) {
    case StartOutcome::Confirmed:
      return "confirmed that it runs";
    case StartOutcome::Ended:
      return "ended before it confirmed that it runs";
    case StartOutcome::NotConfirmed:
      return "did not confirm that it runs in time";
    case StartOutcome::CouldNotStart:
      return "could not be started";
  }
  return "?";
}

}  // namespace

std::filesystem::path NewExecutablePath(const std::filesystem::path& exe) {
  std::filesystem::path p = exe;
  p += ".ztnew";
  return p;
}

std::filesystem::path OldExecutablePath(const std::filesystem::path& exe) {
  std::filesystem::path p = exe;
  p += ".ztold";
  return p;
}

std::optional<std::string> FolderReplaceabilityCheck::Problem(const std::filesystem::path& exe) {
  std::error_code ec;
  const auto status = std::filesystem::status(exe, ec);
  if (ec || !std::filesystem::is_regular_file(status)) return "the executable " + PathToUtf8(exe) + " is not a file";
  if ((status.permissions() & std::filesystem::perms::owner_write) == std::filesystem::perms::none)
    return "the executable " + PathToUtf8(exe) + " is read-only";
  const std::filesystem::path probe = UniqueTempPath(exe.parent_path(), "replace-probe");
  {
    std::ofstream out(probe, std::ios::binary | std::ios::trunc);
    if (!out || !out.write("z", 1) || (out.close(), !out)) {
      RemoveQuietly(probe);
      return "cannot create a file in " + PathToUtf8(exe.parent_path());
    }
  }
  if (!std::filesystem::remove(probe, ec) || ec) return "cannot delete a file in " + PathToUtf8(exe.parent_path());
  return std::nullopt;
}

int RunUpdaterProcedure(UpdateContext& c, ExecutableSwap& swap, ReplaceabilityCheck& check, const UpdaterPaths& paths) {
  const DescriptorCopy server = c.descriptor.Server();
  const std::string& text = server.text;
  if (text.empty()) return 0;
  const std::string offered = GetKeyValue(text, "updater_version"), file = GetKeyValue(text, "updater_file"),
                    length = GetKeyValue(text, "updater_length");
  if (offered.empty() || file.empty() || length.empty()) {
    c.descriptor.ClearServerTextIf(text);
    LogEvent(kEvent, "descriptor incomplete: updater_version, updater_file or updater_length missing");
    return 0;
  }
  if (offered == paths.appVersion) {
    c.notices.UpdaterDone(false);
    return 0;
  }
  const std::string version = LogValue(c.shown(offered));
  const std::int32_t expected = AtoiRule(length);
  const std::string rollout = GetKeyValue(text, "updater_rollout");
  std::optional<std::string> refusal;
  if (c.user.UpdaterVersionFailed(offered)) {
    refusal = "not fetched: it failed here before";
  } else if (!InRollout(rollout, c.user.RolloutBucket())) {
    refusal = "is offered to " + LogValue(rollout) + " % of installations; this one (bucket " +
              std::to_string(c.user.RolloutBucket()) + ") keeps " + paths.appVersion;
  } else {
    refusal = OfferRefusal(c, file, length, expected, check, paths.exe);
  }
  std::shared_ptr<void> lock;
  if (!refusal) {
    std::string busy;
    lock = c.shared.Lock(busy);
    if (!lock) refusal = "not downloaded now: " + busy;
  }
  if (refusal) {
    LogEvent(kEvent, "version " + version + " " + *refusal);
    c.notices.UpdaterDone(false);
    return 0;
  }

  LogEvent(kEvent, "version " + version + " offered; downloading " + file);
  c.notices.UpdaterDownloading();
  DoneNotice done([&](bool ok) { c.notices.UpdaterDone(ok); });
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const std::filesystem::path downloaded = paths.downloadFolder / PathFromUtf8(file);
  std::optional<std::string> failure =
      DownloadChecked(c.downloader, c.trust, text, kUpdaterHashKey, file, expected, downloaded, kEvent);
  if (!failure) {
    lock.reset();  // the rest happens beside the executable, in this user's own folder
    failure = PlaceAndSwap(c, downloaded, expected, text, offered, swap, check, paths);
  }
  if (failure) {
    LogEvent(kEvent, "version " + version + ": " + *failure);
    return 0;
  }
  LogEvent(kEvent, "version " + version + (c.trust.KeyBuiltIn() ? " (signature and hash verified)" : "") +
                       " is in place; the tool ends so that it can start");
  done.Succeeded();
  return 1;
}

bool FinishReplacement(ReplacementStart& start, UserState& user, const std::filesystem::path& exe,
                       std::string_view version) {
  const std::string shown = LogValue(version);
  std::string detail;
  const auto waitStart = std::chrono::steady_clock::now();
  const StartOutcome outcome =
      start.StartNew(std::chrono::duration_cast<std::chrono::milliseconds>(kConfirmationWait), detail);
  if (outcome == StartOutcome::Confirmed) {
    // The previous version stopped its work just before the wait: this is how long the tool was away.
    const auto away =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - waitStart);
    LogEvent(kEvent, "version " + shown + " " + OutcomeText(outcome) + ", " + std::to_string(away.count()) +
                         " ms after the previous version stopped");
    return true;
  }
  LogEvent(kEvent, "version " + shown + " " + OutcomeText(outcome) + (detail.empty() ? "" : " (" + detail + ")") +
                       ": the previous version is put back and not replaced by it again");
  start.EndNew();
  user.RememberFailedUpdaterVersion(version);
  std::string reason;
  std::filesystem::path old = exe;
  if (!start.PutBackOld(reason)) {
    // The previous version still runs from its place aside, for this session at least.
    LogEvent(kEvent, "cannot put the previous version back: " + reason);
    old = OldExecutablePath(exe);
  }
  if (!start.StartOld(old, reason)) LogEvent(kEvent, "cannot start the previous version again: " + reason);
  return false;
}

}  // namespace zt
