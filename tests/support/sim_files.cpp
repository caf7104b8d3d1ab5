#include "tests/support/sim_files.h"

#include <cstdlib>
#include <vector>

namespace zt::sim {

std::wstring SimDir() {
  wchar_t buffer[1024];
  const DWORD n = ::GetEnvironmentVariableW(L"ZT_SIM_DIR", buffer, 1024);
  std::wstring dir = (n > 0 && n < 1024) ? std::wstring(buffer, n) : std::wstring(L"C:\\ZT_Sim");
  if (dir.back() != L'\\') dir += L'\\';
  return dir;
}

std::string ReadWholeFile(const std::wstring& path) {
  HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {};
  std::string out;
  char chunk[4096];
  DWORD got = 0;
  while (::ReadFile(h, chunk, sizeof chunk, &got, nullptr) && got > 0) out.append(chunk, got);
  ::CloseHandle(h);
  return out;
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
  const std::wstring temp = path + L".tmp" + std::to_wstring(::GetCurrentProcessId());
  HANDLE h = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD put = 0;
  const bool ok = ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) && put == bytes.size();
  ::CloseHandle(h);
  // A reader holding the old file open can make the move fail for a moment.
  for (int attempt = 0; ok && attempt < 20; ++attempt) {
    if (::MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    ::Sleep(10);
  }
  ::DeleteFileW(temp.c_str());
  return false;
}

bool AppendToFile(const std::wstring& path, const std::string& bytes) {
  HANDLE h = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD put = 0;
  const bool ok = ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) && put == bytes.size();
  ::CloseHandle(h);
  return ok;
}

bool ParseHex(const std::string& text, unsigned long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  *value = std::strtoul(text.c_str(), &end, 16);
  return end && *end == '\0';
}

}  // namespace zt::sim
