// The keys of version.txt, in one place: the tool looks them up by these names, and
// scripts/ztpublish.py reads them from this file (one `inline constexpr char kKey...[] = "...";`
// per line) to write them.
#pragma once

namespace zt {

inline constexpr char kKeyDataVersion[] = "data_version";
inline constexpr char kKeyDataTime[] = "data_time";
inline constexpr char kKeyDataDesc[] = "data_desc";
inline constexpr char kKeyDataFile[] = "data_file";
inline constexpr char kKeyDataLength[] = "data_length";
inline constexpr char kKeyDataSha256[] = "data_sha256";
inline constexpr char kKeyDataRollout[] = "data_rollout";
// The x86 executable; tools of the earlier kind read these too.
inline constexpr char kKeyUpdaterVersion[] = "updater_version";
inline constexpr char kKeyUpdaterFile[] = "updater_file";
inline constexpr char kKeyUpdaterLength[] = "updater_length";
inline constexpr char kKeyUpdaterSha256[] = "updater_sha256";
inline constexpr char kKeyUpdaterRollout[] = "updater_rollout";
inline constexpr char kKeySequence[] = "zt_seq";
inline constexpr char kKeySignature[] = "zt_sig";
// The x64 executable: each updater key with this suffix. A suffix, never a prefix: a look-up finds
// "key=" anywhere in the text, so "x64_updater_file=" would be found as "updater_file=".
inline constexpr char kKeyX64Suffix[] = "_x64";

}  // namespace zt
