// The Windows side of the downloads below DownloadFile: the server address, a transfer into any
// folder under an enforced budget and the poster to the main window. Split from the thread
// starters so the Windows tests can use them without the application object.
#pragma once
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "update/install/procedures.h"
#include "update/net/server_setting.h"
#include "update/install/temp_file_win.h"
#include "update/net/transfer.h"

namespace zt {

struct DownloadTarget {
  ServerAddress server;
  std::filesystem::path folder;
  // Free bytes on the folder's volume (empty: ask the volume; the Windows tests play a small one,
  // since any volume mounted in the test prefix's update folder is a link the tool will not use).
  std::function<std::optional<std::uint64_t>(const std::filesystem::path&)> freeSpace = {};
};

// GET "/autoupdate/" + name from target.server into target.folder. Returns within `budget` even
// when the server accepts and never answers: the transfer runs on its own thread and is abandoned
// (its handles closed, nothing stored) when the budget ends. A file of known length is resumed
// from its kept part and fetched only when the folder's volume has room for it (else the main
// window's notice says so); a server that asked to wait is not asked. Logs one line.
TransferResult DownloadFileTo(const DownloadTarget& target, const std::string& name, std::int32_t expectedLength,
                              std::chrono::milliseconds budget);

// One GET of `path` on `server`, its answer not read; its status, or 0 when there was none. The
// connection's time-outs are capped by `budget`.
int RequestOnce(const ServerAddress& server, const std::string& path, std::chrono::milliseconds budget);

// The workers' notices as window messages to the main window.
class WindowNotices final : public WorkerNotices {
 public:
  void DataDownloading() override;
  void DataDone(bool installed) override;
  void UpdaterDownloading() override;
  void UpdaterDone(bool replacing) override;
  void Progress(unsigned percent) override;
};

// A downloader into a fixed folder on a fixed server with one budget per file.
class WinInetDownloader final : public Downloader {
 public:
  WinInetDownloader(DownloadTarget target, std::chrono::milliseconds budget)
      : m_target(std::move(target)), m_budget(budget) {}
  bool Download(const std::string& name, std::int32_t expectedLength) override {
    return DownloadFileTo(m_target, name, expectedLength, m_budget).stored;
  }

 private:
  DownloadTarget m_target;
  std::chrono::milliseconds m_budget;
};

}  // namespace zt
