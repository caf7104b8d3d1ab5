// The main window's decisions, apart from the Windows calls that carry them out: the start mode,
// the information text, the reactions to the workers' messages and the fitting of balloon texts
// into the tray record's fixed fields. Portable.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zt {

inline constexpr std::string_view kInfoWaiting = "\r\n正在更新，请稍候....";
inline constexpr std::string_view kTextUpdaterDownloading = "检测到新版本，自动升级工具正在下载...";
inline constexpr std::string_view kTextDataDownloading = "正在从服务器下载最新升级包...";
inline constexpr std::string_view kTextUpdaterReplaced = "自动升级工具更新成功, 版本:";
inline constexpr std::string_view kAskAutoStartText =
    "保持数据自动更新，简化操作\r\n\r\n请确认是否设置软件为开机自动运行？";
// The tray record's fields in UTF-16 units, without the terminating zero.
inline constexpr std::size_t kBalloonTextUnits = 255;
inline constexpr std::size_t kBalloonTitleUnits = 63;

enum class StartMode {
  NoArguments,  // argument count 0: visible, no refresh and no question until the first tick
  Visible,      // visible: refresh now, ask about auto-start a second later
  Hidden,       // "autohide" in argument 1 (any case): shrink now, hide 100 ms later
};
StartMode DecideStartMode(int argCount, std::string_view arg1);

// The local files are missing when data_update.exe is absent, or present without version.txt.
bool LocalFilesMissing(bool dataProgramExists, bool descriptorExists);

// The information text; the three values are UTF-8 (already converted from the descriptor). A
// notice (base/notice.h), when there is one, takes the place of the waiting text, or follows the
// data's lines on a line of its own.
std::string BuildInfoText(bool filesMissing, bool busy, std::string_view dataVersion, std::string_view dataTime,
                          std::string_view dataDesc, std::string_view notice = {});

// Whose download the progress window shows (both downloads share it).
enum class ProgressOwner { None, Updater, Data };

// What the main window does for one of the five worker messages.
struct WorkerReaction {
  bool handled = false;                     // one of the five messages
  std::optional<std::string> balloon;       // text to show ("" takes a balloon down)
  std::optional<std::string> showProgress;  // open or update the progress window at 0 with this text
  std::optional<int> setProgress;           // move the bar
  bool hideProgress = false;
  ProgressOwner progressOwner = ProgressOwner::None;  // whose download it shows afterwards
  std::optional<bool> busy;                           // new value of m_bBusy
  bool refreshInfo = false;
  bool destroy = false;  // end the program
};
// wParam as the message carries it; `visible` is the main window's visibility now; `owner`
// whose download the progress window shows now; the data version and date are UTF-8 texts for the
// balloon. WM_UPDATER_DONE 1 ends the program without a word: the new version, once it has shown
// that it runs, tells the user (ReplacedText).
WorkerReaction ReactToWorkerMessage(unsigned message, std::uintptr_t wParam, bool visible, ProgressOwner owner,
                                    std::string_view dataVersion, std::string_view dataTime);

// The history window's text: the lines newest first, one a line; a word for an empty history.
std::string HistoryText(const std::vector<std::string>& linesOldestFirst);

// The new version's balloon once it has confirmed that it runs.
std::string ReplacedText(std::string_view appVersion);

// The longest prefix of `utf8` that takes at most `maxUnits` UTF-16 units and ends on a whole
// character (a surrogate pair is never split; an invalid byte counts as one unit, as it becomes
// one replacement character when widened).
std::string FitUtf16Units(std::string_view utf8, std::size_t maxUnits);

}  // namespace zt
