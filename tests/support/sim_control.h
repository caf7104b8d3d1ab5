// Starts, drives and stops the device simulator from a Windows test or benchmark. The simulator
// and the stand-in DLLs sit beside the program; Start() also puts the stand-in hid.dll into the
// prefix's System32, where the device link loads it from. The program's own device enumeration
// then sees the simulated devices (when started with WINEDLLOVERRIDES="hid,setupapi=n").
#pragma once
#include <windows.h>

#include <string>

namespace zt::sim {

class Simulator {
 public:
  // dir: the rig's folder for this program (set as ZT_SIM_DIR for it and the simulator).
  explicit Simulator(const std::wstring& dir);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  bool Start();
  // Replaces the plugged devices ("device NAME key=value ..." lines) and waits until they are served.
  bool Apply(const std::string& deviceLines);
  void Stop();

 private:
  std::wstring dir_;
  HANDLE process_ = nullptr;
  int serial_ = 0;
};

}  // namespace zt::sim
