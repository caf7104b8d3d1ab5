// The two background procedures, independent of Windows: keeping the data package installed, and
// replacing the running executable through a script. They reach the outside only through the
// small interfaces below, so they run the same against the real server and against fakes.
#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "update/transfer.h"

namespace zt {

// The shared descriptor strings as the procedures need them.
class DescriptorAccess {
 public:
  virtual ~DescriptorAccess() = default;
  virtual std::string ServerText() = 0;
  virtual bool ClearServerTextIf(const std::string& expected) = 0;
  virtual std::string KeyValue(const std::string& text, std::string_view key) = 0;
  virtual int Atoi(std::string_view text) = 0;
  virtual std::string DataVersion() = 0;
  virtual bool ReloadLocal() = 0;
};

class Downloader {
 public:
  virtual ~Downloader() = default;
  // Fetches `name` into the download folder; true when stored whole.
  virtual bool Download(const std::string& name, std::int32_t expectedLength) = 0;
};

class MessagePoster {
 public:
  virtual ~MessagePoster() = default;
  virtual void Post(unsigned message, std::uintptr_t wParam) = 0;
};

class ProcessStarter {
 public:
  virtual ~ProcessStarter() = default;
  // Starts the script hidden at idle priority without waiting; false and a reason on failure.
  virtual bool StartScript(const std::string& scriptPath, std::string& reason) = 0;
};

// Whether the executable can be replaced by the script: nullopt when it can, else why not.
class ReplaceabilityCheck {
 public:
  virtual ~ReplaceabilityCheck() = default;
  virtual std::optional<std::string> Problem(const std::filesystem::path& exe) = 0;
};

// The portable check: a file can be created and deleted beside the executable, and the executable
// is not read-only.
class FolderReplaceabilityCheck final : public ReplaceabilityCheck {
 public:
  std::optional<std::string> Problem(const std::filesystem::path& exe) override;
};

struct DataPaths {
  std::filesystem::path root;            // holds data_update.exe and version.txt
  std::filesystem::path downloadFolder;  // holds the downloaded files
  ReplaceFileFn replace;                 // empty: RenameReplacing
};

// Returns the thread's exit code: 1 after a completed installation, 0 otherwise.
int RunDataProcedure(DescriptorAccess& descriptor, Downloader& downloader, MessagePoster& poster,
                     const DataPaths& paths);

struct UpdaterPaths {
  std::string exePath;         // the running executable, UTF-8, Windows form
  std::string downloadFolder;  // UTF-8 with its trailing separator, as written into the script
  std::string appVersion;      // the program's own version text
  // UTF-8 -> the console code page; nullopt when the text cannot be represented there.
  std::function<std::optional<std::string>(std::string_view)> toConsoleCodePage;
};

// Returns 1 once the script is written and started, 0 otherwise.
int RunUpdaterProcedure(DescriptorAccess& descriptor, Downloader& downloader, MessagePoster& poster,
                        ProcessStarter& starter, ReplaceabilityCheck& check, const UpdaterPaths& paths);

// The seven-line replacement script (UTF-8; the caller converts it to the console code page).
std::string BuildReplacementScript(std::string_view exePath, std::string_view downloadFolder,
                                   std::string_view updaterFile);

// True when the file starts with "MZ" (an executable image).
bool LooksLikeExecutable(const std::filesystem::path& file);

}  // namespace zt
