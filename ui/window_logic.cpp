#include "ui/window_logic.h"

#include "base/ids.h"

namespace zt {

StartMode DecideStartMode(int argCount, std::string_view arg1) {
  if (argCount < 1) return StartMode::NoArguments;
  std::string lower(arg1);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower.find("autohide") != std::string::npos ? StartMode::Hidden : StartMode::Visible;
}

bool LocalFilesMissing(bool dataProgramExists, bool descriptorExists) {
  return !dataProgramExists || !descriptorExists;
}

std::string BuildInfoText(bool filesMissing, bool busy, std::string_view dataVersion, std::string_view dataTime,
                          std::string_view dataDesc, std::string_view notice) {
  // Nothing to show yet: a notice (why nothing comes, or what waits for the user) says more than
  // "please wait".
  if (filesMissing || busy) return notice.empty() ? std::string(kInfoWaiting) : "\r\n" + std::string(notice);
  const std::string tail = notice.empty() ? std::string() : "\r\n\r\n" + std::string(notice);
  std::string text = "\r\n数据版本: ";
  text += dataVersion;
  text += "\r\n\r\n更新日期: ";
  text += dataTime;
  text += "\r\n\r\n更新区域: ";
  text += dataDesc;
  text += "\r\n";
  text += "\r\n\r\n后台运行时若有新数据版本发布将自动下载。";
  text += "\r\n\r\n当设备连接时可自动检测并提示升级。";
  return text + tail;
}

WorkerReaction ReactToWorkerMessage(unsigned message, std::uintptr_t wParam, bool visible, ProgressOwner owner,
                                    std::string_view dataVersion, std::string_view dataTime) {
  WorkerReaction r;
  r.progressOwner = owner;
  switch (message) {
    case WM_UPDATER_DOWNLOADING:
    case WM_DATA_DOWNLOADING: {
      const std::string_view text = message == WM_UPDATER_DOWNLOADING ? kTextUpdaterDownloading : kTextDataDownloading;
      r.handled = true;
      r.balloon = std::string(text);
      // A tool running hidden in the tray never shows the progress window.
      if (visible) {
        r.showProgress = std::string(text);
        r.progressOwner = message == WM_UPDATER_DOWNLOADING ? ProgressOwner::Updater : ProgressOwner::Data;
      }
      r.busy = true;
      break;
    }
    case WM_UPDATER_DONE:
      r.handled = true;
      r.busy = false;
      if (wParam != 0) {
        // The new version is in place but has not yet shown that it runs: it says so itself.
        r.destroy = true;
      } else {
        r.balloon = std::string();
        // Both downloads share the progress window: a failed updater download must not leave it
        // standing, nor close it while it shows the data download.
        if (owner == ProgressOwner::Updater) {
          r.hideProgress = true;
          r.progressOwner = ProgressOwner::None;
        }
      }
      break;
    case WM_DATA_DONE:
      r.handled = true;
      if (wParam != 0) {
        r.balloon =
            "最新升级数据已下载完成。\r\n版本:" + std::string(dataVersion) + " 发布日期:" + std::string(dataTime);
      } else {
        r.balloon = std::string();
      }
      r.hideProgress = true;
      r.progressOwner = ProgressOwner::None;
      r.busy = false;
      r.refreshInfo = true;
      break;
    case WM_DOWNLOAD_PROGRESS:
      r.handled = true;
      // The percentage travels in wParam; the bar keeps it within 0..100 itself.
      r.setProgress = static_cast<int>(static_cast<std::intptr_t>(wParam));
      break;
    default:
      break;
  }
  return r;
}

std::string HistoryText(const std::vector<std::string>& lines) {
  if (lines.empty()) return "还没有升级记录。";
  std::string text;
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    if (!text.empty()) text += "\r\n";
    text += *it;
  }
  return text;
}

std::string ReplacedText(std::string_view appVersion) {
  return std::string(kTextUpdaterReplaced) + std::string(appVersion);
}

std::string FitUtf16Units(std::string_view utf8, std::size_t maxUnits) {
  std::size_t units = 0;
  std::size_t i = 0;
  while (i < utf8.size()) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    std::size_t len = 1;
    std::size_t need = 1;
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      need = 2;  // outside the BMP: a surrogate pair
    }
    if (len > 1) {
      // A truncated or malformed sequence: its lead byte stands alone as one replacement unit.
      bool whole = i + len <= utf8.size();
      for (std::size_t k = 1; whole && k < len; ++k) {
        whole = (static_cast<unsigned char>(utf8[i + k]) & 0xC0) == 0x80;
      }
      if (!whole) {
        len = 1;
        need = 1;
      }
    }
    if (units + need > maxUnits) break;
    units += need;
    i += len;
  }
  return std::string(utf8.substr(0, i));
}

}  // namespace zt
