#include "update/install/descriptor_fetch.h"

#include <mutex>

#include "base/descriptor.h"
#include "base/descriptor_keys.h"
#include "base/log.h"
#include "base/notice.h"
#include "base/paths.h"
#include "update/install/temp_file.h"

namespace zt {
namespace {

// The notice this procedure put up last: an accepted descriptor takes it down, and only it.
std::mutex g_noticeMutex;
std::string g_refusalNotice;

void ShowRefusal(const std::string& notice) {
  std::lock_guard lock(g_noticeMutex);
  g_refusalNotice = notice;
  SetInfoNotice(notice);
}

void TakeDownRefusal() {
  std::lock_guard lock(g_noticeMutex);
  if (!g_refusalNotice.empty() && InfoNotice() == g_refusalNotice) ClearInfoNotice();
  g_refusalNotice.clear();
}

}  // namespace

std::string RefusalCause(std::string_view reason) {
  if (reason.starts_with("not signed")) return "not-signed";
  if (reason.find("sequence") != std::string_view::npos) return "below-floor";
  if (reason.find("older than key") != std::string_view::npos) return "old-key";
  if (reason.find("signature") != std::string_view::npos) return "bad-signature";
  return "unreadable";
}

std::string RefusalNotice(std::string_view cause) {
  if (cause == "not-signed") return "服务器上的升级信息没有签名，已拒绝使用，暂不更新。";
  if (cause == "bad-signature") return "服务器上的升级信息签名无效，已拒绝使用，暂不更新。";
  if (cause == "below-floor") return "服务器上的升级信息比已使用过的旧，已拒绝使用，暂不更新。";
  if (cause == "old-key") return "服务器上的升级信息使用已被替换的旧密钥签名，已拒绝使用，暂不更新。";
  return "服务器上的升级信息无法读取，已拒绝使用，暂不更新。";
}

FetchResult FetchServerDescriptor(DescriptorFetch& f) {
  const std::filesystem::path file = f.folder / kDescriptorName;
  if (!f.downloader.Download(kDescriptorName, 0)) {
    f.descriptor.ClearServer();
    LogEvent("descriptor", "server version.txt not downloaded");
    return FetchResult::NotFetched;
  }
  std::optional<std::string> raw = ReadDescriptorBytes(file);
  std::string refusal;
  if (!raw) {
    // Stored but not readable back: the earlier text stays, as if nothing had been fetched; one
    // larger than any descriptor is refused outright.
    std::error_code ec;
    if (std::filesystem::file_size(file, ec) <= kMaxDescriptorBytes || ec) {
      LogEvent("descriptor", "server version.txt stored but unreadable");
      return FetchResult::NotFetched;
    }
    refusal = "larger than " + std::to_string(kMaxDescriptorBytes) + " bytes";
  } else if (auto why = f.trust.AcceptFetched(*raw, f.descriptor.Local().raw, f.user)) {
    refusal = *why;
  }
  if (!refusal.empty()) {
    // Used by nothing, kept by nothing: the tool goes on as if the server could not be reached.
    f.descriptor.ClearServer();
    RemoveQuietly(file);
    LogEvent("descriptor", "server version.txt refused: " + refusal);
    const std::string cause = RefusalCause(refusal);
    ShowRefusal(RefusalNotice(cause));
    if (f.record) {
      const std::string text = raw ? DecodeDescriptorBytes(*raw) : std::string();
      f.record({kWhatServer,
                kResultRefused,
                f.shown(GetKeyValue(text, kKeyDataVersion)),
                {},
                GetKeyValue(text, kKeySequence),
                cause,
                RefusalNotice(cause)});
    }
    return FetchResult::Refused;
  }
  TakeDownRefusal();
  f.descriptor.SetServerBytes(std::move(*raw));
  if (f.descriptor.ServerText().empty()) {
    LogEvent("descriptor", "server version.txt is empty");
    return FetchResult::NotFetched;
  }
  return FetchResult::Accepted;
}

}  // namespace zt
