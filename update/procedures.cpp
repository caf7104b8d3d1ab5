#include "update/procedures.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <system_error>
#include <thread>

#include "base/descriptor.h"
#include "base/fsutil.h"
#include "base/log.h"
#include "base/paths.h"
#include "update/server_address.h"
#include "update/temp_file.h"

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

std::optional<std::string> PayloadProblem(UpdateTrust& trust, std::string_view descriptorText, std::string_view hashKey,
                                          const std::filesystem::path& file) {
  std::optional<std::string> problem;
  if (!LooksLikeExecutable(file)) {
    problem = "not an executable image";
  } else if (auto refusal = trust.PayloadRefusal(descriptorText, hashKey, file)) {
    problem = *refusal;
  }
  if (problem) RemoveQuietly(file);
  return problem;
}

std::optional<std::string> DownloadChecked(Downloader& downloader, UpdateTrust& trust, std::string_view descriptorText,
                                           std::string_view hashKey, const std::string& file, std::int32_t expected,
                                           const std::filesystem::path& downloaded, std::string_view event) {
  for (int attempt = 1;; ++attempt) {
    if (!downloader.Download(file, expected)) return "download of " + file + " failed";
    const std::optional<std::string> problem = PayloadProblem(trust, descriptorText, hashKey, downloaded);
    if (!problem) return std::nullopt;
    if (attempt == 2) return "refused " + file + ": " + *problem;
    LogEvent(event, "refused " + file + ": " + *problem + "; fetching it whole once more");
  }
}

bool InRollout(std::string_view rolloutValue, std::uint32_t bucket) {
  if (rolloutValue.empty()) return true;
  const auto percent = ParseDecimal(rolloutValue);
  return percent && *percent <= 100 && bucket < *percent;
}

int RunDataProcedure(UpdateContext& c, const DataPaths& paths) {
  DescriptorState& d = c.descriptor;
  const DescriptorCopy server = d.Server();
  const std::string& text = server.text;
  if (text.empty()) return 0;
  const std::string offered = GetKeyValue(text, "data_version"), file = GetKeyValue(text, "data_file"),
                    length = GetKeyValue(text, "data_length");
  if (offered.empty() || file.empty() || length.empty()) {
    d.ClearServerTextIf(text);
    LogEvent("data", "descriptor incomplete: data_version, data_file or data_length missing");
    return 0;
  }
  const std::string version = LogValue(c.shown(offered));
  if (!IsUsableServerFile(file)) {
    d.ClearServerTextIf(text);
    LogEvent("data", "refused data_file " + LogValue(c.shown(file)) +
                         ": not a plain file name, or a name the tool uses itself");
    return 0;
  }
  const std::int32_t expected = AtoiRule(length);
  const std::filesystem::path installed = paths.root / kDataProgramName;
  const LocalDescriptor local = d.Local();
  // The installed copy counts as current only when it is what this descriptor describes, hash
  // included, and the installed descriptor carries the same hash (so one from before signing, or a
  // damaged program of the right size, is replaced).
  const bool current = offered == local.dataVersion && expected >= 0 &&
                       SizeOr(installed, ~std::uintmax_t{0}) == static_cast<std::uintmax_t>(expected) &&
                       GetKeyValue(local.text, kDataHashKey) == GetKeyValue(text, kDataHashKey) &&
                       !c.trust.PayloadRefusal(text, kDataHashKey, installed);
  if (current) return 0;
  // A staged offer of other data waits outside its share; a repair of the same version, or a first
  // installation that has no data at all, never waits.
  const std::string rollout = GetKeyValue(text, "data_rollout");
  if (offered != local.dataVersion && !local.dataVersion.empty() && !InRollout(rollout, c.user.RolloutBucket())) {
    LogEvent("data", "version " + version + " is offered to " + LogValue(rollout) +
                         " % of installations; this one (bucket " + std::to_string(c.user.RolloutBucket()) +
                         ") keeps version " + LogValue(c.shown(local.dataVersion)));
    return 0;
  }
  std::string busy;
  const std::shared_ptr<void> lock = c.shared.Lock(busy);
  if (!lock) {
    LogEvent("data", "version " + version + " not downloaded now: " + busy);
    return 0;
  }

  c.notices.DataDownloading();
  DoneNotice done([&](bool ok) { c.notices.DataDone(ok); });
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const std::filesystem::path downloaded = paths.downloadFolder / PathFromUtf8(file);
  if (auto failure = DownloadChecked(c.downloader, c.trust, text, kDataHashKey, file, expected, downloaded, "data")) {
    LogEvent("data", "version " + version + ": " + *failure);
    return 0;
  }
  if (auto problem = c.shared.WriteProblem()) {
    LogEvent("data", "version " + version + ": not installed: " + *problem);
    return 0;
  }
  // The descriptor installed is the one this run started from, byte for byte: a fetch meanwhile
  // may have replaced the server's copy, and it describes another package.
  std::string reason;
  TempFile descriptor(paths.root, kDescriptorName);
  if (!CopyReplacing(downloaded, installed, paths.replace, reason) ||
      !(descriptor.Open() && descriptor.Write(server.raw)) ||
      !descriptor.CommitTo(paths.root / kDescriptorName, paths.replace, reason)) {
    LogEvent("data",
             "version " + version + ": installation failed: " + (reason.empty() ? "cannot write version.txt" : reason));
    return 0;
  }
  d.LoadLocalVersion(paths.root);
  LogEvent("data", "version " + version + " installed as " + PathToUtf8(installed) +
                       (c.trust.KeyBuiltIn() ? " (signature and hash verified)" : ""));
  done.Succeeded();
  return 1;
}

}  // namespace zt
