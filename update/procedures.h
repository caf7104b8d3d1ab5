// The data-package procedure, independent of Windows, and what the two background procedures
// share: the download, the notices to the main window, and the update folder that every account of
// the PC shares. They reach the outside only through the small interfaces below, so they run the
// same against the real server and against fakes.
#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/descriptor_state.h"
#include "base/user_state.h"
#include "update/temp_file.h"
#include "update/trust.h"

namespace zt {

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
  // true: the new executable is in place and the program must end now so that it can start.
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

// The update folder (C:\ZT_Update\) is shared by every account of the PC, and any of them may write
// in it: one tool of the machine at a time downloads into it or installs in it, and never through
// a link that another account put in place of one of its folders.
class SharedFolder {
 public:
  virtual ~SharedFolder() = default;
  // The machine-wide lock, held while the returned guard lives; empty, with `reason`, when another
  // tool holds it or a folder of the update folder is a link.
  virtual std::shared_ptr<void> Lock(std::string& reason) = 0;
  // Right before writing: why the folders may not be written now (one became a link), or nullopt.
  virtual std::optional<std::string> WriteProblem() = 0;
};

// What both procedures work with.
struct UpdateContext {
  DescriptorState& descriptor;  // the shared descriptor strings
  Downloader& downloader;
  WorkerNotices& notices;
  UpdateTrust& trust;
  SharedFolder& shared;
  UserState& user;
  // A descriptor value (GBK bytes) as the UTF-8 log can show it.
  std::function<std::string(std::string_view)> shown;
};

struct DataPaths {
  std::filesystem::path root;            // holds data_update.exe and version.txt
  std::filesystem::path downloadFolder;  // holds the downloaded files
  ReplaceFileFn replace;                 // empty: RenameReplacing
};

// Returns the thread's exit code: 1 after a completed installation, 0 otherwise.
int RunDataProcedure(UpdateContext& c, const DataPaths& paths);

// Whether a staged offer applies to this installation: `rolloutValue` is the descriptor's
// percentage (empty: everyone), `bucket` this installation's 0..99. A value that is not a number
// from 0 to 100 offers to nobody.
bool InRollout(std::string_view rolloutValue, std::uint32_t bucket);

// A file name from the server that the procedures may fetch: plain, and none of the tool's own.
bool IsUsableServerFile(std::string_view name);

// True when the file starts with "MZ" (an executable image).
bool LooksLikeExecutable(const std::filesystem::path& file);

// Why a downloaded payload may not be used (not an executable image, or not the signed hash), or
// nullopt; a refused file is removed so that it can never be installed or run.
std::optional<std::string> PayloadProblem(UpdateTrust& trust, std::string_view descriptorText, std::string_view hashKey,
                                          const std::filesystem::path& file);

// Downloads a payload into `downloaded` and checks it; one that fails its check is removed and
// fetched whole once more, since a resumed transfer may have joined the start of one copy to the
// end of another. Nothing when the file is ready, else why not (`event` names the log's lines).
std::optional<std::string> DownloadChecked(Downloader& downloader, UpdateTrust& trust, std::string_view descriptorText,
                                           std::string_view hashKey, const std::string& file, std::int32_t expected,
                                           const std::filesystem::path& downloaded, std::string_view event);

}  // namespace zt
