// WinINet under the download loop, and DownloadFile with its enforced budget.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "app/fsutil.h"
#include "app/ids.h"
#include "app/log.h"
#include "app/paths.h"
#include "update/downloads_win.h"
#include "update/downloads.h"
#include "win/error.h"
#include "win/handles.h"
#include "win/system_dll.h"
#include "win/text.h"

namespace zt {
namespace {

std::atomic<HWND> g_window{nullptr};

// Per-operation time-outs; the overall budget caps them further.
constexpr DWORD kConnectTimeoutMs = 15000;
constexpr DWORD kReceiveTimeoutMs = 30000;

// The three WinINet handles of one transfer. The watchdog may close them from the caller's thread
// while the transfer thread is blocked in a call: closing is what makes that call return.
struct InternetHandles {
  std::mutex mutex;
  HINTERNET session = nullptr, connection = nullptr, request = nullptr;
  bool closed = false;

  void CloseAll() {
    std::lock_guard lock(mutex);
    closed = true;
    for (HINTERNET* h : {&request, &connection, &session}) {
      if (*h != nullptr) WinInet()->InternetCloseHandle(*h);
      *h = nullptr;
    }
  }
  // Keeps a new handle unless the watchdog has closed the transfer already. The caller reads the
  // error of the call that gave `h` after this returns, so the lock and any close here keep it.
  bool Keep(HINTERNET& slot, HINTERNET h) {
    const DWORD error = ::GetLastError();
    std::lock_guard lock(mutex);
    if (closed) {
      if (h != nullptr) WinInet()->InternetCloseHandle(h);
      ::SetLastError(h != nullptr ? ERROR_INTERNET_OPERATION_CANCELLED : error);
      return false;
    }
    slot = h;
    ::SetLastError(error);
    return h != nullptr;
  }
  HINTERNET Request() {
    std::lock_guard lock(mutex);
    return request;
  }
};

class WinInetSource final : public HttpSource {
 public:
  WinInetSource(InternetHandles& handles, ServerAddress server, std::chrono::milliseconds budget)
      : m_h(handles), m_server(std::move(server)), m_budget(budget) {}

