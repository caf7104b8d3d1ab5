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
#include "base/history.h"
#include "base/user_state.h"
#include "update/install/offer.h"
#include "update/install/temp_file.h"
#include "update/trust/trust.h"

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
  // Keeps an outcome worth keeping (the history and the vendor's report); empty: none kept.
  std::function<void(const Outcome&)> record = {};
  // Whether the connection is metered (a phone's hotspot): a file then waits for the user's word,
  // unless `fetchOnMetered` (the user pressed the start button). Empty: never metered.
  std::function<bool()> metered = {};
  bool fetchOnMetered = false;
};

// Why a run stops before anything is fetched.
struct OfferStop {
  std::string log;              // what the log says ("" for nothing)
  bool dropDescriptor = false;  // the descriptor is of no use to the other procedure either
  std::optional<Outcome> outcome = std::nullopt;
};

// What the data package and the executable do differently. RunOffer takes both through the same
// steps: read the offer, decide, hold what must be held, announce, download and check, install,
// tell; exactly one "done" follows an announcement, whatever happens.
class OfferSteps {
 public:
  virtual ~OfferSteps() = default;
  virtual std::string_view Event() const = 0;  // the log's word
  virtual Offer Read(std::string_view descriptorText) const = 0;
  // Before anything is fetched: why not, or nullopt to go on.
  virtual std::optional<OfferStop> Check(const Offer& offer, const DescriptorCopy& server) = 0;
  // What must be held while the file is fetched and installed; empty, with `reason`, when it cannot be.
  virtual std::shared_ptr<void> Hold(std::string& reason) = 0;
  virtual std::filesystem::path DownloadFolder() const = 0;
  virtual void Announce() = 0;
  virtual void Done(bool succeeded) = 0;
  // A run that announced nothing; the window may still wait for a word.
  virtual void Quiet() {}
  // On a metered connection the file waits for the start button: what waits (notice.h's
  // StartWaiting), and the words of the history.
  virtual unsigned Deferred() const = 0;
  virtual std::string DeferredWhat() const = 0;  // the history's word
  virtual std::string DeferredName() const = 0;  // the window's name of the file
  // Puts the checked download in place; why not, or nullopt.
  virtual std::optional<std::string> Install(const Offer& offer, const std::filesystem::path& downloaded,
                                             const DescriptorCopy& server) = 0;
  // The outcome of an installation (none while it still has to prove itself), or of a checked
  // download that was refused.
  virtual std::optional<Outcome> Installed(const Offer& offer, const DescriptorCopy& server) = 0;
  virtual std::optional<Outcome> Refused(const Offer& offer, const DescriptorCopy& server, std::string_view why) = 0;
};

// Returns 1 after a completed installation, 0 otherwise.
int RunOffer(UpdateContext& c, OfferSteps& steps);
// The descriptor's zt_seq as served, for an outcome.
std::string Sequence(const DescriptorCopy& server);
// A short code for the report from a reason the log gives.
std::string CauseOf(std::string_view why);
// The information text while a file of `bytes` called `name` waits on a metered connection.
std::string MeteredNotice(std::string_view name, std::int64_t bytes);

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
// An offer at rollout 0 is halted: nobody installs it, not even a PC without any data.
bool RolloutHalted(std::string_view rolloutValue);

// A file name from the server that the procedures may fetch: plain, and none of the tool's own.
bool IsUsableServerFile(std::string_view name);

// True when the file starts with "MZ" (an executable image).
bool LooksLikeExecutable(const std::filesystem::path& file);

// Why a downloaded payload may not be used (not an executable image, or not the signed hash), or
// nullopt; a refused file is removed so that it can never be installed or run.
std::optional<std::string> PayloadProblem(UpdateTrust& trust, const Offer& offer, const std::filesystem::path& file);

// Downloads the offer's file into `downloaded` and checks it; one that fails its check is removed and
// fetched whole once more, since a resumed transfer may have joined the start of one copy to the
// end of another. Nothing when the file is ready, else why not (`event` names the log's lines).
std::optional<std::string> DownloadChecked(Downloader& downloader, UpdateTrust& trust, const Offer& offer,
                                           const std::filesystem::path& downloaded, std::string_view event);

}  // namespace zt
