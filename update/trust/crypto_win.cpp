#include "update/trust/crypto_win.h"

#include <windows.h>

#include <cstring>
#include <vector>

#include "base/fsutil.h"
#include "base/log.h"
#include "win/error.h"
#include "win/handles.h"
#include "win/system_dll.h"

// The vendor's public keys in PEM, generated from ZT_UPDATE_PUBLIC_KEY at build time, ending in a
// null (just the null when the build has none).
extern const char* const kUpdatePublicKeyPems[];

namespace zt {
namespace {

// Every CNG call answers with a status; anything but 0 counts as a failure.
constexpr NTSTATUS kOk = 0;

// CNG's handles, owned like every other handle of the tool. A handle exists only once bcrypt.dll
// has loaded, so closing one can always reach its function.
struct AlgorithmTraits {
  using Type = BCRYPT_ALG_HANDLE;
  static Type None() noexcept { return nullptr; }
  static bool Valid(Type h) noexcept { return h != nullptr; }
  static void Close(Type h) noexcept { Bcrypt()->BCryptCloseAlgorithmProvider(h, 0); }
};
struct HashTraits {
  using Type = BCRYPT_HASH_HANDLE;
  static Type None() noexcept { return nullptr; }
  static bool Valid(Type h) noexcept { return h != nullptr; }
  static void Close(Type h) noexcept { Bcrypt()->BCryptDestroyHash(h); }
};
struct KeyTraits {
  using Type = BCRYPT_KEY_HANDLE;
  static Type None() noexcept { return nullptr; }
  static bool Valid(Type h) noexcept { return h != nullptr; }
  static void Close(Type h) noexcept { Bcrypt()->BCryptDestroyKey(h); }
};
using UniqueAlgorithm = UniqueHandle<AlgorithmTraits>;
using UniqueHash = UniqueHandle<HashTraits>;
using UniqueKey = UniqueHandle<KeyTraits>;

UniqueAlgorithm OpenAlgorithm(const wchar_t* id) {
  UniqueAlgorithm alg;
  if (Bcrypt() && Bcrypt()->BCryptOpenAlgorithmProvider(alg.put(), id, nullptr, 0) != kOk) alg.release();
  return alg;
}

// One SHA-256 computation, fed piece by piece.
class Sha256Hash {
 public:
  Sha256Hash() : m_alg(OpenAlgorithm(BCRYPT_SHA256_ALGORITHM)) {
    if (m_alg && Bcrypt()->BCryptCreateHash(m_alg.get(), m_hash.put(), nullptr, 0, nullptr, 0, 0) != kOk)
      m_hash.release();
  }

  bool Add(const void* data, std::size_t size) {
    return m_hash && Bcrypt()->BCryptHashData(m_hash.get(), static_cast<PUCHAR>(const_cast<void*>(data)),
                                              static_cast<ULONG>(size), 0) == kOk;
  }
  std::optional<Digest> Finish() {
    Digest d{};
    if (!m_hash || Bcrypt()->BCryptFinishHash(m_hash.get(), d.data(), static_cast<ULONG>(d.size()), 0) != kOk)
      return std::nullopt;
    return d;
  }

 private:
  UniqueAlgorithm m_alg;  // outlives the hash made from it
  UniqueHash m_hash;
};

}  // namespace

std::optional<Digest> CngCrypto::Sha256(std::string_view bytes) {
  Sha256Hash hash;
  if (!hash.Add(bytes.data(), bytes.size())) return std::nullopt;
  return hash.Finish();
}

bool CngCrypto::VerifyP256(const PublicKey& key, const Digest& digest, const Signature& signature) {
  const UniqueAlgorithm alg = OpenAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
  if (!alg) return false;
  std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + key.size());
  BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
  std::memcpy(blob.data(), &header, sizeof header);
  std::memcpy(blob.data() + sizeof header, key.data(), key.size());
  UniqueKey imported;
  if (Bcrypt()->BCryptImportKeyPair(alg.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, imported.put(), blob.data(),
                                    static_cast<ULONG>(blob.size()), 0) != kOk) {
    imported.release();  // a failed import hands out nothing to destroy
    return false;
  }
  Digest d = digest;
  Signature s = signature;
  return Bcrypt()->BCryptVerifySignature(imported.get(), nullptr, d.data(), static_cast<ULONG>(d.size()), s.data(),
                                         static_cast<ULONG>(s.size()), 0) == kOk;
}

std::optional<HeldFile> CngCrypto::HashAndHold(const std::filesystem::path& file, HoldFor purpose,
                                               std::uint64_t maxBytes, std::string& why) {
  // Others may read, nobody may write, rename or delete while the handle lives; a handle that is to
  // move the file needs the right to delete it (a rename is a delete of the old name).
  const DWORD access = GENERIC_READ | (purpose == HoldFor::Moving ? DELETE : 0);
  auto handle = std::make_shared<UniqueKernelHandle>(
      ::CreateFileW(file.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!*handle) {
    why = LastErrorText("CreateFileW " + PathToUtf8(file));
    return std::nullopt;
  }
  // Nobody can write while the handle lives, so the size read here is the size that is read.
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(handle->get(), &size)) {
    why = LastErrorText("GetFileSizeEx " + PathToUtf8(file));
    return std::nullopt;
  }
  const auto bytes = static_cast<std::uint64_t>(size.QuadPart);
  if (bytes > maxBytes) {
    why = "its size " + std::to_string(bytes) + " is larger than the " + std::to_string(maxBytes) +
          " bytes the descriptor gives";
    return std::nullopt;
  }
  HeldFile held;
  if (purpose != HoldFor::Running) held.bytes.reserve(static_cast<std::size_t>(bytes));
  Sha256Hash hash;
  std::vector<char> buffer(64 * 1024);
  std::uint64_t read = 0;
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(handle->get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
      why = LastErrorText("ReadFile " + PathToUtf8(file));
      return std::nullopt;
    }
    if (got == 0) break;
    read += got;
    if (read > bytes || !hash.Add(buffer.data(), got)) {
      why = "cannot read " + PathToUtf8(file) + " to check its hash";
      return std::nullopt;
    }
    if (purpose != HoldFor::Running) held.bytes.append(buffer.data(), got);
  }
  const auto digest = hash.Finish();
  if (!digest) {
    why = "cannot hash " + PathToUtf8(file);
    return std::nullopt;
  }
  held.digest = *digest;
  held.hold = std::move(handle);
  return held;
}

UpdateTrust& BuiltInTrust() {
  static CngCrypto crypto;
  static UpdateTrust trust = [] {
    std::vector<PublicKey> keys;
    for (const char* const* pem = kUpdatePublicKeyPems; *pem != nullptr; ++pem) {
      // A key that does not parse verifies nothing; with no key left every descriptor is refused
      // rather than trusted.
      if (const auto key = ParsePublicKeyPem(*pem)) {
        keys.push_back(*key);
      } else {
        LogEvent("trust", "a built-in public key cannot be read: it verifies nothing");
        keys.push_back(PublicKey{});
      }
    }
    return UpdateTrust(std::move(keys), crypto);
  }();
  return trust;
}

}  // namespace zt