  HttpAnswer Open(const std::string& path) override {
    HttpAnswer a;
    const WinInetFunctions* net = WinInet();
    if (!net) {
      a.reason = "wininet.dll cannot be loaded from System32";
      return a;
    }
    if (auto failure = OpenRequest(*net, path)) {
      a.reason = std::move(*failure);
      return a;
    }
    if (!net->HttpSendRequestW(m_h.Request(), nullptr, 0, nullptr, 0)) {
      a.reason = LastErrorText("HttpSendRequestW");
      return a;
    }
    DWORD status = 0, size = sizeof status;
    if (!net->HttpQueryInfoW(m_h.Request(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr)) {
      a.reason = LastErrorText("HttpQueryInfoW(status)");
      return a;
    }
    a.status = static_cast<int>(status);
    wchar_t length[32] = {};
    DWORD bytes = sizeof length;
    if (net->HttpQueryInfoW(m_h.Request(), HTTP_QUERY_CONTENT_LENGTH, length, &bytes, nullptr))
      a.announced = ParseDecimal(Narrow(length));
    a.ok = true;
    return a;
  }

  HttpRead Read(char* buffer, std::size_t size) override {
    HttpRead r;
    DWORD got = 0;
    if (!WinInet()->InternetReadFile(m_h.Request(), buffer, static_cast<DWORD>(size), &got)) {
      r.reason = LastErrorText("InternetReadFile");
      return r;
    }
    r.ok = true;
    r.bytes = got;
    return r;
  }

 private:
  // Session, connection and GET request, each with time-outs within the budget; why not, or nothing.
  std::optional<std::string> OpenRequest(const WinInetFunctions& net, const std::string& path) {
    if (!m_h.Keep(m_h.session, net.InternetOpenW(L"ZT_AutoUpdate", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0)))
      return LastErrorText("InternetOpenW");
    const auto capped = [&](DWORD ms) {
      return static_cast<DWORD>(std::min<long long>(ms, std::max<long long>(1000, m_budget.count())));
    };
    SetTimeout(m_h.session, INTERNET_OPTION_CONNECT_TIMEOUT, capped(kConnectTimeoutMs));
    SetTimeout(m_h.session, INTERNET_OPTION_SEND_TIMEOUT, capped(kReceiveTimeoutMs));
    SetTimeout(m_h.session, INTERNET_OPTION_RECEIVE_TIMEOUT, capped(kReceiveTimeoutMs));
    const INTERNET_PORT port = m_server.port != 0 ? m_server.port : INTERNET_DEFAULT_HTTP_PORT;
    if (!m_h.Keep(m_h.connection, net.InternetConnectW(m_h.session, Widen(m_server.host).c_str(), port, nullptr,
                                                       nullptr, INTERNET_SERVICE_HTTP, 0, 1)))
      return LastErrorText("InternetConnectW");
    // Fresh answers only: a cached old descriptor must never hide a new version, and packages
    // must not fill the cache.
    const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE |
                        INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_KEEP_CONNECTION;
    if (!m_h.Keep(m_h.request, net.HttpOpenRequestW(m_h.connection, L"GET", Widen(path).c_str(), nullptr, nullptr,
                                                    nullptr, flags, 1)))
      return LastErrorText("HttpOpenRequestW");
    // The request takes its own time-outs too: Wine applies them only there.
    SetTimeout(m_h.Request(), INTERNET_OPTION_SEND_TIMEOUT, capped(kReceiveTimeoutMs));
    SetTimeout(m_h.Request(), INTERNET_OPTION_RECEIVE_TIMEOUT, capped(kReceiveTimeoutMs));
    return std::nullopt;
  }

  static void SetTimeout(HINTERNET handle, DWORD option, DWORD ms) {
    if (handle != nullptr) WinInet()->InternetSetOptionW(handle, option, &ms, sizeof ms);
  }
  InternetHandles& m_h;
  ServerAddress m_server;
  std::chrono::milliseconds m_budget;
};

// What the transfer thread and the waiting caller share; whoever ends last frees it.
struct TransferJob {
  InternetHandles handles;
  std::atomic<bool> cancelled{false};
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  TransferResult result;
};

void Post(unsigned message, WPARAM wParam) {
  if (HWND w = g_window.load()) ::PostMessageW(w, message, wParam, 0);
}

void PostProgress(unsigned percent) { Post(WM_DOWNLOAD_PROGRESS, percent); }

// Pushes the file's data to the disk; the Windows error when it cannot.
DWORD FlushToDisk(const std::filesystem::path& file) {
  // FlushFileBuffers needs a handle that may write.
  UniqueKernelHandle h(::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h || !::FlushFileBuffers(h.get())) return ::GetLastError();
  return ERROR_SUCCESS;
}

std::once_flag g_tokenOnce;

void LogDownload(const std::string& name, std::int32_t expected, const TransferResult& r) {
  std::string line = name + " expected=" + std::to_string(expected) + " status=" + std::to_string(r.status) +
                     " received=" + std::to_string(r.received) + " result=" + (r.stored ? "stored" : "failed") +
                     " reason=" + r.reason;
  LogEvent("download", line);
}

}  // namespace

void SetMessageWindow(HWND window) { g_window = window; }
HWND MessageWindow() { return g_window.load(); }

void WindowNotices::DataDownloading() { Post(WM_DATA_DOWNLOADING, 0); }
void WindowNotices::DataDone(bool installed) { Post(WM_DATA_DONE, installed ? 1 : 0); }
void WindowNotices::UpdaterDownloading() { Post(WM_UPDATER_DOWNLOADING, 0); }
// 1 ends the program: the replacement script is waiting for it.
void WindowNotices::UpdaterDone(bool replacing) { Post(WM_UPDATER_DONE, replacing ? 1 : 0); }
void WindowNotices::Progress(unsigned percent) { PostProgress(percent); }

bool MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to, std::string& reason) {
  // The files can be held for a moment: another transfer replacing the target at the same time,
  // or a virus scanner or indexer reading the new file. Those refusals pass; others are final.
  constexpr int kAttempts = 40;
  constexpr DWORD kPauseMs = 50;
  bool flushed = false;
  for (int attempt = 1;; ++attempt) {
    const char* operation = "FlushFileBuffers";
    DWORD error = flushed ? ERROR_SUCCESS : FlushToDisk(from);
    flushed = error == ERROR_SUCCESS;
    if (flushed) {
      operation = "MoveFileExW";
      if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
      error = ::GetLastError();
    }
    const bool passing =
        error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
    if (!passing || attempt == kAttempts) {
      reason = ErrorText(operation, error);
      return false;
    }
    ::Sleep(kPauseMs);
  }
}

ServerAddress UpdateServerAddress() {
  wchar_t value[512];
  const DWORD n = ::GetEnvironmentVariableW(Widen(kServerEnvVar).c_str(), value, 512);
  if (n > 0 && n < 512) {
    const std::string text = Narrow(std::wstring_view(value, n));
    if (auto a = ParseServerAddress(text)) return *a;
    LogEvent("download", std::string(kServerEnvVar) + " \"" + text + "\" is not host or host:port; using the default");
  }
  if (auto a = ParseServerAddress(ZT_UPDATE_SERVER_DEFAULT)) return *a;
  return ServerAddress{ZT_UPDATE_SERVER_DEFAULT, 0};
}

TransferResult DownloadFileTo(const DownloadTarget& target, const std::string& name, std::int32_t expectedLength,
                              std::chrono::milliseconds budget) {
  std::call_once(g_tokenOnce, [] { SetTempToken(::GetCurrentProcessId()); });
  TransferResult result;
  if (!IsSafeServerFileName(name)) {
    result.reason = "not a plain file name";
    LogDownload(name, expectedLength, result);
    return result;
  }
  auto job = std::make_shared<TransferJob>();
  const auto deadline = std::chrono::steady_clock::now() + budget;
  try {
    std::thread([job, target, name, expectedLength, budget, deadline] {
      TransferResult r;
      try {
        WinInetSource source(job->handles, target.server, budget);
        TransferRequest request;
        request.name = name;
        request.expectedLength = expectedLength;
        request.folder = target.folder;
        request.deadline = deadline;
        request.progress = PostProgress;
        request.cancelled = &job->cancelled;
        request.replace = MoveReplacing;
        r = RunTransfer(source, request);
      } catch (...) {
        r.reason = "error";
      }
      job->handles.CloseAll();
      std::lock_guard lock(job->mutex);
      job->result = std::move(r);
      job->finished = true;
      job->done.notify_all();
    }).detach();
  } catch (...) {
    result.reason = "cannot start the transfer thread";
    LogDownload(name, expectedLength, result);
    return result;
  }
  {
    std::unique_lock lock(job->mutex);
    if (job->done.wait_until(lock, deadline, [&] { return job->finished; })) {
      result = job->result;
    } else {
      // The transfer may be blocked inside WinINet: stop it from storing anything, close its
      // handles so the blocked call returns, and let the caller go on now.
      job->cancelled = true;
      lock.unlock();
      job->handles.CloseAll();
      lock.lock();
      if (job->finished) {
        result = job->result;  // it ended just now; its own outcome stands
      } else {
        result.reason = "time budget of " + std::to_string(budget.count()) + " ms exceeded";
      }
    }
  }
  LogDownload(name, expectedLength, result);
  return result;
}

int DownloadFile(const std::string& name, std::int32_t expectedLength, std::chrono::milliseconds budget) {
  return DownloadFileTo({UpdateServerAddress(), PathFromUtf8(kDownloadFolder)}, name, expectedLength, budget).stored
             ? 1
             : 0;
}

void RemoveStaleDownloads() {
  std::call_once(g_tokenOnce, [] { SetTempToken(::GetCurrentProcessId()); });
  int removed = RemoveStaleTempFiles(PathFromUtf8(kDownloadFolder), std::chrono::hours(24));
  removed += RemoveStaleTempFiles(PathFromUtf8(kUpdateRoot), std::chrono::hours(24));
  if (removed > 0) LogEvent("download", "removed " + std::to_string(removed) + " unfinished temporary files");
}

}  // namespace zt
