#include "update/install/self_update.h"

#include <fstream>
#include <system_error>
#include <thread>

#include "base/descriptor.h"
#include "base/fsutil.h"
#include "base/log.h"
#include "base/notice.h"
#include "base/paths.h"
#include "update/trust/pe_image.h"
#include "update/net/server_address.h"
#include "update/install/temp_file.h"

namespace zt {
namespace {

// Removes a file on the way out unless the run got far enough to keep it.
struct RemoveUnlessKept {
  std::filesystem::path file;
  bool keep = false;
  ~RemoveUnlessKept() {
    if (!keep) RemoveQuietly(file);
  }
};

// Major.minor as numbers; nullopt for anything else.
std::optional<std::pair<std::uint64_t, std::uint64_t>> VersionNumbers(std::string_view text) {
  const std::size_t dot = text.find('.');
  if (dot == std::string_view::npos) return std::nullopt;
  const auto major = ParseDecimal(text.substr(0, dot)), minor = ParseDecimal(text.substr(dot + 1));
  if (!major || !minor) return std::nullopt;
  return std::pair(*major, *minor);
}

// Why the image is not the version the descriptor offers, for the processor this build runs on;
// `machine` tells a build for another processor (a publication's mix-up, not a bad version).
std::optional<std::string> ImageProblem(std::string_view image, std::string_view offered, std::uint16_t machine,
                                        bool& otherMachine) {
  const auto facts = ReadImageFacts(image);
  if (!facts) return "it is not a Windows executable";
  otherMachine = facts->machine != machine;
  if (otherMachine)
    return "it is built for " + MachineName(facts->machine) + ", this tool runs as " + MachineName(machine);
  if (!facts->fileVersion) return "it has no version resource";
  if (*facts->fileVersion != offered)
    return "its version resource says " + *facts->fileVersion + ", the descriptor " + std::string(offered);
  return std::nullopt;
}

// The executable: fetched into this user's own folder (no other account's lock can stop it),
// checked beside the running one and handed on to be started from there.
class UpdaterSteps final : public OfferSteps {
 public:
  UpdaterSteps(UpdateContext& c, ExecutableSwap& swap, ReplaceabilityCheck& check, const UpdaterPaths& paths)
      : m_c(c), m_swap(swap), m_check(check), m_paths(paths) {}

  std::string_view Event() const override { return kSelfUpdateEvent; }
  Offer Read(std::string_view text) const override { return UpdaterOffer(text, m_paths.machine); }

  std::optional<OfferStop> Check(const Offer& offer, const DescriptorCopy&) override {
    // An x64 build reads its own keys: a publication without them still serves the data check.
    if (!offer.Complete())
      return OfferStop{"descriptor incomplete: " + offer.keys.version + ", " + offer.keys.file + " or " +
                       offer.keys.length + " missing"};
    // Versions differ when their texts differ, byte for byte; the same one is answered at once.
    if (offer.version == m_paths.appVersion) return OfferStop{};
    const std::string refusal = Refusal(offer);
    if (refusal.empty()) return std::nullopt;
    return OfferStop{"version " + LogValue(m_c.shown(offer.version)) + " " + refusal};
  }

  std::shared_ptr<void> Hold(std::string&) override { return std::make_shared<int>(0); }
  unsigned Deferred() const override { return kExecutableDeferred; }
  std::string DeferredWhat() const override { return kWhatUpdater; }
  std::string DeferredName() const override { return "新版本自动升级工具"; }
  std::filesystem::path DownloadFolder() const override { return m_paths.downloadFolder; }
  void Announce() override { m_c.notices.UpdaterDownloading(); }
  void Done(bool replacing) override { m_c.notices.UpdaterDone(replacing); }
  void Quiet() override { m_c.notices.UpdaterDone(false); }

  std::optional<std::string> Install(const Offer& offer, const std::filesystem::path& downloaded,
                                     const DescriptorCopy&) override {
    return PlaceAndHandOn(offer, downloaded);
  }

  std::optional<Outcome> Installed(const Offer& offer, const DescriptorCopy&) override {
    LogEvent(kSelfUpdateEvent, "version " + LogValue(m_c.shown(offer.version)) +
                                   (m_c.trust.KeyBuiltIn() ? " (signature and hash verified)" : "") +
                                   " is in place as " + PathToUtf8(NewExecutablePath(m_paths.exe).filename()) +
                                   "; it starts from there and the tool ends");
    return std::nullopt;  // kept, or rolled back, once it has had its chance to run
  }

  std::optional<Outcome> Refused(const Offer& offer, const DescriptorCopy& server, std::string_view why) override {
    return Outcome{kWhatUpdater,
                   kResultRefused,
                   m_c.shown(offer.version),
                   m_paths.appVersion,
                   Sequence(server),
                   CauseOf(why),
                   "新版本自动升级工具未通过校验，未安装"};
  }

 private:
  // Why an offered version is not fetched here, said before anything is downloaded; "" when it is.
  std::string Refusal(const Offer& offer) {
    if (m_c.user.UpdaterVersionFailed(offer.version)) return "not fetched: it failed here before";
    const auto offered = VersionNumbers(offer.version), running = VersionNumbers(m_paths.appVersion);
    // A vendor undoes a release with a higher version: an old signed publication replayed must not
    // bring a lower one back.
    if (offered && running && *offered < *running) return "not fetched: it is lower than " + m_paths.appVersion;
    if (!InRollout(offer.rollout, m_c.user.RolloutBucket()))
      return "is offered to " + LogValue(offer.rollout) + " % of installations; this one (bucket " +
             std::to_string(m_c.user.RolloutBucket()) + ") keeps " + m_paths.appVersion;
    // Refused, but the descriptor stays: the data check that follows still needs it.
    if (!IsUsableServerFile(offer.file))
      return "refused: " + offer.keys.file + " " + LogValue(m_c.shown(offer.file)) +
             " is not a plain file name, or a name the tool uses itself";
    // The executable is never replaced by a body of unchecked length.
    if (offer.length <= 0)
      return "refused: " + offer.keys.length + " " + LogValue(m_c.shown(offer.lengthText)) + " is not a length";
    if (auto problem = m_check.Problem(m_paths.exe)) return "not installed: " + *problem;
    return {};
  }

