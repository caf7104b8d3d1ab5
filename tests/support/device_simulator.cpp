// The simulated device: serves each device listed in devices.txt over message-mode named pipes
// and answers the data-version (0xA7) and identity (0xAF) requests from that device's settings.
//
// The tool opens a device three times (attributes, read, write); each open is a connection to one
// of the listening pipe instances. A request arriving on one connection is answered on the
// device's other live connections opened with or before it, which is where the tool's read
// handle (opened just before its write handle) waits.
//
// devices.txt (re-read when it changes; "#" starts a comment):
//   serial N                       echoed into state.txt once everything below is in effect
//   device NAME [key=value ...]    one plugged device; a line that is gone is an unplugged device
//   quit                           ends the simulator
// keys: vid, pid (hex); first, second (numbers); version (up to 4 characters); flash (4 hex
// characters); answer (the whole data-version answer text, its length in the last byte);
// raw_version, raw_id (64 answer bytes as 128 hex digits); id (up to 8 characters); key (hex);
// delay (ms before answering); silent=1 (never answer); short=N (deliver only N answer bytes);
// write=0 (refuse opens for writing); stall=1 (never take a request: the tool's writes time out).
// flash.txt ("version=V"), when it changes, sets the data version of every plugged device, as the
// data-update program does; a device keeps it until its own line in devices.txt changes.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "device/protocol.h"
#include "tests/support/sim_files.h"

namespace {

using zt::sim::ParseHex;

struct Settings {
  unsigned vid = 0x0416, pid = 0xB501;
  int first = 1, second = 1;
  std::string version = "5000";
  std::string flash = "C216";
  bool hasAnswer = false;
  std::string answer;
  std::vector<std::uint8_t> rawVersion, rawId;
  std::string id = "ZT000001";
  std::uint8_t key = 0x5A;
  DWORD delayMs = 0;
  bool silent = false;
  int shortBytes = -1;
  bool refuseWrite = false;
  bool stall = false;  // never takes a request, so the tool's write cannot complete
};

bool ParseBytes(const std::string& hex, std::vector<std::uint8_t>* out) {
  if (hex.size() != 128) return false;
  out->clear();
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    unsigned long b = 0;
    if (!ParseHex(hex.substr(i, 2), &b)) return false;
    out->push_back(static_cast<std::uint8_t>(b));
  }
  return true;
}

bool ParseSetting(Settings& s, const std::string& key, const std::string& value) {
  unsigned long hex = 0;
  if (key == "vid" && ParseHex(value, &hex)) return s.vid = hex, true;
  if (key == "pid" && ParseHex(value, &hex)) return s.pid = hex, true;
  if (key == "key" && ParseHex(value, &hex)) return s.key = static_cast<std::uint8_t>(hex), true;
  if (key == "first") return s.first = std::atoi(value.c_str()), true;
  if (key == "second") return s.second = std::atoi(value.c_str()), true;
  if (key == "version") return s.version = value, true;
  if (key == "flash") return s.flash = value, true;
  if (key == "answer") return s.hasAnswer = true, s.answer = value, true;
  if (key == "raw_version") return ParseBytes(value, &s.rawVersion);
  if (key == "raw_id") return ParseBytes(value, &s.rawId);
  if (key == "id") return s.id = value, true;
  if (key == "delay") return s.delayMs = static_cast<DWORD>(std::atoi(value.c_str())), true;
  if (key == "silent") return s.silent = value == "1", true;
  if (key == "short") return s.shortBytes = std::atoi(value.c_str()), true;
  if (key == "write") return s.refuseWrite = value == "0", true;
  if (key == "stall") return s.stall = value == "1", true;
  return false;
}

std::string Fixed(const std::string& text, std::size_t width, char pad) {
  if (text.size() >= width) return text.substr(0, width);
  return std::string(width - text.size(), pad) + text;
}

bool AllDigits(const std::string& t) { return !t.empty() && t.find_first_not_of("0123456789") == std::string::npos; }

