// What the tool did that the user may want to know later, and support may ask for: every write to
// the device, every data package installed or refused, every self-update, every publication of the
// server that was refused, every start refused after the user was told it would come. One line per
// outcome in history.txt (UTF-8, newest last, at most kHistoryMaxLines): the local time, then
// tab-separated what, result, the versions and the cause in a few words. Each new line is also
// handed to the outcome listener (the vendor's anonymous report). Safe from any thread.
#pragma once
#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zt {

inline constexpr std::size_t kHistoryMaxLines = 100;

// The history's words for what and the result.
inline constexpr char kWhatData[] = "data";
inline constexpr char kWhatUpdater[] = "updater";
inline constexpr char kWhatServer[] = "server";
inline constexpr char kResultOk[] = "ok";
inline constexpr char kResultFailed[] = "failed";
inline constexpr char kResultRolledBack[] = "rolled-back";
inline constexpr char kResultRefused[] = "refused";
inline constexpr char kResultDeferred[] = "deferred";

struct Outcome {
  std::string what;     // kWhat...
  std::string result;   // kResult...
  std::string version;  // the version concerned (UTF-8): the data written or offered, the new executable
  std::string from;     // the version before it: the device's data, the running tool; may be empty
  std::string seq;      // the zt_seq of the descriptor involved; may be empty
  std::string cause;    // a short code for the report ("none", "not-taken", "unplugged", ...)
  std::string words;    // the cause in a few words for the user (UTF-8)
};

// Where history.txt goes (this user's own folder); until set, nothing is kept.
void SetHistoryPath(const std::filesystem::path& file);
// Called with every outcome that adds a line.
void SetOutcomeListener(std::function<void(const Outcome&)> listener);
// Adds the outcome's line and tells the listener. A refusal or a deferral that repeats the last
// line of the same `what` word for word adds nothing: a publication refused at every check is one
// line, not one a check. True when a line was added.
bool RecordOutcome(const Outcome& outcome);
// The lines, oldest first.
std::vector<std::string> HistoryLines();

// The line of an outcome at `time` ("YYYY-MM-DD HH:MM:SS"), without its line end.
std::string HistoryLine(std::string_view time, const Outcome& outcome);

}  // namespace zt
