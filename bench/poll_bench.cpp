// Poll benchmark: one full device poll (open, data-version query, identity query, close) against
// the simulated device, 200 times; then the worst cases: a device that never answers, and one
// that never takes a request. "--quick" takes a few polls of each (the suite's check that the
// benchmark still runs).
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string_view>
#include <vector>

#include "device/hid_device_win.h"
#include "tests/support/sim_control.h"

namespace {

double PollMs(bool* found) {
  const auto start = std::chrono::steady_clock::now();
  zt::CHidDevice dev;
  *found = dev.OpenDevices() != 0 && dev.QueryDataVersion();
  dev.QueryDeviceId();
  dev.CloseDevices();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

struct Figures {
  double median, worst;
  int found;
};

Figures Run(int polls) {
  std::vector<double> ms;
  int found = 0;
  for (int i = 0; i < polls; ++i) {
    bool ok = false;
    ms.push_back(PollMs(&ok));
    found += ok;
  }
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms.back(), found};
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const bool quick = argc > 1 && std::wstring_view(argv[1]) == L"--quick";
  const int polls = quick ? 3 : 200, worst = quick ? 2 : 20;
  zt::sim::Simulator sim(L"C:\\ZT_Sim_bench");
  if (!sim.Start() || !sim.Apply("device car version=6000 id=ZT000042\n")) {
    std::printf("poll_bench: the simulator did not start\n");
    return 1;
  }
  const Figures answering = Run(polls);
  std::printf("answering device: %d polls, %d found, median %.1f ms, slowest %.1f ms\n", polls, answering.found,
              answering.median, answering.worst);
  if (answering.found == 0) {
    // Without the stand-in DLLs the polls search the real (empty) HID list, and every figure
    // below would time nothing at all.
    std::printf("poll_bench: the simulated device was not reached (are the stand-in DLLs loaded?)\n");
    return 1;
  }
  sim.Apply("device car silent=1\n");
  const Figures silent = Run(worst);
  std::printf("silent device:    %d polls, %d found, median %.1f ms, worst %.1f ms (bound 400 ms, limit 450 ms)\n",
              worst, silent.found, silent.median, silent.worst);
  sim.Apply("device car stall=1\n");
  const Figures stalled = Run(worst);
  std::printf("stalled device:   %d polls, %d found, median %.1f ms, worst %.1f ms (writes never taken)\n", worst,
              stalled.found, stalled.median, stalled.worst);
  sim.Apply("device car delay=150 version=6000\n");
  const Figures late = Run(worst);
  std::printf("late device:      %d polls, %d found, median %.1f ms, worst %.1f ms (answers after 150 ms)\n", worst,
              late.found, late.median, late.worst);
  return silent.worst <= 450.0 && stalled.worst <= 450.0 ? 0 : 2;
}