// The answer bytes (after the report id) for a command; empty when the device ignores it.
std::vector<std::uint8_t> AnswerFor(const Settings& s, std::uint8_t command) {
  std::vector<std::uint8_t> a(64, 0x00);
  if (command == zt::kCmdDataVersion) {
    if (!s.rawVersion.empty()) return s.rawVersion;
    std::string text = s.answer;
    if (!s.hasAnswer) {
      text = "P" + Fixed(std::to_string(s.first), 3, '0') + "-" + Fixed(std::to_string(s.second), 4, '0') + "-" +
             Fixed(s.version, 4, AllDigits(s.version) ? '0' : ' ') + "-" + Fixed(s.flash, 4, '0') + "#";
    }
    if (text.size() > 64) text.resize(64);
    std::copy(text.begin(), text.end(), a.begin());
    a[63] = static_cast<std::uint8_t>(text.size());
    return a;
  }
  if (command == zt::kCmdDeviceId) {
    if (!s.rawId.empty()) return s.rawId;
    a[0] = s.key;
    for (std::size_t i = 0; i < 8; ++i) a[1 + i] = static_cast<std::uint8_t>((i < s.id.size() ? s.id[i] : 0) ^ s.key);
    a[63] = zt::kIdentityLength;
    return a;
  }
  return {};
}

// Milliseconds since 1970 (UTC), as the scenarios' own clock counts them.
long long UnixMs() {
  FILETIME ft;
  ::GetSystemTimeAsFileTime(&ft);
  const long long ticks = static_cast<long long>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
  return ticks / 10000 - 11644473600000LL;
}

// Each request taken is appended to requests.txt ("<unix ms> <device> <command>"), so a scenario
// can tell when the tool first asked after a device appeared.
void NoteRequest(const std::string& device, std::uint8_t command) {
  static std::mutex mutex;
  char line[128];
  std::snprintf(line, sizeof line, "%lld %s %02X\n", UnixMs(), device.c_str(), command);
  std::lock_guard<std::mutex> lock(mutex);
  zt::sim::AppendToFile(zt::sim::SimDir() + L"requests.txt", line);
}

// A request as the device accepts it: 65 bytes, report id 0, the key and a matching checksum.
bool ValidRequest(const std::uint8_t* data, DWORD size) {
  if (size != zt::kReportSize || data[0] != 0) return false;
  zt::Report expected;
  zt::BuildRequest(expected, data[1]);
  return std::equal(expected.begin(), expected.begin() + 19, data);
}

// Plain Windows threads: the rig starts and ends many short-lived ones.
template <class F>
HANDLE Spawn(F body) {
  auto* task = new F(std::move(body));
  HANDLE h = ::CreateThread(
      nullptr, 0,
      [](void* p) -> DWORD {
        std::unique_ptr<F> f(static_cast<F*>(p));
        (*f)();
        return 0;
      },
      task, 0, nullptr);
  if (!h) delete task;
  return h;
}

struct Connection {
  Connection(HANDLE h, bool duplex, unsigned batch) : pipe(h), duplex(duplex), batch(batch) {}
  ~Connection() { ::CloseHandle(pipe); }
  HANDLE pipe;
  bool duplex;
  unsigned batch;  // connections taken together share it; later ones have higher numbers
  std::atomic<bool> alive{true};
};

class Device : public std::enable_shared_from_this<Device> {
 public:
  Device(std::string name, std::string line, const Settings& s)
      : name_(std::move(name)), line_(std::move(line)), settings_(s) {
    wchar_t buf[64];
    ::swprintf(buf, 64, L"_%04X_%04X", s.vid & 0xFFFF, s.pid & 0xFFFF);
    pipeName_ = L"\\\\.\\pipe\\ZT_Sim_" + std::wstring(name_.begin(), name_.end()) + buf;
    stop_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ready_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    work_ = ::CreateSemaphoreW(nullptr, 0, LONG_MAX, nullptr);
  }
  ~Device() {
    ::CloseHandle(stop_);
    ::CloseHandle(ready_);
    ::CloseHandle(work_);
  }

  // Returns once the first pipe instances listen, so the device is openable when listed.
  void Start() {
    acceptor_ = Spawn([self = shared_from_this()] { self->AcceptLoop(); });
    ::WaitForSingleObject(ready_, 5000);
  }
  void Stop() {
    ::SetEvent(stop_);
    if (acceptor_) {
      ::WaitForSingleObject(acceptor_, INFINITE);
      ::CloseHandle(acceptor_);
      acceptor_ = nullptr;
    }
    std::lock_guard<std::mutex> lock(mu_);
    queue_.clear();
    connections_.clear();  // the server ends close once their readers let go
  }

  const std::string& Name() const { return name_; }
  const std::string& Line() const { return line_; }
  const std::wstring& PipeName() const { return pipeName_; }
  Settings Current() {
    std::lock_guard<std::mutex> lock(mu_);
    return settings_;
  }
  void Update(const std::string& line, const Settings& s) {
    std::lock_guard<std::mutex> lock(mu_);
    line_ = line;
    settings_ = s;
  }
  void SetVersion(const std::string& v) {
    std::lock_guard<std::mutex> lock(mu_);
    settings_.version = v;
    settings_.hasAnswer = false;
    settings_.rawVersion.clear();
  }

