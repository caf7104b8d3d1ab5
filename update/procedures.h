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

#include "app/descriptor_state.h"
#include "update/temp_file.h"
#include "update/trust.h"

namespace zt {

// The shared descriptor strings as the procedures need them.
class DescriptorAccess {
 public:
  virtual ~DescriptorAccess() = default;
  virtual DescriptorCopy Server() = 0;
  // Empties the server descriptor when it still is `expected`; true when it did.
  virtual bool ClearServerIf(const DescriptorCopy& expected) = 0;
  virtual std::string KeyValue(const std::string& text, std::string_view key) = 0;
  virtual int Atoi(std::string_view text) = 0;
  virtual std::string DataVersion() = 0;
  virtual std::string LocalText() = 0;
  virtual bool ReloadLocal() = 0;
  // A descriptor value (GBK bytes) as the UTF-8 log can show it.
  virtual std::string Shown(std::string_view value) = 0;
};

class Downloader {
 public:
  virtual ~Downloader() = default;
  // Fetches `name` into the download folder; true when stored whole.
  virtual bool Download(const std::string& name, std::int32_t expectedLength) = 0;
};

// What the workers tell the main window; the Windows side posts the matching messages.
class WorkerNotices {
 public:
  virtual ~WorkerNotices() = default;
  virtual void DataDownloading() = 0;
  virtual void DataDone(bool installed) = 0;
  virtual void UpdaterDownloading() = 0;
  // true: the replacement script runs and the program must end now.
  virtual void UpdaterDone(bool replacing) = 0;
  virtual void Progress(unsigned percent) = 0;
};

// Once a download has been announced, exactly one "done" follows it: a failure unless Succeeded()
// was called, also when a step in between throws.
class DoneNotice {
 public:
  explicit DoneNotice(std::function<void(bool)> done) : m_done(std::move(done)) {}
  DoneNotice(const DoneNotice&) = delete;
  DoneNotice& operator=(const DoneNotice&) = delete;
  ~DoneNotice() {
    try {
      m_done(m_succeeded);
    } catch (...) {
    }
  }
  void Succeeded() { m_succeeded = true; }

 private:
  std::function<void(bool)> m_done;
  bool m_succeeded = false;
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
int RunDataProcedure(DescriptorAccess& descriptor, Downloader& downloader, WorkerNotices& notices, UpdateTrust& trust,
                     const DataPaths& paths);

struct UpdaterPaths {
  std::string exePath;         // the running executable, UTF-8, Windows form
  std::string downloadFolder;  // UTF-8 with its trailing separator
  std::string appVersion;      // the program's own version text
  // UTF-8 -> the console code page; nullopt when the text cannot be represented there.
  std::function<std::optional<std::string>(std::string_view)> toConsoleCodePage;
  ReplaceFileFn replace;  // empty: RenameReplacing
};

// Returns 1 once the script is written and started, 0 otherwise.
int RunUpdaterProcedure(DescriptorAccess& descriptor, Downloader& downloader, WorkerNotices& notices,
                        ProcessStarter& starter, ReplaceabilityCheck& check, UpdateTrust& trust,
                        const UpdaterPaths& paths);

// Beside the executable: its successor, checked before the script runs, and the old copy while the
// script swaps them.
std::string NewExecutablePath(std::string_view exePath);
std::string OldExecutablePath(std::string_view exePath);

// The replacement script (UTF-8; the caller converts it to the console code page). It waits for
// the old process to end, moves the old executable aside, moves the new one into place (putting the
// old one back on any failure), starts the executable hidden at normal priority and cleans up.
std::string BuildReplacementScript(std::string_view exePath, std::string_view scriptPath);

// True when the file starts with "MZ" (an executable image).
bool LooksLikeExecutable(const std::filesystem::path& file);

}  // namespace zt