  // The downloaded executable goes beside the old one, is checked there while this process can
  // still say that something went wrong, and is handed on, held, to be started from there; the
  // executable itself is not touched. The reason of a failure, or nothing.
  std::optional<std::string> PlaceAndHandOn(const Offer& offer, const std::filesystem::path& downloaded) {
    const std::filesystem::path placed = NewExecutablePath(m_paths.exe);
    // Declared before the hold, so the hold is given up before the file is removed.
    RemoveUnlessKept placedGuard{placed};
    std::string reason;
    if (!CopyReplacing(downloaded, placed, m_paths.replace, reason))
      return "not placed beside the executable: " + reason;
    // The download may have taken many minutes: the executable or its folder can have become
    // unwritable meanwhile.
    if (auto problem = m_check.Problem(m_paths.exe)) return "not installed: " + *problem;
    // From here on nobody can change the copy: what is checked is what starts (its bytes are kept
    // for the image check).
    HeldFile held;
    if (auto refusal = m_c.trust.PayloadRefusal(offer.keys.sha256, offer.sha256, placed, offer.MaxBytes(), &held,
                                                HoldFor::Copying))
      return "the copy beside the executable was refused: " + *refusal;
    if (held.bytes.size() != static_cast<std::size_t>(offer.length))
      return "the copy beside the executable is not the downloaded one";
    bool otherMachine = false;
    if (auto problem = ImageProblem(held.bytes, offer.version, m_paths.machine, otherMachine)) {
      // The same bytes would be fetched and refused at every check: never again. A build for the
      // other processor is the publication's mix-up, which the next publication mends.
      if (otherMachine) return "refused: " + *problem;
      m_c.user.RememberFailedUpdaterVersion(offer.version);
      return "refused and not fetched again: " + *problem;
    }
    placedGuard.keep = true;
    m_swap.Ready(offer.version, m_paths.exe, std::move(held));
    return std::nullopt;
  }

  UpdateContext& m_c;
  ExecutableSwap& m_swap;
  ReplaceabilityCheck& m_check;
  const UpdaterPaths& m_paths;
};

const char* OutcomeText(StartOutcome outcome) {
  switch (outcome) {
    case StartOutcome::Confirmed:
      return "confirmed that it runs";
    case StartOutcome::Ended:
      return "ended before it confirmed that it runs";
    case StartOutcome::Unfit:
      return "ended saying that it cannot work here";
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
  p += kNewExecutableSuffix;
  return p;
}

std::filesystem::path OldExecutablePath(const std::filesystem::path& exe) {
  std::filesystem::path p = exe;
  p += kOldExecutableSuffix;
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
  UpdaterSteps steps(c, swap, check, paths);
  return RunOffer(c, steps);
}

StartOutcome FinishReplacement(ReplacementStart& start, UserState& user, const std::filesystem::path& exe,
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
    LogEvent(kSelfUpdateEvent, "version " + shown + " " + OutcomeText(outcome) + ", " + std::to_string(away.count()) +
                                   " ms after the previous version stopped");
    LogEvent(kSelfUpdateEvent,
             "version " + shown + " takes the place of " + PathToUtf8(exe) + " once this process has ended");
    return outcome;
  }
  LogEvent(kSelfUpdateEvent, "version " + shown + " " + OutcomeText(outcome) +
                                 (detail.empty() ? "" : " (" + detail + ")") +
                                 ": the previous version stays and starts again, and is not replaced by it again");
  start.EndNew();
  // Remembered before its copy and record go: a power cut in between still leaves it remembered.
  user.RememberFailedUpdaterVersion(version);
  std::string reason;
  if (!start.RemoveNew(reason)) LogEvent(kSelfUpdateEvent, "the new copy stays until the next start: " + reason);
  if (!start.StartOld(exe, reason)) LogEvent(kSelfUpdateEvent, "cannot start the previous version again: " + reason);
  return outcome;
}

Outcome ReplacementOutcome(StartOutcome outcome, std::string_view running, std::string_view version) {
  Outcome o{kWhatUpdater, kResultOk, std::string(version), std::string(running), {}, "none", "自动升级工具已更新"};
  if (outcome == StartOutcome::Confirmed) return o;
  o.result = kResultRolledBack;
  switch (outcome) {
    case StartOutcome::Confirmed:
      break;
    case StartOutcome::Ended:
      o.cause = "ended", o.words = "新版本启动后退出，已恢复原版本";
      break;
    case StartOutcome::Unfit:
      o.cause = "unfit", o.words = "新版本无法读取数据说明或找不到服务器，已恢复原版本";
      break;
    case StartOutcome::NotConfirmed:
      o.cause = "no-confirmation", o.words = "新版本未能正常运行，已恢复原版本";
      break;
    case StartOutcome::CouldNotStart:
      o.cause = "not-started", o.words = "新版本无法启动，已恢复原版本";
      break;
  }
  return o;
}

}  // namespace zt