 private:
  static constexpr int kListening = 6;  // the tool opens three times in a row
  static constexpr std::size_t kKeptOutbound = 8;

  HANDLE NewInstance(bool duplex, bool stall) {
    const DWORD mode = (duplex ? PIPE_ACCESS_DUPLEX : PIPE_ACCESS_OUTBOUND) | FILE_FLAG_OVERLAPPED;
    return ::CreateNamedPipeW(pipeName_.c_str(), mode, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                              PIPE_UNLIMITED_INSTANCES, 4096, stall ? 1 : 4096, 0, nullptr);
  }

  void AcceptLoop() {
    // A device that refuses writers offers only instances the client may read from.
    const bool duplex = !Current().refuseWrite;
    // Too small an inbound buffer for one request, never read: the tool's write cannot complete.
    const bool stall = Current().stall;
    struct Pending {
      HANDLE pipe = INVALID_HANDLE_VALUE;
      HANDLE event = nullptr;
      OVERLAPPED ov{};
    };
    std::vector<std::unique_ptr<Pending>> pending;
    unsigned batch = 0;
    for (;;) {
      while (pending.size() < kListening) {
        auto p = std::make_unique<Pending>();
        p->pipe = NewInstance(duplex, stall);
        if (p->pipe == INVALID_HANDLE_VALUE) break;
        p->event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        p->ov.hEvent = p->event;
        if (::ConnectNamedPipe(p->pipe, &p->ov) || ::GetLastError() == ERROR_PIPE_CONNECTED) ::SetEvent(p->event);
        pending.push_back(std::move(p));
      }
      ::SetEvent(ready_);
      std::vector<HANDLE> waits{stop_};
      for (auto& p : pending) waits.push_back(p->event);
      const DWORD w = ::WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE, 200);
      if (w == WAIT_OBJECT_0) break;
      if (w == WAIT_TIMEOUT || w >= WAIT_OBJECT_0 + waits.size()) continue;
      // Take every connection made so far, all registered before any reader starts: the tool's
      // read handle must be known by the time its write handle's first request arrives. Wine may
      // signal the connection of the write handle before that of the read handle opened just
      // before it, so an instance also counts as connected when the pipe says so while its
      // signal is still on its way, and the instances are looked at again until a look finds
      // nothing new: whatever connected before the last connection seen is then taken too.
      std::vector<std::shared_ptr<Connection>> accepted;
      ++batch;
      for (bool found = true; found;) {
        found = false;
        for (std::size_t i = 0; i < pending.size();) {
          DWORD unused = 0;
          const bool signaled = ::WaitForSingleObject(pending[i]->event, 0) == WAIT_OBJECT_0;
          if (!signaled && !::PeekNamedPipe(pending[i]->pipe, nullptr, 0, nullptr, &unused, nullptr)) {
            ++i;
            continue;
          }
          std::unique_ptr<Pending> p = std::move(pending[i]);
          pending.erase(pending.begin() + i);
          found = true;
          // Unsignaled, the listen request is still completing: wait for it before its record goes.
          const bool connected =
              ::GetOverlappedResult(p->pipe, &p->ov, &unused, !signaled) || ::GetLastError() == ERROR_PIPE_CONNECTED;
          ::CloseHandle(p->event);
          if (connected) {
            accepted.push_back(std::make_shared<Connection>(p->pipe, duplex, batch));
          } else {
            ::CloseHandle(p->pipe);
          }
        }
      }
      {
        std::lock_guard<std::mutex> lock(mu_);
        std::erase_if(connections_, [](const auto& c) { return !c->alive; });
        connections_.insert(connections_.end(), accepted.begin(), accepted.end());
        if (!duplex) {
          // Nothing tells us when a reader of an outbound pipe has gone; keep the newest few.
          while (connections_.size() > kKeptOutbound) connections_.erase(connections_.begin());
        }
      }
      if (duplex && !accepted.empty()) HandOver(accepted);
    }
    for (auto& p : pending) {
      ::CancelIoEx(p->pipe, &p->ov);
      DWORD unused = 0;
      ::GetOverlappedResult(p->pipe, &p->ov, &unused, TRUE);
      ::CloseHandle(p->event);
      ::CloseHandle(p->pipe);
    }
  }

  // Each connection is read by a reader thread kept from earlier connections when one is idle: a
  // new thread takes Wine long enough to start, on a loaded machine, that the tool's first read
  // of a poll could time out before the request is even taken.
  void HandOver(const std::vector<std::shared_ptr<Connection>>& accepted) {
    int missing = 0;
    {
      std::lock_guard<std::mutex> lock(mu_);
      queue_.insert(queue_.end(), accepted.begin(), accepted.end());
      missing = static_cast<int>(queue_.size()) - idleReaders_;
      if (missing > 0) idleReaders_ += missing;
    }
    for (int i = 0; i < missing; ++i) ::CloseHandle(Spawn([self = shared_from_this()] { self->Reader(); }));
    ::ReleaseSemaphore(work_, static_cast<LONG>(accepted.size()), nullptr);
  }

  void Reader() {
    for (;;) {
      const HANDLE waits[2] = {stop_, work_};
      if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return;
      std::shared_ptr<Connection> conn;
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (queue_.empty()) return;  // the device was unplugged meanwhile
        conn = std::move(queue_.front());
        queue_.pop_front();
        --idleReaders_;
      }
      ReadLoop(std::move(conn));
      std::lock_guard<std::mutex> lock(mu_);
      ++idleReaders_;
    }
  }

  void ReadLoop(std::shared_ptr<Connection> conn) {
    if (Current().stall) {
      // Never reads; only notices when the client has gone.
      DWORD available = 0;
      while (::WaitForSingleObject(stop_, 50) == WAIT_TIMEOUT &&
             ::PeekNamedPipe(conn->pipe, nullptr, 0, nullptr, &available, nullptr)) {
      }
      conn->alive = false;
      return;
    }
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::uint8_t buffer[4096];
    for (;;) {
      OVERLAPPED ov{};
      ov.hEvent = event;
      ::ResetEvent(event);
      if (!::ReadFile(conn->pipe, buffer, sizeof buffer, nullptr, &ov) && ::GetLastError() != ERROR_IO_PENDING &&
          ::GetLastError() != ERROR_MORE_DATA) {
        break;
      }
      const HANDLE waits[2] = {stop_, event};
      DWORD got = 0;
      if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
        ::CancelIoEx(conn->pipe, &ov);
        ::GetOverlappedResult(conn->pipe, &ov, &got, TRUE);
        break;
      }
      if (!::GetOverlappedResult(conn->pipe, &ov, &got, FALSE)) {
        if (::GetLastError() == ERROR_MORE_DATA) continue;  // oversized: not a request
        break;                                              // the client closed its end
      }
      if (ValidRequest(buffer, got)) {
        NoteRequest(Name(), buffer[1]);
        Answer(conn, buffer[1]);
      }
    }
    conn->alive = false;
    ::CloseHandle(event);
  }

  void Answer(const std::shared_ptr<Connection>& from, std::uint8_t command) {
    const Settings s = Current();
    if (s.silent) return;
    std::vector<std::uint8_t> report{0x00};
    const std::vector<std::uint8_t> answer = AnswerFor(s, command);
    if (answer.empty()) return;
    report.insert(report.end(), answer.begin(), answer.end());
    if (s.shortBytes >= 0 && static_cast<std::size_t>(s.shortBytes) < answer.size()) report.resize(1 + s.shortBytes);
    if (s.delayMs > 0 && ::WaitForSingleObject(stop_, s.delayMs) == WAIT_OBJECT_0) return;
    // The answer goes to the client's other connections, as a device's input report goes to every
    // open handle, but only to those opened with or before the one the request came on: a request
    // taken late (a loaded machine) must not answer the next poll, which has its own handles open
    // by then. The read handle, opened just before the write handle, is always among them.
    std::vector<std::shared_ptr<Connection>> targets;
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (const auto& c : connections_) {
        if (c != from && c->alive && c->duplex && c->batch <= from->batch) targets.push_back(c);
      }
    }
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (const auto& c : targets) {
      OVERLAPPED ov{};
      ov.hEvent = event;
      ::ResetEvent(event);
      DWORD put = 0;
      if (!::WriteFile(c->pipe, report.data(), static_cast<DWORD>(report.size()), nullptr, &ov) &&
          ::GetLastError() != ERROR_IO_PENDING) {
        continue;
      }
      if (::WaitForSingleObject(event, 1000) != WAIT_OBJECT_0) ::CancelIoEx(c->pipe, &ov);
      ::GetOverlappedResult(c->pipe, &ov, &put, TRUE);
    }
    ::CloseHandle(event);
  }

  std::string name_;
  std::string line_;
  std::wstring pipeName_;
  HANDLE stop_;
  HANDLE ready_;
  HANDLE acceptor_ = nullptr;
  HANDLE work_;  // one count per connection waiting in queue_ for a reader
  std::deque<std::shared_ptr<Connection>> queue_;
  int idleReaders_ = 0;  // readers waiting for work, or started for it and not yet taken it
  std::mutex mu_;
  Settings settings_;
  std::vector<std::shared_ptr<Connection>> connections_;
};

