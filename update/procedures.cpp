#include "update/procedures.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <iterator>
#include <fstream>
#include <system_error>
#include <thread>

#include "app/fsutil.h"
#include "app/ids.h"
#include "app/log.h"
#include "app/paths.h"

namespace zt {
namespace {

struct ServerValues {
  std::string version, file, length;
};

// cmd expands %...% even inside quotation marks; a doubled %% stands for one %.
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

// The downloaded file must be an executable image; anything else (an error page, a truncated
// header) is removed so it can never be installed.
bool AcceptExecutable(const std::filesystem::path& file, std::string_view what) {
  if (LooksLikeExecutable(file)) return true;
  LogEvent(what, "refused " + PathToUtf8(file.filename()) + ": not an executable image");
  RemoveQuietly(file);
  return false;
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

std::optional<std::string> ReadBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) return std::nullopt;
  return bytes;
}

// Writes `bytes` to `to` through a temporary file beside it, so `to` is the old file or the whole
// new one.
bool WriteReplacing(const std::string& bytes, const std::filesystem::path& to, const ReplaceFileFn& replace,
                    std::string& reason) {
  const std::filesystem::path temp = UniqueTempPath(to.parent_path(), PathToUtf8(to.filename()));
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out || !out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) || (out.close(), !out)) {
      RemoveQuietly(temp);
      reason = "cannot write " + PathToUtf8(temp);
      return false;
    }
  }
  const bool moved = replace ? replace(temp, to, reason) : RenameReplacing(temp, to, reason);
  if (!moved) {
    reason = "replace " + PathToUtf8(to) + ": " + reason;
    RemoveQuietly(temp);
  }
  return moved;
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

std::string BuildReplacementScript(std::string_view exePath, std::string_view downloadFolder,
                                   std::string_view updaterFile) {
  const std::string exe = EscapeForBatch(exePath);
  const std::string folder = EscapeForBatch(downloadFolder);
  std::string s;
  s += ":try\r\n";
  s += "choice /t 1 /d y >nul\r\n";
  s += "del \"" + exe + "\"\r\n";
  s += "if exist \"" + exe + "\" goto :try\r\n";
  s += "copy \"" + folder + std::string(updaterFile) + "\" \"" + exe + "\"\r\n";
  s += "start \"new\" \"" + exe + "\" /autohide\r\n";
  s += "del \"" + folder + kScriptName + "\"\r\n";
  return s;
}

