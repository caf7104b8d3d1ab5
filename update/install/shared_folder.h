// The decisions about the update folder that every account of the PC shares (C:\ZT_Update\), apart
// from the Windows calls that carry them out (shared_folder_win.h): whether a folder held open is
// the plain folder it was opened as, whether its permissions are to be set again, and when the
// user is told that another session keeps this tool out of it. Portable.
#pragma once
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace zt {

// Why the folder held open for `named` may not be used: what was opened is not a folder, is a link
// (junction, symbolic link, mount point) rather than the folder itself, or is another folder than
// the one named (`held`, the path the system gives for the open handle, names another: a link on
// the way led elsewhere). Paths compare without "\\?\", trailing separators and ASCII case.
// nullopt when it is the plain folder named.
std::optional<std::string> HeldFolderProblem(std::string_view named, std::string_view held, bool directory,
                                             bool reparsePoint);

// Whether the tool's permissions (`wanted`, SDDL) are to be set on a folder whose owner is `owner`
// and whose permissions are `current` (SDDL): only a folder this account (`self`) owns, since only
// then did this user (or an earlier tool of this user) make it, and only when they differ in more
// than the flags that tell how they were inherited.
bool PermissionsToApply(std::string_view owner, std::string_view self, std::string_view current,
                        std::string_view wanted);

// After this many refusals in a row the user is told why nothing is downloaded or started.
inline constexpr int kLockRefusalsToTell = 3;
// The main window's information text, and the history's words, then.
inline constexpr char kLockHeldNotice[] =
    "另一个用户的会话正在使用共享升级文件夹 C:\\ZT_Update，已连续三次无法下载或启动数据升级。\r\n"
    "请等对方完成，或请其退出自动升级工具后再试。";
inline constexpr char kLockHeldWords[] = "另一个用户的会话正在使用共享升级文件夹，连续三次未能进行数据升级";

// Refusals of the machine-wide lock in a row. One refusal is a moment's overlap with another
// session's tool and is only logged; the third in a row puts kLockHeldNotice in the information
// text (base/notice.h) and a line in the history (what data, refused, cause lock-held). Taking the
// lock starts the count again and takes that notice down (only that one). Safe from any thread.
class LockRefusals {
 public:
  // Another session's tool held the lock. True when this refusal is the one that told the user.
  bool Refused();
  // This tool took the lock.
  void Taken();
  int InARow() const;

 private:
  mutable std::mutex m_mutex;
  int m_inARow = 0;
};

}  // namespace zt
