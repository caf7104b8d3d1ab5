// launch.exe: starts a program with an EXACT command line (CreateProcessW), because `wine prog
// args` builds and quotes the command line itself. Test rig, never shipped.
//
//   launch.exe [--cmd TEXT | --cmd-file FILE] [--app PATH] [--cwd DIR] [--env NAME=VALUE]...
//              [--wait MS] [--out FILE]
//   launch.exe --check PID [--started T] [--wait MS] [--out FILE]   report on a process started earlier
//   launch.exe --kill PID [--started T] [--out FILE]                 end it (exit code 1)
//   launch.exe --power-cut FILE [--containing TEXT] [--after MS2] --pid PID [--pid PID]... [--wait MS]
//              --out FILE
//       a power cut at a moment of what those processes do: once it watches (FILE.watching exists),
//       it looks every millisecond, for up to MS milliseconds (default 120000), until FILE exists (and
//       holds TEXT), waits MS2 more milliseconds, then ends them and the processes they started from
//       the first one's folder, all at once
//
// --cmd TEXT is one argument of launch.exe and arrives unchanged; --cmd-file reads the command
// line from a UTF-8 file, byte for byte (no line end is stripped). --env adds to or replaces a
// variable of launch.exe's own environment for the child. --wait waits up to MS milliseconds.
// --started T names the process by its id AND its start time as reported at its start: Wine hands
// an ended process's id to a new process or thread, and the check or kill must not reach that one.
// Report, one "key=value" per line, on stdout or into --out (UTF-8):
//   pid=<windows pid>      the child's id (start mode)
//   started=<T>            the child's creation time, 100 ns units (start mode)
//   exit=<code>            the child has ended with this status
//   running                the child still runs after the wait
//   gone                   no process has that id (and start time) any more
//   error=<text>           nothing could be started / checked
//   after_ms=<ms>          (power cut) how long it waited for the moment
//   ended=<pid>, gone=<pid> (power cut) each process it ended, or that had ended before
// launch.exe itself ends with 0 when the report was made, 2 for an error, 3 for usage. Status 1 is
// left to what Wine gives a process ended from outside (TerminateProcess, a killed wineserver).
#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