int RunDataProcedure(DescriptorAccess& d, Downloader& downloader, MessagePoster& poster, const DataPaths& paths) {
  const std::string text = d.ServerText();
  if (text.empty()) return 0;
  const ServerValues v{d.KeyValue(text, "data_version"), d.KeyValue(text, "data_file"), d.KeyValue(text, "data_length")};
  if (v.version.empty() || v.file.empty() || v.length.empty()) {
    d.ClearServerTextIf(text);
    LogEvent("data", "descriptor incomplete: data_version, data_file or data_length missing");
    return 0;
  }
  if (!IsUsableServerFile(v.file)) {
    d.ClearServerTextIf(text);
    LogEvent("data", "refused data_file \"" + v.file + "\": not a plain file name, or a name the tool uses itself");
    return 0;
  }
  const std::int32_t expected = d.Atoi(v.length);
  const std::filesystem::path installed = paths.root / kDataProgramName;
  std::error_code ec;
  const bool present = std::filesystem::is_regular_file(installed, ec);
  const auto size = present ? std::filesystem::file_size(installed, ec) : 0;
  if (v.version == d.DataVersion() && present && !ec && expected >= 0 &&
      size == static_cast<std::uintmax_t>(expected))
    return 0;

  poster.Post(WM_DATA_DOWNLOADING, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const std::filesystem::path downloaded = paths.downloadFolder / PathFromUtf8(v.file);
  if (!downloader.Download(v.file, expected) || !AcceptExecutable(downloaded, "data")) {
    LogEvent("data", "version " + v.version + ": download of " + v.file + " failed");
    poster.Post(WM_DATA_DONE, 0);
    return 0;
  }
  // A fetch on the window's thread may have replaced the fetched descriptor while the package
  // downloaded. Installing that one would describe a package that is not installed, so the
  // descriptor is read once, checked against what this run downloaded, and installed from the
  // bytes checked.
  const std::optional<std::string> fetched = ReadBytes(paths.downloadFolder / kDescriptorName);
  if (!fetched || d.KeyValue(*fetched, "data_version") != v.version || d.KeyValue(*fetched, "data_file") != v.file ||
      d.KeyValue(*fetched, "data_length") != v.length) {
    LogEvent("data", "version " + v.version + ": not installed, the fetched version.txt no longer describes " + v.file);
    poster.Post(WM_DATA_DONE, 0);
    return 0;
  }
  std::string reason;
  bool ok = CopyReplacing(downloaded, installed, paths.replace, reason);
  if (ok) ok = WriteReplacing(*fetched, paths.root / kDescriptorName, paths.replace, reason);
  if (!ok) {
    LogEvent("data", "version " + v.version + ": installation failed: " + reason);
    poster.Post(WM_DATA_DONE, 0);
    return 0;
  }
  d.ReloadLocal();
  LogEvent("data", "version " + v.version + " installed as " + PathToUtf8(installed));
  poster.Post(WM_DATA_DONE, 1);
  return 1;
}

int RunUpdaterProcedure(DescriptorAccess& d, Downloader& downloader, MessagePoster& poster, ProcessStarter& starter,
                        ReplaceabilityCheck& check, const UpdaterPaths& paths) {
  const std::string text = d.ServerText();
  if (text.empty()) return 0;
  const ServerValues v{d.KeyValue(text, "updater_version"), d.KeyValue(text, "updater_file"),
                       d.KeyValue(text, "updater_length")};
  if (v.version.empty() || v.file.empty() || v.length.empty()) {
    d.ClearServerTextIf(text);
    LogEvent("self-update", "descriptor incomplete: updater_version, updater_file or updater_length missing");
    return 0;
  }
  if (!IsUsableServerFile(v.file)) {
    d.ClearServerTextIf(text);
    LogEvent("self-update", "refused updater_file \"" + v.file + "\": not a plain file name, or a name the tool uses itself");
    return 0;
  }
  if (v.version == paths.appVersion) {
    poster.Post(WM_UPDATER_DONE, 0);
    return 0;
  }
  const std::int32_t expected = d.Atoi(v.length);
  // The executable is never replaced by a body of unchecked length.
  if (expected <= 0) {
    LogEvent("self-update", "version " + v.version + " refused: updater_length \"" + v.length + "\" is not a length");
    poster.Post(WM_UPDATER_DONE, 0);
    return 0;
  }
  const std::filesystem::path exe = PathFromUtf8(paths.exePath);
  // Once the tool has ended nothing restarts it, so the script runs only where it can finish.
  if (auto problem = check.Problem(exe)) {
    LogEvent("self-update", "version " + v.version + " not installed: " + *problem);
    poster.Post(WM_UPDATER_DONE, 0);
    return 0;
  }

  LogEvent("self-update", "version " + v.version + " offered; downloading " + v.file);
  poster.Post(WM_UPDATER_DOWNLOADING, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const std::filesystem::path downloaded = PathFromUtf8(paths.downloadFolder + v.file);
  if (!downloader.Download(v.file, expected) || !AcceptExecutable(downloaded, "self-update")) {
    LogEvent("self-update", "version " + v.version + ": download of " + v.file + " failed");
    poster.Post(WM_UPDATER_DONE, 0);
    return 0;
  }

  const std::string scriptPath = paths.downloadFolder + kScriptName;
  const std::filesystem::path script = PathFromUtf8(scriptPath);
  const auto fail = [&](const std::string& why) {
    RemoveQuietly(script);
    LogEvent("self-update", "version " + v.version + ": " + why);
    poster.Post(WM_UPDATER_DONE, 0);
    return 0;
  };
  // The download may have taken many minutes: the executable or its folder can have become
  // unwritable meanwhile, and the script must never start where it cannot finish.
  if (auto problem = check.Problem(exe)) return fail("not installed: " + *problem);
  const std::optional<std::string> bytes =
      paths.toConsoleCodePage ? paths.toConsoleCodePage(BuildReplacementScript(paths.exePath, paths.downloadFolder, v.file))
                              : std::nullopt;
  if (!bytes) return fail("the executable's path cannot be written in the console code page");
  RemoveQuietly(script);
  {
    std::ofstream out(script, std::ios::binary | std::ios::trunc);
    if (!out) return fail("cannot create " + scriptPath);
    if (!out.write(bytes->data(), static_cast<std::streamsize>(bytes->size()))) return fail("cannot write " + scriptPath);
    out.close();
    if (!out) return fail("cannot close " + scriptPath);
  }
  std::string reason;
  if (!starter.StartScript(scriptPath, reason)) return fail("cannot start " + scriptPath + ": " + reason);
  LogEvent("self-update", "version " + v.version + ": script started, the tool ends for the replacement");
  poster.Post(WM_UPDATER_DONE, 1);
  return 1;
}

}  // namespace zt
