#include "update/install/procedures.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <system_error>
#include <thread>

#include "base/descriptor.h"
#include "base/descriptor_keys.h"
#include "base/fsutil.h"
#include "base/log.h"
#include "base/notice.h"
#include "base/paths.h"
#include "update/net/server_address.h"
#include "update/install/temp_file.h"

namespace zt {
namespace {

std::uintmax_t SizeOr(const std::filesystem::path& file, std::uintmax_t otherwise) {
  std::error_code ec;
  const bool present = std::filesystem::is_regular_file(file, ec);
  const std::uintmax_t size = present ? std::filesystem::file_size(file, ec) : otherwise;
  return ec ? otherwise : size;
}

}  // namespace

// The download folder also holds the fetched descriptor: a package of that name would overwrite
// it. Names of the tool's own files are refused in any case.
bool IsUsableServerFile(std::string_view name) {
  if (!IsSafeServerFileName(name)) return false;
  const auto sameName = [&](std::string_view own) {
    return name.size() == own.size() && std::equal(name.begin(), name.end(), own.begin(), [](char a, char b) {
             return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
  };
  return !sameName(kDescriptorName) && !sameName(kScriptName);
}

bool LooksLikeExecutable(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  char head[2] = {};
  return in.read(head, 2) && head[0] == 'M' && head[1] == 'Z';
}

std::optional<std::string> PayloadProblem(UpdateTrust& trust, const Offer& offer, const std::filesystem::path& file) {
  std::optional<std::string> problem;
  if (!LooksLikeExecutable(file)) {
    problem = "not an executable image";
  } else if (auto refusal = trust.PayloadRefusal(offer.keys.sha256, offer.sha256, file, offer.MaxBytes())) {
    problem = *refusal;
  }
  if (problem) RemoveQuietly(file);
  return problem;
}

std::optional<std::string> DownloadChecked(Downloader& downloader, UpdateTrust& trust, const Offer& offer,
                                           const std::filesystem::path& downloaded, std::string_view event) {
  for (int attempt = 1;; ++attempt) {
    if (!downloader.Download(offer.file, offer.length)) return "download of " + offer.file + " failed";
    const std::optional<std::string> problem = PayloadProblem(trust, offer, downloaded);
    if (!problem) return std::nullopt;
    if (attempt == 2) return "refused " + offer.file + ": " + *problem;
    LogEvent(event, "refused " + offer.file + ": " + *problem + "; fetching it whole once more");
  }
}

bool InRollout(std::string_view rolloutValue, std::uint32_t bucket) {
  if (rolloutValue.empty()) return true;
  const auto percent = ParseDecimal(rolloutValue);
  return percent && *percent <= 100 && bucket < *percent;
}

bool RolloutHalted(std::string_view rolloutValue) {
  const auto percent = ParseDecimal(rolloutValue);
  return percent && *percent == 0;
}

namespace {

// As Windows' own updates: nothing large over a connection the user pays by the byte, until asked.
std::optional<OfferStop> DeferOnMetered(UpdateContext& c, OfferSteps& steps, const Offer& offer,
                                        const DescriptorCopy& server) {
  if (c.fetchOnMetered || !c.metered || !c.metered()) return std::nullopt;
  SetInfoNotice(MeteredNotice(steps.DeferredName(), offer.length));
  AddStartWaiting(steps.Deferred());
  const Outcome deferred{steps.DeferredWhat(), kResultDeferred, c.shown(offer.version),      {},
                         Sequence(server),     "metered",       "按流量计费的网络，暂不下载"};
  return OfferStop{"version " + LogValue(c.shown(offer.version)) + " (" + offer.lengthText +
                       " bytes) waits: the connection is metered",
                   false, deferred};
}

}  // namespace

int RunOffer(UpdateContext& c, OfferSteps& steps) {
  const DescriptorCopy server = c.descriptor.Server();
  if (server.text.empty()) return 0;
  const Offer offer = steps.Read(server.text);
  const auto record = [&](const std::optional<Outcome>& outcome) {
    if (outcome && c.record) c.record(*outcome);
  };
  std::shared_ptr<void> hold;
  std::optional<OfferStop> stop = steps.Check(offer, server);
  if (!stop) stop = DeferOnMetered(c, steps, offer, server);
  if (!stop) {
    std::string reason;
    hold = steps.Hold(reason);
    if (!hold) stop = OfferStop{"version " + LogValue(c.shown(offer.version)) + " not downloaded now: " + reason};
  }
  if (stop) {
    if (stop->dropDescriptor) c.descriptor.ClearServerTextIf(server.text);
    if (!stop->log.empty()) LogEvent(steps.Event(), stop->log);
    record(stop->outcome);
    steps.Quiet();
    return 0;
  }

  const std::string version = LogValue(c.shown(offer.version));
  LogEvent(steps.Event(), "version " + version + " offered; downloading " + offer.file);
  steps.Announce();
  DoneNotice done([&](bool ok) { steps.Done(ok); });
  // The window handles the announcement before the first progress message.
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const std::filesystem::path downloaded = steps.DownloadFolder() / PathFromUtf8(offer.file);
  std::optional<std::string> failure = DownloadChecked(c.downloader, c.trust, offer, downloaded, steps.Event());
  if (failure) {
    // A file that arrived and was refused is an outcome; one that did not arrive is not.
    if (!failure->starts_with("download of ")) record(steps.Refused(offer, server, *failure));
  } else {
    failure = steps.Install(offer, downloaded, server);
    if (failure) record(steps.Refused(offer, server, *failure));
  }
  if (failure) {
    LogEvent(steps.Event(), "version " + version + ": " + *failure);
    return 0;
  }
  record(steps.Installed(offer, server));
  done.Succeeded();
  return 1;
}

namespace {

// The data package: fetched into the shared download folder under the machine-wide lock and
// installed as data_update.exe beside the descriptor that describes it.
class DataSteps final : public OfferSteps {
 public:
  DataSteps(UpdateContext& c, const DataPaths& paths) : m_c(c), m_paths(paths) {}

  std::string_view Event() const override { return "data"; }
  Offer Read(std::string_view text) const override { return DataOffer(text); }

  std::optional<OfferStop> Check(const Offer& offer, const DescriptorCopy&) override {
    if (!offer.Complete())
      return OfferStop{"descriptor incomplete: " + offer.keys.version + ", " + offer.keys.file + " or " +
                           offer.keys.length + " missing",
                       true};
    if (!IsUsableServerFile(offer.file))
      return OfferStop{"refused " + offer.keys.file + " " + LogValue(m_c.shown(offer.file)) +
                           ": not a plain file name, or a name the tool uses itself",
                       true};
    const LocalDescriptor local = m_c.descriptor.Local();
    if (IsCurrent(offer, local)) return OfferStop{};
    // A halted offer waits everywhere; a staged offer of other data waits outside its share. A
    // repair of the same version, or a first installation, does not wait for its share.
    const std::string version = LogValue(m_c.shown(offer.version));
    if (RolloutHalted(offer.rollout))
      return OfferStop{"version " + version + " is halted (" + offer.keys.rollout + " 0); nothing is installed"};
    const std::uint32_t bucket = m_c.user.RolloutBucket();
    if (offer.version != local.dataVersion && !local.dataVersion.empty() && !InRollout(offer.rollout, bucket))
      return OfferStop{"version " + version + " is offered to " + LogValue(offer.rollout) +
                       " % of installations; this one (bucket " + std::to_string(bucket) + ") keeps version " +
                       LogValue(m_c.shown(local.dataVersion))};
    return std::nullopt;
  }

  std::shared_ptr<void> Hold(std::string& reason) override { return m_c.shared.Lock(reason); }
  unsigned Deferred() const override { return kPackageDeferred; }
  std::string DeferredWhat() const override { return kWhatData; }
  std::string DeferredName() const override { return "数据升级包"; }
  std::filesystem::path DownloadFolder() const override { return m_paths.downloadFolder; }
  void Announce() override { m_c.notices.DataDownloading(); }
  void Done(bool ok) override { m_c.notices.DataDone(ok); }

  std::optional<std::string> Install(const Offer&, const std::filesystem::path& downloaded,
                                     const DescriptorCopy& server) override {
    if (auto problem = m_c.shared.WriteProblem()) return "not installed: " + *problem;
    // The descriptor installed is the one this run started from, byte for byte: a fetch meanwhile
    // may have replaced the server's copy, and it describes another package.
    std::string reason;
    TempFile descriptor(m_paths.root, kDescriptorName);
    if (!CopyReplacing(downloaded, InstalledProgram(), m_paths.replace, reason) ||
        !(descriptor.Open() && descriptor.Write(server.raw)) ||
        !descriptor.CommitTo(m_paths.root / kDescriptorName, m_paths.replace, reason))
      return "installation failed: " + (reason.empty() ? std::string("cannot write version.txt") : reason);
    m_c.descriptor.LoadLocalVersion(m_paths.root);
    return std::nullopt;
  }

  std::optional<Outcome> Installed(const Offer& offer, const DescriptorCopy& server) override {
    LogEvent("data", "version " + LogValue(m_c.shown(offer.version)) + " installed as " +
                         PathToUtf8(InstalledProgram()) +
                         (m_c.trust.KeyBuiltIn() ? " (signature and hash verified)" : ""));
    return Outcome{kWhatData,        kResultOk,   m_c.shown(offer.version), {},
                   Sequence(server), "installed", "数据升级包已下载"};
  }

  std::optional<Outcome> Refused(const Offer& offer, const DescriptorCopy& server, std::string_view why) override {
    return Outcome{kWhatData,        kResultRefused, m_c.shown(offer.version),      {},
                   Sequence(server), CauseOf(why),   "数据升级包未通过校验，未安装"};
  }

 private:
  std::filesystem::path InstalledProgram() const { return m_paths.root / kDataProgramName; }

  // The installed copy counts as current only when it is what this descriptor describes, hash
  // included, and the installed descriptor carries the same hash (so one from before signing, or a
  // damaged program of the right size, is replaced).
  bool IsCurrent(const Offer& offer, const LocalDescriptor& local) {
    const Offer installed = DataOffer(local.text);
    return offer.version == local.dataVersion && offer.length >= 0 &&
           SizeOr(InstalledProgram(), ~std::uintmax_t{0}) == static_cast<std::uintmax_t>(offer.length) &&
           installed.sha256 == offer.sha256 &&
           !m_c.trust.PayloadRefusal(offer.keys.sha256, offer.sha256, InstalledProgram(), offer.MaxBytes());
  }

  UpdateContext& m_c;
  const DataPaths& m_paths;
};

}  // namespace

std::string Sequence(const DescriptorCopy& server) { return GetKeyValue(server.text, kKeySequence); }

std::string CauseOf(std::string_view why) {
  if (why.find("SHA-256") != std::string_view::npos || why.find("signs no") != std::string_view::npos) return "hash";
  if (why.find("is larger than") != std::string_view::npos) return "size";
  if (why.find("not an executable") != std::string_view::npos) return "not-executable";
  if (why.find("version resource") != std::string_view::npos) return "version-resource";
  if (why.find("built for") != std::string_view::npos) return "machine";
  if (why.find("link") != std::string_view::npos) return "link";
  return "install";
}

std::string MeteredNotice(std::string_view name, std::int64_t bytes) {
  char size[32];
  std::snprintf(size, sizeof size, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  return "当前网络按流量计费，" + std::string(name) + "（" + size + "）暂不下载。\r\n点击“启动升级包”立即下载。";
}

int RunDataProcedure(UpdateContext& c, const DataPaths& paths) {
  DataSteps steps(c, paths);
  return RunOffer(c, steps);
}

}  // namespace zt
