// The user's own state (base/user_state.h) in the registry: HKCU\Software\ZT_AutoUpdate.
#pragma once
#include <mutex>
#include <optional>
#include <string>

#include "base/paths.h"
#include "base/user_state.h"

namespace zt {

class RegistryUserState final : public UserState {
 public:
  // `keyPath` under HKEY_CURRENT_USER (the Windows tests use a key of their own).
  explicit RegistryUserState(std::wstring keyPath) : m_keyPath(std::move(keyPath)) {}

  std::uint64_t SequenceFloor(std::string_view keyId) override;
  void RaiseSequenceFloor(std::string_view keyId, std::uint64_t sequence) override;
  std::string NewestKey() override;
  void SetNewestKey(std::string_view keyId) override;
  bool UpdaterVersionFailed(std::string_view version) override;
  void RememberFailedUpdaterVersion(std::string_view version) override;
  std::uint32_t RolloutBucket() override;

 private:
  std::wstring m_keyPath;
  std::mutex m_mutex;  // a read-and-raise is one step for the threads of this process
  // Drawn once per process even when the registry refuses to keep it.
  std::optional<std::uint32_t> m_bucket;
};

// The tool's one instance.
UserState& TheUserState();

}  // namespace zt
