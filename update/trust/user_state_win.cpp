#include "update/trust/user_state_win.h"

#include <windows.h>

#include <random>
#include <vector>

#include "base/log.h"
#include "win/error.h"
#include "win/handles.h"
#include "win/text.h"

namespace zt {
namespace {

constexpr wchar_t kFloorsKey[] = L"\\SequenceFloors";
constexpr wchar_t kFailedValue[] = L"FailedUpdaterVersions";
constexpr wchar_t kBucketValue[] = L"RolloutBucket";
constexpr wchar_t kNewestKeyValue[] = L"NewestKey";
// The list of failed versions stays short: the oldest are dropped.
constexpr std::size_t kFailedVersionsKept = 16;

UniqueHKey OpenKey(const std::wstring& path, bool write) {
  UniqueHKey key;
  const LONG result = write ? ::RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0,
                                                KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, key.put(), nullptr)
                            : ::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_QUERY_VALUE, key.put());
  if (result != ERROR_SUCCESS) {
    key.release();
    if (write) LogEvent("user-state", ErrorText("RegCreateKeyExW HKCU\\" + Narrow(path), static_cast<DWORD>(result)));
  }
  return key;
}

void Write(const std::wstring& path, const wchar_t* name, DWORD type, const void* data, DWORD size) {
  const UniqueHKey key = OpenKey(path, true);
  if (!key) return;
  const LONG result = ::RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), size);
  if (result != ERROR_SUCCESS)
    LogEvent("user-state", ErrorText("RegSetValueExW " + Narrow(name), static_cast<DWORD>(result)));
}

std::uint64_t ReadQword(const std::wstring& path, const wchar_t* name) {
  const UniqueHKey key = OpenKey(path, false);
  std::uint64_t value = 0;
  DWORD type = 0, size = sizeof value;
  if (!key ||
      ::RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
      type != REG_QWORD || size != sizeof value)
    return 0;
  return value;
}

std::vector<std::wstring> ReadMultiString(const std::wstring& path, const wchar_t* name) {
  std::vector<std::wstring> out;
  const UniqueHKey key = OpenKey(path, false);
  DWORD type = 0, size = 0;
  if (!key || ::RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      type != REG_MULTI_SZ || size > 64 * 1024)
    return out;
  std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
  if (::RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS)
    return out;
  for (const wchar_t* p = data.data(); *p != L'\0'; p += wcslen(p) + 1) out.emplace_back(p);
  return out;
}

}  // namespace

std::uint64_t RegistryUserState::SequenceFloor(std::string_view keyId) {
  std::lock_guard lock(m_mutex);
  return ReadQword(m_keyPath + kFloorsKey, Widen(keyId).c_str());
}

void RegistryUserState::RaiseSequenceFloor(std::string_view keyId, std::uint64_t sequence) {
  std::lock_guard lock(m_mutex);
  const std::wstring name = Widen(keyId);
  if (ReadQword(m_keyPath + kFloorsKey, name.c_str()) >= sequence) return;
  Write(m_keyPath + kFloorsKey, name.c_str(), REG_QWORD, &sequence, sizeof sequence);
}

std::string RegistryUserState::NewestKey() {
  std::lock_guard lock(m_mutex);
  const UniqueHKey key = OpenKey(m_keyPath, false);
  wchar_t value[64] = {};
  DWORD type = 0, size = sizeof value - sizeof(wchar_t);
  if (!key ||
      ::RegQueryValueExW(key.get(), kNewestKeyValue, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ)
    return {};
  return Narrow(std::wstring_view(value, wcsnlen(value, size / sizeof(wchar_t))));
}

void RegistryUserState::SetNewestKey(std::string_view keyId) {
  std::lock_guard lock(m_mutex);
  const std::wstring value = Widen(keyId);
  Write(m_keyPath, kNewestKeyValue, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

bool RegistryUserState::UpdaterVersionFailed(std::string_view version) {
  std::lock_guard lock(m_mutex);
  const std::wstring wanted = Widen(version);
  for (const std::wstring& v : ReadMultiString(m_keyPath, kFailedValue))
    if (v == wanted) return true;
  return false;
}

void RegistryUserState::RememberFailedUpdaterVersion(std::string_view version) {
  std::lock_guard lock(m_mutex);
  std::vector<std::wstring> versions = ReadMultiString(m_keyPath, kFailedValue);
  const std::wstring added = Widen(version);
  for (const std::wstring& v : versions)
    if (v == added) return;
  versions.push_back(added);
  if (versions.size() > kFailedVersionsKept) versions.erase(versions.begin());
  std::wstring data;
  for (const std::wstring& v : versions) data += v + L'\0';
  data += L'\0';
  Write(m_keyPath, kFailedValue, REG_MULTI_SZ, data.data(), static_cast<DWORD>(data.size() * sizeof(wchar_t)));
}

std::uint32_t RegistryUserState::RolloutBucket() {
  std::lock_guard lock(m_mutex);
  if (m_bucket) return *m_bucket;
  if (const UniqueHKey key = OpenKey(m_keyPath, false)) {
    DWORD value = 0, type = 0, size = sizeof value;
    if (::RegQueryValueExW(key.get(), kBucketValue, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
            ERROR_SUCCESS &&
        type == REG_DWORD && value < 100)
      return *(m_bucket = value);
  }
  std::random_device random;
  const DWORD bucket = std::uniform_int_distribution<DWORD>(0, 99)(random);
  Write(m_keyPath, kBucketValue, REG_DWORD, &bucket, sizeof bucket);
  return *(m_bucket = bucket);
}

UserState& TheUserState() {
  static RegistryUserState state(Widen(kUserStateKey));
  return state;
}

}  // namespace zt
