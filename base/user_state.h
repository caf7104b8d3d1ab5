// What the tool keeps for the account that runs it, apart from the update folder that every account
// on the PC shares and may change: the floor of accepted publications per signing key, the newest
// signing key accepted, the versions of the tool that failed to prove that they run, and the
// rollout bucket. On Windows it lives under
// HKCU\Software\ZT_AutoUpdate, which no other account can write. Portable interface.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace zt {

class UserState {
 public:
  virtual ~UserState() = default;

  // The highest zt_seq accepted from a publication signed by the key `keyId`; 0 when none.
  virtual std::uint64_t SequenceFloor(std::string_view keyId) = 0;
  // Raises that floor to `sequence` (a lower value leaves it).
  virtual void RaiseSequenceFloor(std::string_view keyId, std::uint64_t sequence) = 0;

  // The key (its id) of the newest signing key a publication was accepted under; "" when none.
  virtual std::string NewestKey() = 0;
  virtual void SetNewestKey(std::string_view keyId) = 0;

  // A version of the tool that was refused after its download, or did not come up after the swap:
  // it is never fetched again (another version is).
  virtual bool UpdaterVersionFailed(std::string_view version) = 0;
  virtual void RememberFailedUpdaterVersion(std::string_view version) = 0;

  // This installation's share of a staged rollout: 0 to 99, drawn at random on first need and kept.
  virtual std::uint32_t RolloutBucket() = 0;
};

}  // namespace zt
