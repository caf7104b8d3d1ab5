// Trusted updates: a descriptor signed by the vendor, and payloads checked against the hashes it
// signs. The format: after the ordinary keys, "data_sha256=" and "updater_sha256=" (64 lowercase
// hex digits), "zt_seq=" (decimal, grows with each publication) and, as the last line,
// "zt_sig=" with the standard base64 of an ECDSA P-256 signature (r and s, 32 bytes each, big
// endian) over the SHA-256 of every byte before that line. Portable: the hashing and the signature
// check come through Crypto (CNG on Windows, fakes in the unit tests).
#pragma once
#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/user_state.h"

namespace zt {

using Digest = std::array<std::uint8_t, 32>;
using Signature = std::array<std::uint8_t, 64>;
using PublicKey = std::array<std::uint8_t, 64>;  // the point's X and Y, big endian

// A file's hash, and the handle it was read through: while `hold` lives nobody else may write,
// rename or delete the file, so what runs or is copied next is what was checked.
struct HeldFile {
  Digest digest{};
  std::shared_ptr<void> hold;
  std::string bytes;  // what was read, when held for copying or moving
};

// What the holder will do with a held file.
enum class HoldFor {
  Running,  // check it, then start it while nobody can change it
  Copying,  // also keep the bytes that were hashed: a copy is made from them
  Moving,   // keep the bytes, and the handle may rename the file: it is moved into place through it
};

class Crypto {
 public:
  virtual ~Crypto() = default;
  virtual std::optional<Digest> Sha256(std::string_view bytes) = 0;
  virtual bool VerifyP256(const PublicKey& key, const Digest& digest, const Signature& signature) = 0;
  // Hashes `file` through a handle that then holds it for `purpose`. A file larger than `maxBytes`
  // is refused before a byte of it is read (its size is asked of the held handle), so a huge or
  // sparse file that another account put in the shared folder costs neither memory nor time.
  // nullopt, with `why`, when it is refused or cannot be read.
  virtual std::optional<HeldFile> HashAndHold(const std::filesystem::path& file, HoldFor purpose,
                                              std::uint64_t maxBytes, std::string& why) = 0;
};

// Standard base64 with '=' padding, nothing else allowed (no blanks, no line breaks).
std::optional<std::vector<std::uint8_t>> DecodeBase64(std::string_view text);
// Exactly 64 lowercase hex digits.
std::optional<Digest> ParseSha256Hex(std::string_view text);
// Decimal digits only, up to the largest 64-bit value.
std::optional<std::uint64_t> ParseSequence(std::string_view text);
// The point of a P-256 public key in PEM ("-----BEGIN PUBLIC KEY-----", as `openssl ec -pubout`
// writes it); nullopt for anything else, another curve included.
std::optional<PublicKey> ParsePublicKeyPem(std::string_view pem);

enum class SignatureLine {
  Missing,    // no "zt_sig=" at the start of a line
  Malformed,  // not the last line, not 64 bytes of base64, or more than one
  Present,
};
struct SignedDescriptor {
  SignatureLine line = SignatureLine::Missing;
  std::string_view signedPart;  // every byte before the signature line
  Signature signature{};
};
SignedDescriptor SplitSignature(std::string_view raw);

// The name of a key in the per-user state: the first 8 bytes of its X coordinate in hex.
std::string KeyIdOf(const PublicKey& key);

class UpdateTrust {
 public:
  // Without a key nothing is signed: signatures and sequences are ignored, and a hash line that is
  // present is still checked (it costs nothing and catches damage). With several keys a descriptor
  // is trusted when any of them verifies it (a build trusts the old and the new key while the
  // vendor moves from one to the other).
  UpdateTrust(std::vector<PublicKey> keys, Crypto& crypto) : m_keys(std::move(keys)), m_crypto(crypto) {}
  bool KeyBuiltIn() const { return !m_keys.empty(); }
  Crypto& Hashing() { return m_crypto; }

  // Why a descriptor (its bytes as stored) may not be used, or nullopt when it may: with a key its
  // signature must verify.
  std::optional<std::string> SignatureRefusal(std::string_view raw);
  // The same for a fetched descriptor, which also may not go back behind the highest sequence this
  // user has accepted under the key that signed it, nor behind the installed descriptor's when that
  // one is signed by the same key, nor be signed by a key listed before (older than) the newest key
  // this user has accepted a descriptor under. Once accepted, its sequence becomes that key's floor
  // and its key the newest when it is listed later. The newest key is kept by its id, not its place
  // in the list: a later build lists fewer keys. An id this build does not list binds nothing.
  std::optional<std::string> AcceptFetched(std::string_view fetchedRaw, std::string_view installedRaw,
                                           UserState& state);
  // Why `file` may not be installed, copied or run under the hash `hashHex` that the descriptor
  // gives under `hashKey` (empty when it gives none), or nullopt when it may. A file larger than
  // `maxBytes` (the length the descriptor gives) is refused unread. `held`, when given, receives the
  // handle that keeps the file as it was hashed, held for `purpose`.
  std::optional<std::string> PayloadRefusal(std::string_view hashKey, std::string_view hashHex,
                                            const std::filesystem::path& file, std::uint64_t maxBytes,
                                            HeldFile* held = nullptr, HoldFor purpose = HoldFor::Running);

 private:
  // The index of the key that verifies `raw`, or why none does.
  std::optional<std::size_t> VerifyingKey(std::string_view raw, std::string* refusal);
  // Where the key `keyId` stands in this build's list (oldest first), when it is there.
  std::optional<std::size_t> KeyIndexOf(std::string_view keyId) const;

  std::vector<PublicKey> m_keys;
  Crypto& m_crypto;
};

std::string HexOf(const Digest& digest);

}  // namespace zt
