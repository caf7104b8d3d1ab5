// Where the simulated device's rig keeps its files, and small file helpers shared by the
// simulator, the stand-in DLLs, the stand-in data-update program and the Windows tests.
//   devices.txt  written by the tests: one line per plugged device (read by the simulator)
//   state.txt    written by the simulator: the devices it serves, with their pipe paths
//   flash.txt    written by the data-update stand-in: a new data version for the plugged devices
//   requests.txt appended by the simulator: "<unix ms> <device> <command>" per request taken
#pragma once
#include <windows.h>

#include <string>

namespace zt::sim {

// ZT_SIM_DIR when set, else C:\ZT_Sim; with a trailing backslash.
std::wstring SimDir();
// Whole file as bytes; empty when it cannot be read.
std::string ReadWholeFile(const std::wstring& path);
// Written to a temporary file beside it and moved over, so readers never see half a file.
bool WriteWholeFile(const std::wstring& path, const std::string& bytes);
// Appends to the file (created when missing).
bool AppendToFile(const std::wstring& path, const std::string& bytes);
// Parses a hexadecimal number; false when the text is not one.
bool ParseHex(const std::string& text, unsigned long* value);

}  // namespace zt::sim
