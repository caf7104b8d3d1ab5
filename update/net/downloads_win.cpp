// WinINet under the download loop, and DownloadFile with its enforced budget.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>

#include "base/fsutil.h"
#include "base/ids.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/thread.h"
#include "update/net/downloads_win.h"
#include "update/net/disk_space.h"
#include "update/net/disk_space_win.h"
#include "update/downloads.h"
#include "update/net/resume.h"
#include "update/net/server_setting.h"
#include "base/descriptor.h"
#include "update/install/shared_folder_win.h"
#include "update/install/stale_payloads.h"
#include "update/install/temp_file_win.h"
#include "win/error.h"
#include "win/system_dll.h"
#include "win/window_poster.h"
#include "win/text.h"

namespace zt {
namespace {

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
  // Ends the request of an earlier connection of the same transfer.
  void CloseRequest() {
    std::lock_guard lock(mutex);
    if (request != nullptr) WinInet()->InternetCloseHandle(request);
    request = nullptr;
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

// "ZT_AutoUpdate/<version> (Windows NT <major>.<minor>; <x64|x86>)", so that a publisher can count
// versions in the web server's log. RtlGetVersion tells the real version; GetVersionEx answers
// as Windows 8 to a program whose manifest does not name the newer ones.
const std::wstring& UserAgent() {
  static const std::wstring agent = [] {
    RTL_OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    using RtlGetVersionFn = LONG(WINAPI*)(RTL_OSVERSIONINFOW*);
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    const auto get =
        ntdll ? reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlGetVersion")))
              : nullptr;
    if (!get || get(&info) != 0) info.dwMajorVersion = info.dwMinorVersion = 0;
#ifdef _WIN64
    const char* arch = "x64";
#else
    const char* arch = "x86";
#endif
    return Widen(std::string("ZT_AutoUpdate/") + kAppVersion + " (Windows NT " + std::to_string(info.dwMajorVersion) +
                 "." + std::to_string(info.dwMinorVersion) + "; " + arch + ")");
  }();
  return agent;
}

class WinInetSource final : public HttpSource {
 public:
  WinInetSource(InternetHandles& handles, ServerAddress server, std::chrono::milliseconds budget)
      : m_h(handles), m_server(std::move(server)), m_budget(budget) {}

  HttpAnswer Open(const HttpGet& get) override {
    HttpAnswer a;
    const WinInetFunctions* net = WinInet();
    if (!net) {
      a.reason = WinInetProblem();
      return a;
    }
    if (auto failure = OpenRequest(*net, get.path)) {
      a.reason = std::move(*failure);
      return a;
    }
    std::wstring headers;
    if (get.from > 0) {
      headers = L"Range: bytes=" + std::to_wstring(get.from) + L"-\r\n";
      if (!get.ifRange.empty()) headers += L"If-Range: " + Widen(get.ifRange) + L"\r\n";
    }
    if (!net->HttpSendRequestW(m_h.Request(), headers.empty() ? nullptr : headers.c_str(),
                               static_cast<DWORD>(headers.size()), nullptr, 0)) {
      a.reason = LastErrorText("HttpSendRequestW");
      return a;
    }
    if (auto refusal = InsecureRedirect(*net)) {
      a.reason = std::move(*refusal);
      return a;
    }
    DWORD status = 0, size = sizeof status;
    if (!net->HttpQueryInfoW(m_h.Request(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr)) {
      a.reason = LastErrorText("HttpQueryInfoW(status)");
      return a;
    }
    a.status = static_cast<int>(status);
    a.announced = ParseDecimal(Header(*net, HTTP_QUERY_CONTENT_LENGTH));
    a.contentRange = Header(*net, HTTP_QUERY_CONTENT_RANGE);
    a.etag = Header(*net, HTTP_QUERY_ETAG);
    a.lastModified = Header(*net, HTTP_QUERY_LAST_MODIFIED);
    a.retryAfter = Header(*net, HTTP_QUERY_RETRY_AFTER);
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
  // Session and connection once per transfer, a GET request per Open, each with time-outs within
  // the budget; why not, or nothing.
  std::optional<std::string> OpenRequest(const WinInetFunctions& net, const std::string& path) {
    const auto capped = [&](DWORD ms) {
      return static_cast<DWORD>(std::min<long long>(ms, std::max<long long>(1000, m_budget.count())));
    };
    m_h.CloseRequest();
    if (!m_opened) {
      if (!m_h.Keep(m_h.session,
                    net.InternetOpenW(UserAgent().c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0)))
        return LastErrorText("InternetOpenW");
      SetTimeout(m_h.session, INTERNET_OPTION_CONNECT_TIMEOUT, capped(kConnectTimeoutMs));
      SetTimeout(m_h.session, INTERNET_OPTION_SEND_TIMEOUT, capped(kReceiveTimeoutMs));
      SetTimeout(m_h.session, INTERNET_OPTION_RECEIVE_TIMEOUT, capped(kReceiveTimeoutMs));
      if (!m_h.Keep(m_h.connection,
                    net.InternetConnectW(m_h.session, Widen(m_server.host).c_str(), m_server.EffectivePort(), nullptr,
                                         nullptr, INTERNET_SERVICE_HTTP, 0, 1)))
        return LastErrorText("InternetConnectW");
      m_opened = true;
    }
    // Fresh answers only: a cached old descriptor must never hide a new version, and packages
    // must not fill the cache. HTTPS takes the system's certificate checks as they are: no flag
    // that ignores a certificate error, and a redirect to plain HTTP is refused below.
    DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE |
                  INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_KEEP_CONNECTION;
    if (m_server.secure) flags |= INTERNET_FLAG_SECURE;
    if (!m_h.Keep(m_h.request, net.HttpOpenRequestW(m_h.connection, L"GET", Widen(path).c_str(), nullptr, nullptr,
                                                    nullptr, flags, 1)))
      return LastErrorText("HttpOpenRequestW");
    // The request takes its own time-outs too: Wine applies them only there.
    SetTimeout(m_h.Request(), INTERNET_OPTION_SEND_TIMEOUT, capped(kReceiveTimeoutMs));
    SetTimeout(m_h.Request(), INTERNET_OPTION_RECEIVE_TIMEOUT, capped(kReceiveTimeoutMs));
    return std::nullopt;
  }

  // WinINet follows redirects by itself; one that left HTTPS for plain HTTP gives nothing that
  // may be used, whatever the WinINet at hand allows.
  std::optional<std::string> InsecureRedirect(const WinInetFunctions& net) {
    if (!m_server.secure) return std::nullopt;
    std::wstring url(2048, L'\0');
    DWORD bytes = static_cast<DWORD>(url.size() * sizeof(wchar_t));
    if (!net.InternetQueryOptionW(m_h.Request(), INTERNET_OPTION_URL, url.data(), &bytes))
      return LastErrorText("InternetQueryOptionW(URL)");
    url.resize(std::min<std::size_t>(bytes / sizeof(wchar_t), url.size()));
    while (!url.empty() && url.back() == L'\0') url.pop_back();
    if (url.size() >= 8 && _wcsnicmp(url.c_str(), L"https://", 8) == 0) return std::nullopt;
    return "refused: redirected from https to " + Narrow(url);
  }

  std::string Header(const WinInetFunctions& net, DWORD query) {
    wchar_t value[512] = {};
    DWORD bytes = sizeof value - sizeof(wchar_t);
    if (!net.HttpQueryInfoW(m_h.Request(), query, value, &bytes, nullptr)) return {};
    return Narrow(std::wstring_view(value, bytes / sizeof(wchar_t)));
  }

  static void SetTimeout(HINTERNET handle, DWORD option, DWORD ms) {
    if (handle != nullptr) WinInet()->InternetSetOptionW(handle, option, &ms, sizeof ms);
  }
  InternetHandles& m_h;
  ServerAddress m_server;
  std::chrono::milliseconds m_budget;
  bool m_opened = false;
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

void Post(unsigned message, WPARAM wParam) { PostToMainWindow(message, wParam); }

void PostProgress(unsigned percent) { Post(WM_DOWNLOAD_PROGRESS, percent); }

void LogDownload(const std::string& name, std::int32_t expected, const TransferResult& r) {
  std::string line = name + " expected=" + std::to_string(expected) + " status=" + std::to_string(r.status) +
                     " received=" + std::to_string(r.received) + " result=" + (r.stored ? "stored" : "failed") +
                     " reason=" + r.reason;
  // What a resumed or reconnected transfer cost, when it was more than one plain request.
  if (r.resumedFrom > 0 || r.connections > 1)
    line += " (resumed from " + std::to_string(r.resumedFrom) + ", " + std::to_string(r.fetched) +
            " bytes fetched over " + std::to_string(r.connections) + " connections)";
  LogEvent("download", line);
}

}  // namespace

void WindowNotices::DataDownloading() { Post(WM_DATA_DOWNLOADING, 0); }
void WindowNotices::DataDone(bool installed) { Post(WM_DATA_DONE, installed ? 1 : 0); }
void WindowNotices::UpdaterDownloading() { Post(WM_UPDATER_DOWNLOADING, 0); }
// 1 ends the program: the replacement script is waiting for it.
void WindowNotices::UpdaterDone(bool replacing) { Post(WM_UPDATER_DONE, replacing ? 1 : 0); }
void WindowNotices::Progress(unsigned percent) { PostProgress(percent); }

namespace {

// The transfer on a thread of its own, waited for until the budget ends; then its handles are
// closed (a call blocked inside WinINet returns), it may store nothing, and the caller goes on.
TransferResult TransferWithinBudget(const DownloadTarget& target, const std::string& name, std::int32_t expectedLength,
                                    std::chrono::milliseconds budget) {
  auto job = std::make_shared<TransferJob>();
  const auto deadline = std::chrono::steady_clock::now() + budget;
  const bool started = StartDetached("download", [job, target, name, expectedLength, budget, deadline] {
    // The waiting caller hears the end however the transfer ends.
    struct Finish {
      TransferJob& job;
      TransferResult result;
      ~Finish() {
        job.handles.CloseAll();
        std::lock_guard lock(job.mutex);
        job.result = std::move(result);
        job.finished = true;
        job.done.notify_all();
      }
    } finish{*job, {}};
    finish.result.reason = "error";
    WinInetSource source(job->handles, target.server, budget);
    TransferRequest request;
    request.name = name;
    request.expectedLength = expectedLength;
    request.folder = target.folder;
    request.deadline = deadline;
    request.progress = PostProgress;
    request.cancelled = &job->cancelled;
    request.replace = MoveReplacing;
    request.origin = target.server.Origin();
    request.pauses = &ProcessServerPauses();
    finish.result = RunTransfer(source, request);
  });
  TransferResult result;
  if (!started) {
    result.reason = "cannot start the transfer thread";
    return result;
  }
  std::unique_lock lock(job->mutex);
  if (job->done.wait_until(lock, deadline, [&] { return job->finished; })) return job->result;
  job->cancelled = true;
  lock.unlock();
  job->handles.CloseAll();
  lock.lock();
  if (job->finished) return job->result;  // it ended just now; its own outcome stands
  result.reason = "time budget of " + std::to_string(budget.count()) + " ms exceeded";
  return result;
}

}  // namespace

TransferResult DownloadFileTo(const DownloadTarget& target, const std::string& name, std::int32_t expectedLength,
                              std::chrono::milliseconds budget) {
  TransferResult result;
  if (!IsSafeServerFileName(name)) {
    result.reason = "not a plain file name";
    LogDownload(name, expectedLength, result);
    return result;
  }
  const auto freeBytes = [&] { return target.freeSpace ? target.freeSpace(target.folder) : FreeBytes(target.folder); };
  if (auto refusal = SpaceRefusal(expectedLength, freeBytes)) {
    result.reason = std::move(*refusal);
    LogDownload(name, expectedLength, result);
    return result;
  }
  result = TransferWithinBudget(target, name, expectedLength, budget);
  LogDownload(name, expectedLength, result);
  return result;
}

int RequestOnce(const ServerAddress& server, const std::string& path, std::chrono::milliseconds budget) {
  InternetHandles handles;
  WinInetSource source(handles, server, budget);
  const HttpAnswer answer = source.Open({path, 0, {}});
  // The answer's body (an empty file, or an error page) is of no use: it is not read.
  handles.CloseAll();
  return answer.ok ? answer.status : 0;
}

constexpr std::chrono::hours kStaleTemporaryAge{24};
constexpr std::chrono::hours kStalePartAge{24 * 7};

void RemoveStaleDownloads() {
  const std::filesystem::path root = SharedRoot(), shared = SharedDownloadFolder();
  const std::filesystem::path own = OwnDownloadFolder();
  // What the installed descriptor and the last one fetched name stays; anything else of the tool's
  // is a payload of an earlier publication, or the kept part of a file no longer offered.
  std::vector<std::string> kept;
  for (const std::filesystem::path& descriptor : {root / kDescriptorName, own / kDescriptorName}) {
    if (descriptor.parent_path().empty()) continue;
    if (const auto text = ReadDescriptorFile(descriptor)) {
      for (std::string& name : OfferedFiles(*text)) kept.push_back(std::move(name));
    }
  }
  int temporary = 0, payloads = 0;
  // A resumable part survives restarts; one whose file has not been asked for in a week is for a
  // package no longer offered.
  const auto clean = [&](const std::filesystem::path& folder) {
    temporary += RemoveStaleTempFiles(folder, kStaleTemporaryAge);
    temporary += RemoveStaleResumableParts(folder, kStalePartAge);
    payloads += RemoveStalePayloads(folder, kept);
  };
  // The shared folders only under the lock, held and checked: another session's tool may be
  // fetching into them now, and nothing is removed through a link.
  std::string reason;
  if (const auto lock = TheSharedFolder().TryLockUncounted(reason)) {
    clean(shared);
    temporary += RemoveStaleTempFiles(root, kStaleTemporaryAge);
  } else {
    LogEvent("download", "the shared download folder is not cleaned up now: " + reason);
  }
  if (!own.empty()) clean(own);
  if (temporary > 0) LogEvent("download", "removed " + std::to_string(temporary) + " unfinished temporary files");
  if (payloads > 0)
    LogEvent("download", "removed " + std::to_string(payloads) + " files that no current descriptor names");
}

}  // namespace zt
