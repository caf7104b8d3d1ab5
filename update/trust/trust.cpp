#include "update/trust/trust.h"

#include "base/descriptor.h"
#include "base/descriptor_keys.h"
#include "update/net/server_address.h"

namespace zt {
namespace {

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// DER SubjectPublicKeyInfo of a P-256 key up to its uncompressed point (0x04, X, Y).
constexpr std::uint8_t kP256SpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                            0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                            0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

bool AtLineStart(std::string_view text, std::size_t at) { return at == 0 || text[at - 1] == '\n'; }

}  // namespace

std::optional<std::vector<std::uint8_t>> DecodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::vector<std::uint8_t> out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int v[4];
    int padding = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + static_cast<std::size_t>(k)];
      if (c == '=' && last && k >= 2) {
        ++padding;
        v[k] = 0;
        continue;
      }
      if (padding > 0) return std::nullopt;  // a digit after padding
      v[k] = Base64Value(c);
      if (v[k] < 0) return std::nullopt;
    }
    const std::uint32_t n = static_cast<std::uint32_t>(v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3]);
    // Bits below the last whole byte must be zero, so one text stands for one byte string.
    if ((padding == 1 && (n & 0xFF) != 0) || (padding == 2 && (n & 0xFFFF) != 0)) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(n >> 16));
    if (padding < 2) out.push_back(static_cast<std::uint8_t>(n >> 8));
    if (padding < 1) out.push_back(static_cast<std::uint8_t>(n));
  }
  return out;
}

