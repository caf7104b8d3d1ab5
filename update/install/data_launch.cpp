#include "update/install/data_launch.h"

#include <system_error>

#include "base/fsutil.h"
#include "base/paths.h"
#include "update/install/offer.h"
#include "update/net/transfer.h"

namespace zt {

std::optional<PrivateCopy> PrepareDataProgram(UpdateTrust& trust, const LocalDescriptor& local,
                                              const std::filesystem::path& installed,
                                              const std::filesystem::path& privateFolder, std::string& reason) {
  if (auto refusal = trust.SignatureRefusal(local.raw)) {
    reason = "the installed version.txt is " + *refusal;
    return std::nullopt;
  }
  HeldFile source;
  const Offer offer = DataOffer(local.text);
  // Read into memory to be copied: never more than the signed length, whatever another account put there.
  if (auto refusal = trust.PayloadRefusal(offer.keys.sha256, offer.sha256, installed, offer.MaxBytes(), &source,
                                          HoldFor::Copying)) {
    reason = *refusal;
    return std::nullopt;
  }
  std::error_code ec;
  std::filesystem::create_directories(privateFolder, ec);
  PrivateCopy copy{privateFolder / kDataProgramName, {}};
  TempFile temp(privateFolder, kDataProgramName);
  if (!temp.Open() || !temp.Write(source.bytes) || !temp.CommitTo(copy.program, {}, reason)) {
    if (reason.empty()) reason = "cannot write " + PathToUtf8(temp.Path());
    return std::nullopt;
  }
  // What starts is what was hashed: the copy is held and compared with the source's hash.
  const auto held = trust.Hashing().HashAndHold(copy.program, HoldFor::Running, source.bytes.size(), reason);
  if (!held || held->digest != source.digest) {
    reason = "the copy " + PathToUtf8(copy.program) + " differs from what was checked";
    return std::nullopt;
  }
  copy.held = std::move(*held);
  return copy;
}

}  // namespace zt
