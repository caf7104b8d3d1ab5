// Built with -fsanitize=thread on its own (see tsan.cmake): readers, a fetching writer and a
// compare-and-clear worker hammer the shared descriptor state. The sanitizer fails the run on any
// data race; the checks below fail it on a torn or mixed value.
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "base/descriptor.h"
#include "base/descriptor_state.h"

namespace {

std::atomic<int> g_failures{0};

void Check(bool ok, const char* what) {
  if (!ok && g_failures.fetch_add(1) < 10) std::fprintf(stderr, "FAILED: %s\n", what);
}

}  // namespace

int main() {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("zt_tsan_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path serverFile = dir / "server.txt";
  { std::ofstream(serverFile, std::ios::binary) << "updater_version=2.8\r\nupdater_file=u.exe\r\n"; }
  { std::ofstream(dir / "version.txt", std::ios::binary) << "data_version=2001\r\ndata_time=2020\r\ndata_desc=x\r\n"; }
  const std::string fromFile = "updater_version=2.8\nupdater_file=u.exe\n";

  zt::DescriptorState state;
  std::atomic<bool> stop{false};
  std::atomic<int> cleared{0};
  std::vector<std::thread> threads;

  // Readers on the window's side: every copy is whole, and the local values belong to its text.
  for (int r = 0; r < 3; ++r) {
    threads.emplace_back([&] {
      while (!stop) {
        const std::string s = state.ServerText();
        Check(s.empty() || s == fromFile || s.rfind("fetch ", 0) == 0, "server text is one that was set");
        const zt::LocalDescriptor local = state.Local();
        Check(zt::GetKeyValue(local.text, "data_version") == local.dataVersion, "local values match their text");
        (void)state.DataVersion();
      }
    });
  }
  // The worker: reads the text, then empties it only if it is still that text.
  threads.emplace_back([&] {
    while (!stop) {
      const std::string seen = state.ServerText();
      if (!seen.empty() && state.ClearServerTextIf(seen)) ++cleared;
    }
  });
  // The fetching worker and the window's thread: fetches and reloads.
  for (int i = 0; i < 2000; ++i) {
    if (i % 3 == 0) {
      state.SetServerBytes(*zt::ReadDescriptorBytes(serverFile));
    } else {
      state.SetServerText("fetch " + std::to_string(i));
    }
    if (i % 50 == 0) state.LoadLocalVersion(dir);
    // A text set after the worker's read must survive the worker's clear.
    if (i % 100 == 0) {
      const std::string mine = "fetch newest " + std::to_string(i);
      state.SetServerText(mine);
      Check(!state.ClearServerTextIf("fetch stale"), "a stale clear does nothing");
    }
  }
  stop = true;
  for (auto& t : threads) t.join();
  fs::remove_all(dir);

  Check(cleared > 0, "the worker cleared at least once");
  std::printf("descriptor state under threads: %d clears, %d failures\n", cleared.load(), g_failures.load());
  return g_failures == 0 ? 0 : 1;
}
