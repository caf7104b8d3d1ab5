#include "update/procedures.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <system_error>
#include <thread>

#include "app/fsutil.h"
#include "app/log.h"
#include "app/paths.h"
#include "update/server_address.h"
#include "update/temp_file.h"

namespace zt {
namespace {

struct ServerValues {
  std::string version, file, length;
};

// cmd expands %...% even inside quotation marks; a doubled %% stands for one %. Every other
// character that means something to cmd is harmless inside the quotes the script puts around
// each path (delayed expansion of '!' is switched off where the script is started).
std::string EscapeForBatch(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

void RemoveQuietly(const std::filesystem::path& p) {
  std::error_code ec;
  std::filesystem::remove(p, ec);
}

// The download folder also holds the fetched descriptor and the replacement script. A package of
// either name would overwrite them; an updater named like the script would be copied over the
// executable as the script's own text.
bool IsUsableServerFile(std::string_view name) {
  if (!IsSafeServerFileName(name)) return false;
  const auto sameName = [&](std::string_view own) {
    return name.size() == own.size() && std::equal(name.begin(), name.end(), own.begin(), [](char a, char b) {
             return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
  };
  return !sameName(kDescriptorName) && !sameName(kScriptName);
}

// A downloaded payload may be used only when it is an executable image and matches the hash the
// descriptor gives; anything else is removed so that it can never be installed or run.
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

// Downloads a payload and checks it; one that fails its check is removed and fetched whole once
// more, since a resumed transfer may have joined the start of one copy to the end of another.
// Nothing when the file is ready, else why not.
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

// Removes a file on the way out unless the run got far enough to keep it.
struct RemoveUnlessKept {
  std::filesystem::path file;
  bool keep = false;
  ~RemoveUnlessKept() {
    if (!keep) RemoveQuietly(file);
  }
};

std::uintmax_t SizeOr(const std::filesystem::path& file, std::uintmax_t otherwise) {
  std::error_code ec;
  const bool present = std::filesystem::is_regular_file(file, ec);
  const std::uintmax_t size = present ? std::filesystem::file_size(file, ec) : otherwise;
  return ec ? otherwise : size;
}

}  // namespace

bool LooksLikeExecutable(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  char head[2] = {};
  return in.read(head, 2) && head[0] == 'M' && head[1] == 'Z';
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

std::string NewExecutablePath(std::string_view exePath) { return std::string(exePath) + ".ztnew"; }
std::string OldExecutablePath(std::string_view exePath) { return std::string(exePath) + ".ztold"; }

// Only whether files exist decides each step: the error levels of move and del are not the same
// on every command interpreter. A running executable can be renamed but not deleted, so the old
// copy, once aside, is deleted only after its process has ended, and only then the new one starts.
std::string BuildReplacementScript(std::string_view exePath, std::string_view scriptPath) {
  const std::string exe = "\"" + EscapeForBatch(exePath) + "\"";
  const std::string fresh = "\"" + EscapeForBatch(NewExecutablePath(exePath)) + "\"";
  const std::string old = "\"" + EscapeForBatch(OldExecutablePath(exePath)) + "\"";
  const std::string start = "start \"new\" /normal " + exe + " " + kAutoHideSwitch + " " + kReplacedSwitch + "\r\n";
  // About five minutes in all, one second a try, for the old process to end.
  const std::string nextTry = "choice /t 1 /d y >nul\r\nset /a tries+=1\r\n";
  std::string s;
  s += "@echo off\r\n";
  s += "set tries=0\r\n";
  s += ":aside\r\n";
  s += nextTry;
  s += "if %tries% gtr 300 goto :restart\r\n";
  s += "move /y " + exe + " " + old + " >nul 2>&1\r\n";
  s += "if exist " + exe + " goto :aside\r\n";
  s += "move /y " + fresh + " " + exe + " >nul 2>&1\r\n";
  s += "if not exist " + exe + " goto :restore\r\n";
  s += ":ended\r\n";
  s += "del " + old + " >nul 2>&1\r\n";
  s += "if not exist " + old + " goto :restart\r\n";
  s += nextTry;
  s += "if %tries% leq 300 goto :ended\r\n";
  s += "goto :restart\r\n";
  s += ":restore\r\n";
  s += "move /y " + old + " " + exe + " >nul 2>&1\r\n";
  s += ":restart\r\n";
  s += start;
  s += "del \"" + EscapeForBatch(scriptPath) + "\"\r\n";
  return s;
}

int RunDataProcedure(DescriptorAccess& d, Downloader& downloader, WorkerNotices& notices, UpdateTrust& trust,
                     const DataPaths& paths) {
  const DescriptorCopy server = d.Server();
  const std::string& text = server.text;
  if (text.empty()) return 0;
  const ServerValues v{d.KeyValue(text, "data_version"), d.KeyValue(text, "data_file"),
                       d.KeyValue(text, "data_length")};
  if (v.version.empty() || v.file.empty() || v.length.empty()) {
    d.ClearServerIf(server);
    LogEvent("data", "descriptor incomplete: data_version, data_file or data_length missing");
    return 0;
  }
  const std::string version = LogValue(d.Shown(v.version));
  if (!IsUsableServerFile(v.file)) {
    d.ClearServerIf(server);
    LogEvent("data", "refused data_file " + LogValue(d.Shown(v.file)) +
                         ": not a plain file name, or a name the tool uses itself");
    return 0;
  }
  const std::int32_t expected = d.Atoi(v.length);
  const std::filesystem::path installed = paths.root / kDataProgramName;
  // The installed copy counts as current only when it is what this descriptor describes, hash
  // included, and the installed descriptor carries the same hash (so one from before signing, or a
  // damaged program of the right size, is replaced).
  const bool current =
      v.version == d.DataVersion() && expected >= 0 &&
      SizeOr(installed, ~std::uintmax_t{0}) == static_cast<std::uintmax_t>(expected) &&
      d.KeyValue(d.LocalText(), std::string(kDataHashKey)) == d.KeyValue(text, std::string(kDataHashKey)) &&
      !trust.PayloadRefusal(text, kDataHashKey, installed);
  if (current) return 0;

  notices.DataDownloading();
  DoneNotice done([&](bool ok) { notices.DataDone(ok); });
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const std::filesystem::path downloaded = paths.downloadFolder / PathFromUtf8(v.file);
  if (auto failure = DownloadChecked(downloader, trust, text, kDataHashKey, v.file, expected, downloaded, "data")) {
    LogEvent("data", "version " + version + ": " + *failure);
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
  d.ReloadLocal();
  LogEvent("data", "version " + version + " installed as " + PathToUtf8(installed) +
                       (trust.KeyBuiltIn() ? " (signature and hash verified)" : ""));
  done.Succeeded();
  return 1;
}

namespace {

// Why an offered version cannot be installed here, said before anything is downloaded.
std::optional<std::string> OfferRefusal(DescriptorAccess& d, const ServerValues& v, std::int32_t expected,
                                        ReplaceabilityCheck& check, const std::filesystem::path& exe) {
  // Refused, but the descriptor stays: the data check that follows still needs it.
  if (!IsUsableServerFile(v.file))
    return "refused: updater_file " + LogValue(d.Shown(v.file)) +
           " is not a plain file name, or a name the tool uses itself";
  // The executable is never replaced by a body of unchecked length.
  if (expected <= 0) return "refused: updater_length " + LogValue(d.Shown(v.length)) + " is not a length";
  // Once the tool has ended nothing restarts it, so the script runs only where it can finish.
  if (auto problem = check.Problem(exe)) return "not installed: " + *problem;
  return std::nullopt;
}

// The downloaded executable goes beside the old one and is checked there while this process can
// still say that something went wrong; then the script that only swaps names is written and
// started. The reason of a failure, or nothing (and then the script runs).
std::optional<std::string> PlaceAndStartReplacement(const std::filesystem::path& downloaded, std::int32_t expected,
                                                    std::string_view descriptorText, ProcessStarter& starter,
                                                    ReplaceabilityCheck& check, UpdateTrust& trust,
                                                    const UpdaterPaths& paths) {
  const std::filesystem::path exe = PathFromUtf8(paths.exePath);
  const std::filesystem::path placed = PathFromUtf8(NewExecutablePath(paths.exePath));
  const std::string scriptPath = paths.downloadFolder + kScriptName;
  // An older script goes too: nothing may run one that does not belong to this run.
  RemoveUnlessKept placedGuard{placed}, scriptGuard{PathFromUtf8(scriptPath)};
  std::string reason;
  if (!CopyReplacing(downloaded, placed, paths.replace, reason)) return "not placed beside the executable: " + reason;
  if (!LooksLikeExecutable(placed) || SizeOr(placed, 0) != static_cast<std::uintmax_t>(expected))
    return "the copy beside the executable is not the downloaded one";
  // The download may have taken many minutes: the executable or its folder can have become
  // unwritable meanwhile, and the script must never start where it cannot finish.
  if (auto problem = check.Problem(exe)) return "not installed: " + *problem;
  const std::optional<std::string> bytes =
      paths.toConsoleCodePage ? paths.toConsoleCodePage(BuildReplacementScript(paths.exePath, scriptPath))
                              : std::nullopt;
  if (!bytes) return "the executable's path cannot be written in the console code page";
  TempFile script(PathFromUtf8(paths.downloadFolder), kScriptName);
  if (!script.Open() || !script.Write(*bytes) || !script.CommitTo(PathFromUtf8(scriptPath), paths.replace, reason))
    return reason.empty() ? "cannot write " + scriptPath : reason;
  // Checked again just before the script starts, through a handle that keeps anyone from changing
  // the file until the script has been started.
  std::shared_ptr<void> hold;
  if (auto refusal = trust.PayloadRefusal(descriptorText, kUpdaterHashKey, placed, &hold))
    return "the copy beside the executable was refused: " + *refusal;
  if (!starter.StartScript(scriptPath, reason)) return "cannot start " + scriptPath + ": " + reason;
  placedGuard.keep = scriptGuard.keep = true;
  return std::nullopt;
}

}  // namespace

int RunUpdaterProcedure(DescriptorAccess& d, Downloader& downloader, WorkerNotices& notices, ProcessStarter& starter,
                        ReplaceabilityCheck& check, UpdateTrust& trust, const UpdaterPaths& paths) {
  const DescriptorCopy server = d.Server();
  const std::string& text = server.text;
  if (text.empty()) return 0;
  const ServerValues v{d.KeyValue(text, "updater_version"), d.KeyValue(text, "updater_file"),
                       d.KeyValue(text, "updater_length")};
  if (v.version.empty() || v.file.empty() || v.length.empty()) {
    d.ClearServerIf(server);
    LogEvent("self-update", "descriptor incomplete: updater_version, updater_file or updater_length missing");
    return 0;
  }
  if (v.version == paths.appVersion) {
    notices.UpdaterDone(false);
    return 0;
  }
  const std::string version = LogValue(d.Shown(v.version));
  const std::int32_t expected = d.Atoi(v.length);
  if (auto refusal = OfferRefusal(d, v, expected, check, PathFromUtf8(paths.exePath))) {
    LogEvent("self-update", "version " + version + " " + *refusal);
    notices.UpdaterDone(false);
    return 0;
  }

  LogEvent("self-update", "version " + version + " offered; downloading " + v.file);
  notices.UpdaterDownloading();
  DoneNotice done([&](bool ok) { notices.UpdaterDone(ok); });
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const std::filesystem::path downloaded = PathFromUtf8(paths.downloadFolder + v.file);
  std::optional<std::string> failure =
      DownloadChecked(downloader, trust, text, kUpdaterHashKey, v.file, expected, downloaded, "self-update");
  if (!failure) failure = PlaceAndStartReplacement(downloaded, expected, text, starter, check, trust, paths);
  if (failure) {
    LogEvent("self-update", "version " + version + ": " + *failure);
    return 0;
  }
  LogEvent("self-update", "version " + version + (trust.KeyBuiltIn() ? " (signature and hash verified)" : "") +
                              ": script started, the tool ends for the replacement");
  done.Succeeded();
  return 1;
}

}  // namespace zt
