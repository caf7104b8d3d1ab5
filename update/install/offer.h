// One offer of the server's descriptor, taken out of its text once: the data package, or the
// executable for one processor (the x86 one under the plain updater keys, which tools of the
// earlier kind read too; the x64 one under the same keys with the "_x64" suffix). Portable.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace zt {

// The names of an offer's keys.
struct OfferKeys {
  std::string version, file, length, sha256, rollout;
};

struct Offer {
  OfferKeys keys;
  std::string version;     // as served (GBK bytes)
  std::string file;        // a file name on the server, not yet checked
  std::string lengthText;  // as served, for the log
  std::int32_t length = 0;
  std::string sha256;   // hex as served; empty when the descriptor gives none
  std::string rollout;  // the share of installations it is offered to; empty: all
  // The three keys without which nothing can be fetched.
  bool Complete() const { return !version.empty() && !file.empty() && !lengthText.empty(); }
  // The most bytes its file may have, so that none is read further: the length it gives (0 when it
  // gives none).
  std::uint64_t MaxBytes() const { return length > 0 ? static_cast<std::uint64_t>(length) : 0; }
};

OfferKeys DataOfferKeys();
// `machine` is the processor the running build is for (kMachineX86 or kMachineX64).
OfferKeys UpdaterOfferKeys(std::uint16_t machine);

Offer ReadOffer(std::string_view descriptorText, const OfferKeys& keys);
inline Offer DataOffer(std::string_view text) { return ReadOffer(text, DataOfferKeys()); }
inline Offer UpdaterOffer(std::string_view text, std::uint16_t machine) {
  return ReadOffer(text, UpdaterOfferKeys(machine));
}

}  // namespace zt
