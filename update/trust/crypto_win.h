// The platform's own cryptography (CNG, bcrypt.dll from System32) behind zt::Crypto, and the
// trust the tool builds in: the vendor's public key, when the build was given one.
#pragma once
#include <windows.h>

#include "update/trust/trust.h"

namespace zt {

class CngCrypto final : public Crypto {
 public:
  std::optional<Digest> Sha256(std::string_view bytes) override;
  bool VerifyP256(const PublicKey& key, const Digest& digest, const Signature& signature) override;
  // Read through a handle that shares reading only: nobody can write, rename or delete the file
  // while it is held.
  std::optional<HeldFile> HashAndHold(const std::filesystem::path& file, HoldFor purpose, std::uint64_t maxBytes,
                                      std::string& why) override;
};

// The tool's one trust object: the built-in keys (none when the build has none) over CNG.
UpdateTrust& BuiltInTrust();

}  // namespace zt
