// One DownloadFile-path transfer (real WinINet, the real loop, a temporary file and the final
// move) timed from inside the process, with the process's memory before and at its peak.
//   download_bench.exe HOST:PORT NAME EXPECTED_LENGTH FOLDER
// Prints one line: "seconds=S bytes=N idle_peak_kib=A peak_kib=B above_idle_kib=C stored=0|1".
#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "base/fsutil.h"
#include "update/net/downloads_win.h"
#include "win/text.h"

namespace {

SIZE_T PeakWorkingSet() {
  PROCESS_MEMORY_COUNTERS c{};
  c.cb = sizeof c;
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &c, sizeof c);
  return c.PeakWorkingSetSize;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: download_bench HOST:PORT NAME EXPECTED_LENGTH FOLDER\n");
    return 2;
  }
  const auto server = zt::ParseServerAddress(zt::Narrow(argv[1]));
  if (!server) return 2;
  const std::string name = zt::Narrow(argv[2]);
  const std::int32_t expected = std::stoi(zt::Narrow(argv[3]));
  const auto folder = zt::PathFromUtf8(zt::Narrow(argv[4]));

  const SIZE_T idle = PeakWorkingSet();
  const auto start = std::chrono::steady_clock::now();
  const zt::TransferResult r = zt::DownloadFileTo({*server, folder}, name, expected, std::chrono::minutes(30));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const SIZE_T peak = PeakWorkingSet();
  std::printf("seconds=%.3f bytes=%llu idle_peak_kib=%llu peak_kib=%llu above_idle_kib=%lld stored=%d\n", seconds,
              static_cast<unsigned long long>(r.received), static_cast<unsigned long long>(idle / 1024),
              static_cast<unsigned long long>(peak / 1024),
              static_cast<long long>(peak / 1024) - static_cast<long long>(idle / 1024), r.stored ? 1 : 0);
  return r.stored ? 0 : 1;
}