struct Desired {
  std::string name, line;
  Settings settings;
};

bool ValidName(const std::string& name) {
  return !name.empty() && name.size() <= 64 &&
         name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-") == std::string::npos;
}

bool WriteState(const std::wstring& dir, const std::string& serial,
                const std::vector<std::shared_ptr<Device>>& devices) {
  std::ostringstream out;
  out << "serial " << serial << "\n";
  for (const auto& d : devices) {
    const Settings s = d->Current();
    char ids[32];
    std::snprintf(ids, sizeof ids, "%04X %04X", s.vid & 0xFFFF, s.pid & 0xFFFF);
    out << "device " << d->Name() << " " << ids << " " << std::string(d->PipeName().begin(), d->PipeName().end())
        << " version=" << s.version << "\n";
  }
  return zt::sim::WriteWholeFile(dir + L"state.txt", out.str());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc > 1) ::SetEnvironmentVariableW(L"ZT_SIM_DIR", argv[1]);
  const std::wstring dir = zt::sim::SimDir();
  ::CreateDirectoryW(dir.c_str(), nullptr);
  std::vector<std::shared_ptr<Device>> devices;  // in the order of devices.txt: the enumeration order
  std::string lastConfig = "\x01 never read";
  std::string lastFlash = zt::sim::ReadWholeFile(dir + L"flash.txt");  // an old hand-over is not replayed
  std::string serial = "0";
  bool stateOwed = false;  // a state that could not be written is written again
  for (;;) {
    const std::string config = zt::sim::ReadWholeFile(dir + L"devices.txt");
    bool changed = false;
    if (config != lastConfig) {
      lastConfig = config;
      changed = true;
      std::vector<Desired> desired;
      bool quit = false;
      std::istringstream in(config);
      std::string line;
      while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (const auto hash = line.find('#'); hash != std::string::npos && line.rfind("device", 0) != 0)
          line.erase(hash);
        std::istringstream words(line);
        std::string kind;
        if (!(words >> kind)) continue;
        if (kind == "quit") quit = true;
        if (kind == "serial") words >> serial;
        if (kind != "device") continue;
        Desired d;
        d.line = line;
        words >> d.name;
        if (!ValidName(d.name)) continue;
        if (std::any_of(desired.begin(), desired.end(), [&](const Desired& o) { return o.name == d.name; })) continue;
        std::string pair;
        while (words >> pair) {
          const auto eq = pair.find('=');
          if (eq != std::string::npos) ParseSetting(d.settings, pair.substr(0, eq), pair.substr(eq + 1));
        }
        desired.push_back(std::move(d));
      }
      if (quit) {
        for (auto& d : devices) d->Stop();
        devices.clear();
        WriteState(dir, serial, devices);
        // Readers that are still winding down must not meet the runtime's own shutdown.
        ::ExitProcess(0);
      }
      std::vector<std::shared_ptr<Device>> next;
      for (const Desired& want : desired) {
        std::shared_ptr<Device> keep;
        for (auto& have : devices) {
          if (!have || have->Name() != want.name) continue;
          const Settings s = have->Current();
          // Another vendor/product id or write policy is another pipe: unplug and plug again.
          if (s.vid == want.settings.vid && s.pid == want.settings.pid && s.refuseWrite == want.settings.refuseWrite &&
              s.stall == want.settings.stall) {
            if (have->Line() != want.line) have->Update(want.line, want.settings);
            keep = std::move(have);
          }
          break;
        }
        if (!keep) {
          keep = std::make_shared<Device>(want.name, want.line, want.settings);
          keep->Start();
        }
        next.push_back(std::move(keep));
      }
      for (auto& gone : devices) {
        if (gone) gone->Stop();
      }
      devices = std::move(next);
    }
    const std::string flash = zt::sim::ReadWholeFile(dir + L"flash.txt");
    if (flash != lastFlash) {
      lastFlash = flash;
      const auto at = flash.find("version=");
      if (at != std::string::npos) {
        std::string v = flash.substr(at + 8);
        v = v.substr(0, v.find_first_of(" \r\n\t"));
        for (auto& d : devices) d->SetVersion(v);
        changed = true;
      }
    }
    if (changed || stateOwed) stateOwed = !WriteState(dir, serial, devices);
    ::Sleep(50);
  }
}
