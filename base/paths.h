// Fixed names of the tool: folders, files, the version, the server path. One place for each.
#pragma once

#include "res/version.h"

namespace zt {

// The program's own version, res/version.h's text (defined in base/version.cpp alone, so a test
// build of the next version differs in that one file).
extern const char kAppVersion[];
inline constexpr char kMutexName[] = "Zant_AutoUpdate_Sem";
// Broadcast by "/exit" to the running instance's main window.
inline constexpr char kEndInstanceMessage[] = "ZT_AutoUpdate.EndInstance";

// The executable's file name, as installed and as published (res/version.h, which the resource
// script, the installer and the scripts read too).
inline constexpr char kExeName[] = ZT_EXE_NAME;

inline constexpr char kUpdateRoot[] = "C:\\ZT_Update\\";
inline constexpr char kDownloadFolderName[] = "Download";
inline constexpr char kDescriptorName[] = "version.txt";
inline constexpr char kDataProgramName[] = "data_update.exe";
// The replacement script of earlier versions: tools of those versions still write it into the
// download folder, so no published file may take its name.
inline constexpr char kScriptName[] = "delete.bat";
// In this user's own folder: the diagnostic log and the history of outcomes.
inline constexpr char kLogName[] = "autoupdate.log";
inline constexpr char kHistoryName[] = "history.txt";
// The log's previous part, once it has grown past its cap: "autoupdate.log.1".
inline constexpr char kOldLogSuffix[] = ".1";
// Suffixes of the tool's own unfinished files: a temporary file before it is moved into place, and
// a download's kept part with its record (what it is a part of).
inline constexpr char kTempSuffix[] = ".ztpart";
inline constexpr char kResumePartSuffix[] = ".ztresume";
inline constexpr char kResumeRecordSuffix[] = ".ztresume.info";
// Inside this user's own folder (%LOCALAPPDATA%\ZT_AutoUpdate\): the checked copy of the
// data-update program is started from here.
inline constexpr char kPrivateRunFolder[] = "run";
// The data-update program's command line (as written: "ZT_update"; the file system ignores case).
inline constexpr char kDataProgramCommand[] = "C:\\ZT_update\\data_update.exe";
inline constexpr char kDataProgramCaption[] = "ZT_PNV 系统升级工具";

inline constexpr char kServerPathPrefix[] = "/autoupdate/";
inline constexpr char kServerEnvVar[] = "ZT_UPDATE_SERVER";

inline constexpr char kRunKeyPath[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\\";
// What the tool keeps for the user who runs it, under HKEY_CURRENT_USER.
inline constexpr char kUserStateKey[] = "Software\\ZT_AutoUpdate";
inline constexpr char kRunValueName[] = "ZT_AutoUpdate";
inline constexpr char kAutoHideSwitch[] = "/autohide";
// Argument 1 of the installer's request to end the running tool.
inline constexpr char kExitSwitch[] = "/exit";
// Argument 2 of the previous version's start of the new executable; arguments 3 and 4 name the
// previous process and the confirmation event (earlier versions give neither).
inline constexpr char kReplacedSwitch[] = "/replaced";
// The confirmation event a replaced start sets: this prefix, then the random part of its command
// line, or (for a version of the earlier order, which gives none) its own process id.
inline constexpr char kConfirmationEventPrefix[] = "ZT_AutoUpdate.Replaced.";

// Beside the executable during a self-update: the checked new version, which runs from there until
// it takes the executable's place; and the old copy that versions of the earlier order kept aside.
inline constexpr char kNewExecutableSuffix[] = ".ztnew";
inline constexpr char kOldExecutableSuffix[] = ".ztold";
// In this user's own folder while a self-update changes hands: what was started, and how far it got.
inline constexpr char kReplacementRecordName[] = "replacing.txt";

inline constexpr char kBalloonTitle[] = "数据升级";

}  // namespace zt
