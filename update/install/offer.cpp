#include "update/install/offer.h"

#include "base/descriptor.h"
#include "base/descriptor_keys.h"
#include "update/trust/pe_image.h"

namespace zt {

OfferKeys DataOfferKeys() { return {kKeyDataVersion, kKeyDataFile, kKeyDataLength, kKeyDataSha256, kKeyDataRollout}; }

OfferKeys UpdaterOfferKeys(std::uint16_t machine) {
  OfferKeys keys{kKeyUpdaterVersion, kKeyUpdaterFile, kKeyUpdaterLength, kKeyUpdaterSha256, kKeyUpdaterRollout};
  if (machine == kMachineX64) {
    for (std::string* key : {&keys.version, &keys.file, &keys.length, &keys.sha256, &keys.rollout})
      *key += kKeyX64Suffix;
  }
  return keys;
}

Offer ReadOffer(std::string_view text, const OfferKeys& keys) {
  Offer offer;
  offer.keys = keys;
  offer.version = GetKeyValue(text, keys.version);
  offer.file = GetKeyValue(text, keys.file);
  offer.lengthText = GetKeyValue(text, keys.length);
  offer.length = AtoiRule(offer.lengthText);
  offer.sha256 = GetKeyValue(text, keys.sha256);
  offer.rollout = GetKeyValue(text, keys.rollout);
  return offer;
}

}  // namespace zt