namespace {

std::string ToUtf8(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

std::wstring FromUtf8(const std::string& s) {
  if (s.empty()) return {};
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::wstring g_out;  // report file; empty: stdout
std::string g_report;

void Report(const std::string& line) { g_report += line + "\n"; }

int Finish(int code) {
  if (g_out.empty()) {
    std::fwrite(g_report.data(), 1, g_report.size(), stdout);
    std::fflush(stdout);
  } else {
    // Written to a temporary name and moved, so a reader never sees half a report.
    const std::wstring tmp = g_out + L".part";
    HANDLE f = ::CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return 2;
    DWORD written = 0;
    ::WriteFile(f, g_report.data(), static_cast<DWORD>(g_report.size()), &written, nullptr);
    ::CloseHandle(f);
    if (!::MoveFileExW(tmp.c_str(), g_out.c_str(), MOVEFILE_REPLACE_EXISTING)) return 2;
  }
  return code;
}

std::string ErrorLine(const char* what, DWORD code) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "error=%s failed (0x%08lX)", what, static_cast<unsigned long>(code));
  return buf;
}

// The file's bytes, read while the program under test may replace or remove it at any moment.
bool ReadSharedBytes(const std::wstring& path, std::string* bytes) {
  HANDLE f = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  char chunk[4096];
  DWORD got = 0;
  while (::ReadFile(f, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes->append(chunk, got);
  ::CloseHandle(f);
  return true;
}

// The environment block for the child: ours, with the extra variables added or replaced.
std::vector<wchar_t> BuildEnvironment(const std::vector<std::wstring>& extra) {
  std::map<std::wstring, std::wstring> vars;  // case-insensitive names are rare enough in tests
  std::vector<std::wstring> order;
  wchar_t* block = ::GetEnvironmentStringsW();
  for (const wchar_t* p = block; p && *p; p += std::wcslen(p) + 1) {
    const std::wstring entry = p;
    const size_t eq = entry.find(L'=', 1);  // "=C:=C:\..." entries start with '='
    const std::wstring name = entry.substr(0, eq);
    if (!vars.count(name)) order.push_back(name);
    vars[name] = entry;
  }
  if (block) ::FreeEnvironmentStringsW(block);
  for (const auto& entry : extra) {
    const std::wstring name = entry.substr(0, entry.find(L'='));
    if (!vars.count(name)) order.push_back(name);
    vars[name] = entry;
  }
  std::vector<wchar_t> out;
  for (const auto& name : order) {
    const std::wstring& entry = vars[name];
    out.insert(out.end(), entry.begin(), entry.end());
    out.push_back(L'\0');
  }
  out.push_back(L'\0');
  return out;
}

unsigned long long CreationTime(HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!::GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// The folder of the program process `process` runs ("" when it cannot be asked).
std::wstring ImageFolder(HANDLE process) {
  wchar_t image[32768];
  DWORD size = 32768;
  if (!::QueryFullProcessImageNameW(process, 0, image, &size)) return {};
  const std::wstring path(image, size);
  return path.substr(0, path.find_last_of(L'\\') + 1);
}

// The processes `pids` started, and the ones those started, by their ids (a parent's id is kept by
// the child after the parent has ended, so this looks while the parents still run), that run a
// program from `folder`: Wine starts its own desktop and services from whichever process needs
// them first, and those are not the tool's.
std::vector<DWORD> Descendants(const std::vector<DWORD>& pids, const std::wstring& folder) {
  std::vector<DWORD> found;
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return found;
  std::vector<std::pair<DWORD, DWORD>> all;  // id, parent
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry))
    all.emplace_back(entry.th32ProcessID, entry.th32ParentProcessID);
  ::CloseHandle(snapshot);
  std::vector<DWORD> parents = pids;
  for (std::size_t i = 0; i < parents.size(); ++i)
    for (const auto& [id, parent] : all) {
      if (parent != parents[i] || id == parents[i]) continue;
      bool known = false;
      for (const DWORD p : parents) known = known || p == id;
      if (known) continue;
      HANDLE child = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
      const bool ours = child && _wcsicmp(ImageFolder(child).c_str(), folder.c_str()) == 0;
      if (child) ::CloseHandle(child);
      if (!ours) continue;
      parents.push_back(id);
      found.push_back(id);
    }
  return found;
}

// The processes are opened before the wait, so the moment costs only the termination itself.
int PowerCut(const std::wstring& file, const std::string& containing, DWORD afterMs, const std::vector<DWORD>& pids,
             DWORD waitMs) {
  std::vector<std::pair<DWORD, HANDLE>> processes;
  for (const DWORD pid : pids) {
    HANDLE p = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (p) {
      processes.emplace_back(pid, p);
    } else {
      Report("gone=" + std::to_string(pid));
    }
  }
  // The tool's own processes run from the folder of the first one.
  const std::wstring folder = processes.empty() ? std::wstring() : ImageFolder(processes.front().second);
  if (!g_out.empty()) {
    HANDLE watching = ::CreateFileW((g_out + L".watching").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (watching != INVALID_HANDLE_VALUE) ::CloseHandle(watching);
  }
  const ULONGLONG start = ::GetTickCount64();
  for (;;) {
    std::string bytes;
    if (::GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES &&
        (containing.empty() || (ReadSharedBytes(file, &bytes) && bytes.find(containing) != std::string::npos)))
      break;
    if (::GetTickCount64() - start > waitMs) {
      Report("error=the moment did not come");
      for (const auto& [pid, p] : processes) ::CloseHandle(p);
      return Finish(2);
    }
    ::Sleep(1);
  }
  if (afterMs) ::Sleep(afterMs);
  std::vector<DWORD> ids;
  for (const auto& [pid, p] : processes) ids.push_back(pid);
  const auto endChildren = [&] {
    for (const DWORD child : Descendants(ids, folder)) {
      if (HANDLE c = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, child)) {
        ::TerminateProcess(c, 1);
        processes.emplace_back(child, c);
        ids.push_back(child);
      }
    }
  };
  // Children first, so none is started by a parent in between; then once more for a child whose
  // creation was under way at the moment.
  endChildren();
  for (const auto& [pid, p] : processes) ::TerminateProcess(p, 1);
  Report("after_ms=" + std::to_string(::GetTickCount64() - start));
  for (int sweep = 0; sweep < 5; ++sweep) {
    ::Sleep(100);
    endChildren();
  }
  for (const auto& [pid, p] : processes) {
    ::WaitForSingleObject(p, 5000);
    Report("ended=" + std::to_string(pid));
    ::CloseHandle(p);
  }
  return Finish(0);
}

void ReportWait(HANDLE process, DWORD waitMs) {
  const DWORD w = ::WaitForSingleObject(process, waitMs);
  DWORD code = 0;
  if (w == WAIT_OBJECT_0 && ::GetExitCodeProcess(process, &code)) {
    Report("exit=" + std::to_string(code));
  } else {
    Report("running");
  }
}

}  // namespace

int wmain() {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (!argv) return 2;
  std::wstring cmd, app, cwd;
  bool haveCmd = false;
  std::vector<std::wstring> env;
  DWORD waitMs = 0;
  DWORD checkPid = 0, killPid = 0;
  unsigned long long started = 0;
  std::wstring cutFile;
  std::string cutText;
  DWORD cutAfterMs = 0;
  std::vector<DWORD> cutPids;
  for (int i = 1; i < argc; ++i) {
    const std::wstring a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == L"--cmd" && hasValue) {
      cmd = argv[++i];
      haveCmd = true;
    } else if (a == L"--cmd-file" && hasValue) {
      std::string bytes;
      if (!ReadSharedBytes(argv[++i], &bytes)) {
        Report("error=cannot read the command-line file");
        return Finish(2);
      }
      cmd = FromUtf8(bytes);
      haveCmd = true;
    } else if (a == L"--app" && hasValue) {
      app = argv[++i];
    } else if (a == L"--cwd" && hasValue) {
      cwd = argv[++i];
    } else if (a == L"--env" && hasValue) {
      env.push_back(argv[++i]);
    } else if (a == L"--wait" && hasValue) {
      waitMs = static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10));
    } else if (a == L"--out" && hasValue) {
      g_out = argv[++i];
    } else if (a == L"--check" && hasValue) {
      checkPid = static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10));
    } else if (a == L"--kill" && hasValue) {
      killPid = static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10));
    } else if (a == L"--started" && hasValue) {
      started = std::wcstoull(argv[++i], nullptr, 10);
    } else if (a == L"--power-cut" && hasValue) {
      cutFile = argv[++i];
    } else if (a == L"--containing" && hasValue) {
      cutText = ToUtf8(argv[++i]);
    } else if (a == L"--after" && hasValue) {
      cutAfterMs = static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10));
    } else if (a == L"--pid" && hasValue) {
      cutPids.push_back(static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10)));
    } else {
      std::fprintf(stderr, "launch.exe: unknown or incomplete option %s\n", ToUtf8(a).c_str());
      return 3;
    }
  }
  ::LocalFree(argv);

  if (!cutFile.empty()) return PowerCut(cutFile, cutText, cutAfterMs, cutPids, waitMs ? waitMs : 120000);
  if (checkPid || killPid) {
    const DWORD pid = checkPid ? checkPid : killPid;
    HANDLE p =
        ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | (killPid ? PROCESS_TERMINATE : 0), FALSE, pid);
    if (!p) {
      const DWORD e = ::GetLastError();
      // A process that has ended and been reaped is gone: report it as ended.
      Report(e == ERROR_INVALID_PARAMETER ? "gone" : ErrorLine("OpenProcess", e));
      return Finish(e == ERROR_INVALID_PARAMETER ? 0 : 2);
    }
    if (started && CreationTime(p) != started) {
      ::CloseHandle(p);
      Report("gone");
      return Finish(0);
    }
    if (killPid) {
      ::TerminateProcess(p, 1);
      waitMs = waitMs ? waitMs : 5000;
    }
    ReportWait(p, waitMs);
    ::CloseHandle(p);
    return Finish(0);
  }

  if (!haveCmd) {
    std::fprintf(stderr, "launch.exe: --cmd or --cmd-file is required\n");
    return 3;
  }
  std::vector<wchar_t> cmdBuffer(cmd.begin(), cmd.end());  // CreateProcessW may write into it
  cmdBuffer.push_back(L'\0');
  std::vector<wchar_t> envBlock;
  if (!env.empty()) envBlock = BuildEnvironment(env);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessW(app.empty() ? nullptr : app.c_str(), cmdBuffer.data(), nullptr, nullptr, FALSE,
                        CREATE_UNICODE_ENVIRONMENT, envBlock.empty() ? nullptr : envBlock.data(),
                        cwd.empty() ? nullptr : cwd.c_str(), &si, &pi)) {
    Report(ErrorLine("CreateProcessW", ::GetLastError()));
    return Finish(2);
  }
  ::CloseHandle(pi.hThread);
  Report("pid=" + std::to_string(pi.dwProcessId));
  Report("started=" + std::to_string(CreationTime(pi.hProcess)));
  ReportWait(pi.hProcess, waitMs);
  ::CloseHandle(pi.hProcess);
  return Finish(0);
}