std::optional<Digest> ParseSha256Hex(std::string_view text) {
  Digest d{};
  if (text.size() != d.size() * 2) return std::nullopt;
  for (std::size_t i = 0; i < d.size(); ++i) {
    const int hi = HexValue(text[2 * i]), lo = HexValue(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    d[i] = static_cast<std::uint8_t>(hi << 4 | lo);
  }
  return d;
}

std::optional<std::uint64_t> ParseSequence(std::string_view text) { return ParseDecimal(text); }

std::optional<PublicKey> ParsePublicKeyPem(std::string_view pem) {
  constexpr std::string_view kBegin = "-----BEGIN PUBLIC KEY-----";
  constexpr std::string_view kEnd = "-----END PUBLIC KEY-----";
  const std::size_t begin = pem.find(kBegin);
  const std::size_t end = pem.find(kEnd);
  if (begin == std::string_view::npos || end == std::string_view::npos || end < begin) return std::nullopt;
  std::string body;
  for (char c : pem.substr(begin + kBegin.size(), end - begin - kBegin.size())) {
    if (c != '\r' && c != '\n') body += c;
  }
  const auto der = DecodeBase64(body);
  if (!der || der->size() != sizeof kP256SpkiPrefix + 64) return std::nullopt;
  if (!std::equal(std::begin(kP256SpkiPrefix), std::end(kP256SpkiPrefix), der->begin())) return std::nullopt;
  PublicKey key{};
  std::copy(der->end() - 64, der->end(), key.begin());
  return key;
}

SignedDescriptor SplitSignature(std::string_view raw) {
  SignedDescriptor out;
  std::size_t at = std::string_view::npos;
  int found = 0;
  const std::string pattern = std::string(kKeySignature) + "=";
  for (std::size_t i = raw.find(pattern); i != std::string_view::npos; i = raw.find(pattern, i + 1)) {
    if (!AtLineStart(raw, i)) continue;
    if (++found == 1) at = i;
  }
  if (found == 0) return out;
  out.line = SignatureLine::Malformed;
  if (found > 1) return out;
  std::string_view rest = raw.substr(at + pattern.size());
  const std::size_t textEnd = rest.find_first_of("\r\n");
  const std::string_view text = rest.substr(0, textEnd);
  // Nothing but line ends may follow the signature: it is the last line.
  if (textEnd != std::string_view::npos && rest.find_first_not_of("\r\n", textEnd) != std::string_view::npos)
    return out;
  const auto bytes = DecodeBase64(text);
  if (!bytes || bytes->size() != out.signature.size()) return out;
  std::copy(bytes->begin(), bytes->end(), out.signature.begin());
  out.signedPart = raw.substr(0, at);
  out.line = SignatureLine::Present;
  return out;
}

std::string HexOf(const Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : digest) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::string KeyIdOf(const PublicKey& key) {
  Digest head{};
  std::copy(key.begin(), key.begin() + 8, head.begin());
  return HexOf(head).substr(0, 16);
}

std::optional<std::size_t> UpdateTrust::VerifyingKey(std::string_view raw, std::string* refusal) {
  const SignedDescriptor split = SplitSignature(raw);
  if (split.line != SignatureLine::Present) {
    *refusal = split.line == SignatureLine::Missing ? "not signed" : "its signature line is malformed";
    return std::nullopt;
  }
  const auto digest = m_crypto.Sha256(split.signedPart);
  for (std::size_t i = 0; digest && i < m_keys.size(); ++i) {
    if (m_crypto.VerifyP256(m_keys[i], *digest, split.signature)) return i;
  }
  *refusal = "its signature does not verify";
  return std::nullopt;
}

std::optional<std::string> UpdateTrust::SignatureRefusal(std::string_view raw) {
  if (m_keys.empty()) return std::nullopt;
  std::string refusal;
  if (!VerifyingKey(raw, &refusal)) return refusal;
  return std::nullopt;
}

std::optional<std::string> UpdateTrust::AcceptFetched(std::string_view fetchedRaw, std::string_view installedRaw,
                                                      UserState& state) {
  if (m_keys.empty()) return std::nullopt;
  std::string refusal;
  const auto key = VerifyingKey(fetchedRaw, &refusal);
  if (!key) return refusal;
  const auto sequence = [](std::string_view raw) {
    return ParseSequence(GetKeyValue(DecodeDescriptorBytes(raw), kKeySequence)).value_or(0);
  };
  // The installed descriptor counts only under the same key: a successor key starts its own count.
  std::string ignored;
  const bool installedSameKey = !installedRaw.empty() && VerifyingKey(installedRaw, &ignored) == key;
  const std::uint64_t installed = installedSameKey ? sequence(installedRaw) : 0;
  const std::string keyId = KeyIdOf(m_keys[*key]);
  // Once a later key has signed what this user accepted, an earlier key's publications are replays:
  // whoever keeps the old key's last one could serve it for ever, as each key has floors of its own.
  const std::string newest = state.NewestKey();
  const std::optional<std::size_t> newestAt = KeyIndexOf(newest);
  if (newestAt && *key < *newestAt) return "signed by key " + keyId + ", older than key " + newest + " accepted before";
  const std::uint64_t floor = state.SequenceFloor(keyId);
  const std::uint64_t fetched = sequence(fetchedRaw);
  if (fetched < installed)
    return "its sequence " + std::to_string(fetched) + " is lower than the installed " + std::to_string(installed);
  if (fetched < floor)
    return "its sequence " + std::to_string(fetched) + " is lower than " + std::to_string(floor) +
           ", accepted before under key " + keyId;
  state.RaiseSequenceFloor(keyId, fetched);
  if (newest != keyId) state.SetNewestKey(keyId);
  return std::nullopt;
}

std::optional<std::size_t> UpdateTrust::KeyIndexOf(std::string_view keyId) const {
  for (std::size_t i = 0; i < m_keys.size(); ++i) {
    if (KeyIdOf(m_keys[i]) == keyId) return i;
  }
  return std::nullopt;
}

std::optional<std::string> UpdateTrust::PayloadRefusal(std::string_view hashKey, std::string_view value,
                                                       const std::filesystem::path& file, std::uint64_t maxBytes,
                                                       HeldFile* held, HoldFor purpose) {
  std::optional<Digest> expected;
  if (!value.empty()) {
    expected = ParseSha256Hex(value);
    if (!expected) return std::string(hashKey) + " is not 64 lowercase hex digits";
  } else if (!m_keys.empty()) {
    return "the descriptor signs no " + std::string(hashKey);
  }
  // Without a hash there is nothing to compare, but a caller that holds the file still gets it held.
  if (!expected && !held) return std::nullopt;
  std::string why;
  auto hashed = m_crypto.HashAndHold(file, purpose, maxBytes, why);
  if (!hashed) return why.empty() ? std::string("cannot read it to check its hash") : why;
  if (expected && hashed->digest != *expected)
    return "its SHA-256 " + HexOf(hashed->digest) + " differs from the signed " + std::string(value);
  if (held) *held = std::move(*hashed);
  return std::nullopt;
}

}  // namespace zt
