// A stand-in for the platform's cryptography in the unit tests: a made-up digest (not SHA-256, but
// any change of the bytes changes it) and a "signature" that verifies when it holds the digest and
// the key's first half. Enough to test what is hashed, what is signed and what is decided.
#pragma once
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "update/trust/trust.h"

namespace zt::test {

inline Digest FakeDigest(std::string_view bytes) {
  Digest d{};
  for (std::size_t lane = 0; lane < 4; ++lane) {
    std::uint64_t h = 1469598103934665603ull ^ (lane * 0x9E3779B97F4A7C15ull);
    for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
    for (std::size_t k = 0; k < 8; ++k) d[lane * 8 + k] = static_cast<std::uint8_t>(h >> (8 * k));
  }
  return d;
}

inline std::string Base64(const std::uint8_t* data, std::size_t size) {
  static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < size; i += 3) {
    const std::uint32_t n = static_cast<std::uint32_t>(data[i]) << 16 |
                            (i + 1 < size ? static_cast<std::uint32_t>(data[i + 1]) << 8 : 0) |
                            (i + 2 < size ? data[i + 2] : 0);
    out += kDigits[n >> 18 & 63];
    out += kDigits[n >> 12 & 63];
    out += i + 1 < size ? kDigits[n >> 6 & 63] : '=';
    out += i + 2 < size ? kDigits[n & 63] : '=';
  }
  return out;
}

inline PublicKey FakeKey(std::uint8_t seed) {
  PublicKey k{};
  for (std::size_t i = 0; i < k.size(); ++i) k[i] = static_cast<std::uint8_t>(seed + i);
  return k;
}

// `unsigned` with the signature line the fake crypto accepts for `key`.
inline std::string FakeSigned(const std::string& unsignedText, const PublicKey& key) {
  Signature sig{};
  const Digest d = FakeDigest(unsignedText);
  std::copy(d.begin(), d.end(), sig.begin());
  std::copy(key.begin(), key.begin() + 32, sig.begin() + 32);
  return unsignedText + "zt_sig=" + Base64(sig.data(), sig.size()) + "\r\n";
}

struct FakeCrypto : Crypto {
  int holds = 0;  // files held open now
  std::optional<Digest> Sha256(std::string_view bytes) override { return FakeDigest(bytes); }
  bool VerifyP256(const PublicKey& key, const Digest& digest, const Signature& sig) override {
    return std::equal(digest.begin(), digest.end(), sig.begin()) &&
           std::equal(key.begin(), key.begin() + 32, sig.begin() + 32);
  }
  std::optional<HeldFile> HashAndHold(const std::filesystem::path& file, HoldFor purpose, std::uint64_t maxBytes,
                                      std::string& why) override {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(file, ec);
    if (!ec && size > maxBytes) {
      why = "its size " + std::to_string(size) + " is larger than the " + std::to_string(maxBytes) + " bytes";
      return std::nullopt;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ++holds;
    HeldFile held{FakeDigest(bytes), std::shared_ptr<void>(nullptr, [this](void*) { --holds; }), {}};
    if (purpose != HoldFor::Running) held.bytes = std::move(bytes);
    return held;
  }
};

}  // namespace zt::test
