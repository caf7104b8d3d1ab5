#include "update/crypto_win.h"

#include <windows.h>

#include <cstring>
#include <vector>

#include "app/log.h"
#include "win/handles.h"
#include "win/system_dll.h"

// The vendor's public key in PEM, generated from ZT_UPDATE_PUBLIC_KEY at build time; empty when
// the build has none.
extern const char kUpdatePublicKeyPem[];

namespace zt {
namespace {

// Every CNG call answers with a status; anything but 0 counts as a failure.
constexpr NTSTATUS kOk = 0;

struct Algorithm {
  BCRYPT_ALG_HANDLE handle = nullptr;
  explicit Algorithm(const wchar_t* id) {
    if (Bcrypt() && Bcrypt()->BCryptOpenAlgorithmProvider(&handle, id, nullptr, 0) != kOk) handle = nullptr;
  }
  ~Algorithm() {
    if (handle) Bcrypt()->BCryptCloseAlgorithmProvider(handle, 0);
  }
  Algorithm(const Algorithm&) = delete;
  Algorithm& operator=(const Algorithm&) = delete;
};

// One SHA-256 computation, fed piece by piece.
class Sha256Hash {
 public:
  Sha256Hash() : m_alg(BCRYPT_SHA256_ALGORITHM) {
    if (m_alg.handle && Bcrypt()->BCryptCreateHash(m_alg.handle, &m_hash, nullptr, 0, nullptr, 0, 0) != kOk)
      m_hash = nullptr;
  }
  ~Sha256Hash() {
    if (m_hash) Bcrypt()->BCryptDestroyHash(m_hash);
  }
  Sha256Hash(const Sha256Hash&) = delete;
  Sha256Hash& operator=(const Sha256Hash&) = delete;

  bool Add(const void* data, std::size_t size) {
    return m_hash && Bcrypt()->BCryptHashData(m_hash, static_cast<PUCHAR>(const_cast<void*>(data)),
                                              static_cast<ULONG>(size), 0) == kOk;
  }
  std::optional<Digest> Finish() {
    Digest d{};
    if (!m_hash || Bcrypt()->BCryptFinishHash(m_hash, d.data(), static_cast<ULONG>(d.size()), 0) != kOk)
      return std::nullopt;
    return d;
  }

 private:
  Algorithm m_alg;
  BCRYPT_HASH_HANDLE m_hash = nullptr;
};

}  // namespace

std::optional<Digest> CngCrypto::Sha256(std::string_view bytes) {
  Sha256Hash hash;
  if (!hash.Add(bytes.data(), bytes.size())) return std::nullopt;
  return hash.Finish();
}

bool CngCrypto::VerifyP256(const PublicKey& key, const Digest& digest, const Signature& signature) {
  Algorithm alg(BCRYPT_ECDSA_P256_ALGORITHM);
  if (!alg.handle) return false;
  std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + key.size());
  BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
  std::memcpy(blob.data(), &header, sizeof header);
  std::memcpy(blob.data() + sizeof header, key.data(), key.size());
  BCRYPT_KEY_HANDLE handle = nullptr;
  if (Bcrypt()->BCryptImportKeyPair(alg.handle, nullptr, BCRYPT_ECCPUBLIC_BLOB, &handle, blob.data(),
                                    static_cast<ULONG>(blob.size()), 0) != kOk)
    return false;
  Digest d = digest;
  Signature s = signature;
  const NTSTATUS status = Bcrypt()->BCryptVerifySignature(handle, nullptr, d.data(), static_cast<ULONG>(d.size()),
                                                          s.data(), static_cast<ULONG>(s.size()), 0);
  Bcrypt()->BCryptDestroyKey(handle);
  return status == kOk;
}

std::optional<HeldFile> CngCrypto::HashAndHold(const std::filesystem::path& file) {
  auto handle = std::make_shared<UniqueKernelHandle>(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                                   OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!*handle) return std::nullopt;
  Sha256Hash hash;
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(handle->get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr))
      return std::nullopt;
    if (got == 0) break;
    if (!hash.Add(buffer.data(), got)) return std::nullopt;
  }
  const auto digest = hash.Finish();
  if (!digest) return std::nullopt;
  return HeldFile{*digest, std::move(handle)};
}

UpdateTrust& BuiltInTrust() {
  static CngCrypto crypto;
  static UpdateTrust trust = [] {
    const std::string_view pem = kUpdatePublicKeyPem;
    if (pem.empty()) return UpdateTrust(std::nullopt, crypto);
    // A key that does not parse verifies nothing: every descriptor is refused rather than trusted.
    const auto key = ParsePublicKeyPem(pem);
    if (!key) LogEvent("trust", "the built-in public key cannot be read: no update can be verified");
    return UpdateTrust(key.value_or(PublicKey{}), crypto);
  }();
  return trust;
}

}  // namespace zt
