#include "update/trust/trust.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/unit/fake_crypto.h"
#include "tests/unit/file_helpers.h"

namespace {

namespace fs = std::filesystem;
using zt::test::FakeKey;
using zt::test::FakeSigned;

TEST(TrustText, Base64IsStrict) {
  struct Row {
    std::string text;
    std::optional<std::string> bytes;
  };
  for (const Row& r :
       {Row{"", ""}, Row{"Zg==", "f"}, Row{"Zm8=", "fo"}, Row{"Zm9v", "foo"}, Row{"+/+/", "\xfb\xff\xbf"},
        Row{"Zg=", {}}, Row{"Zg", {}}, Row{"Z===", {}}, Row{"Zg=a", {}}, Row{"Zh==", {}} /* stray bits */,
        Row{"Zm9v\r\n", {}}, Row{"Zm 9v", {}}, Row{"Zm-v", {}}, Row{"====", {}}}) {
    SCOPED_TRACE(r.text);
    const auto got = zt::DecodeBase64(r.text);
    ASSERT_EQ(got.has_value(), r.bytes.has_value());
    if (got) {
      EXPECT_EQ(std::string(got->begin(), got->end()), *r.bytes);
    }
  }
}

TEST(TrustText, HashesAndSequences) {
  const std::string hex = "00ff" + std::string(58, 'a') + "0f";
  const auto digest = zt::ParseSha256Hex(hex);
  ASSERT_TRUE(digest);
  EXPECT_EQ((*digest)[0], 0x00);
  EXPECT_EQ((*digest)[1], 0xff);
  EXPECT_EQ((*digest)[31], 0x0f);
  EXPECT_EQ(zt::HexOf(*digest), hex);
  for (const std::string& bad : {std::string(63, 'a'), std::string(65, 'a'), std::string(64, 'A'),
                                 std::string(63, 'a') + "g", std::string(62, 'a') + " a"})
    EXPECT_FALSE(zt::ParseSha256Hex(bad)) << bad;

  EXPECT_EQ(zt::ParseSequence("0"), 0u);
  EXPECT_EQ(zt::ParseSequence("202612070001"), 202612070001u);
  EXPECT_EQ(zt::ParseSequence("18446744073709551615"), UINT64_MAX);
  for (const char* bad : {"", "18446744073709551616", "-1", "+1", "1 ", "1a", "0x10"})
    EXPECT_FALSE(zt::ParseSequence(bad)) << bad;
}

TEST(TrustText, OnlyP256PublicKeysInPem) {
  const std::string p256 =
      "-----BEGIN PUBLIC KEY-----\n"
      "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEIxtE/w6UPgpMVmOM6BGpTvJGT2NP\n"
      "mQ0XTdpTIFt1gapDA0Hs2yPO9m9PiavCQ+3Al336HUthNhHHGU8tStWjVw==\n"
      "-----END PUBLIC KEY-----\n";
  const auto key = zt::ParsePublicKeyPem(p256);
  ASSERT_TRUE(key);
  // X and Y as `openssl ec -pubout -outform DER | tail -c 64` gives them.
  zt::Digest x{}, y{};
  std::copy(key->begin(), key->begin() + 32, x.begin());
  std::copy(key->begin() + 32, key->end(), y.begin());
  EXPECT_EQ(zt::HexOf(x), "231b44ff0e943e0a4c56638ce811a94ef2464f634f990d174dda53205b7581aa");
  EXPECT_EQ(zt::HexOf(y), "430341ecdb23cef66f4f89abc243edc0977dfa1d4b613611c7194f2d4ad5a357");
  // CR LF line ends (a key file edited on Windows) read the same.
  std::string crlf;
  for (char c : p256) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(zt::ParsePublicKeyPem(crlf), key);

  const std::string p384 =
      "-----BEGIN PUBLIC KEY-----\n"
      "MHYwEAYHKoZIzj0CAQYFK4EEACIDYgAE7Vl12WoCjPziNWIVzNtwM9C1m5SwxJ5H\n"
      "Qk9B9wVqnRP5SQyxIYV4Pg2WVeQM0TCLq3PAVtCVFtdgy2lM9EQj3RBp4+6HtjWd\n"
      "7j5Ze5tjpl73JexxEqfbai+gf86dWSqJ\n"
      "-----END PUBLIC KEY-----\n";
  EXPECT_FALSE(zt::ParsePublicKeyPem(p384));
  EXPECT_FALSE(zt::ParsePublicKeyPem(""));
  EXPECT_FALSE(zt::ParsePublicKeyPem(p256.substr(0, p256.find("-----END"))));
  EXPECT_FALSE(zt::ParsePublicKeyPem("-----BEGIN PUBLIC KEY-----\nMFkw\n-----END PUBLIC KEY-----\n"));
}

TEST(TrustSignatureLine, OnlyTheLastLineAtALineStart) {
  const zt::PublicKey key = FakeKey(1);
  const std::string body = "data_version=2002\r\ndata_file=p.exe\r\n";
  const std::string signedText = FakeSigned(body, key);
  const std::string sigLine = signedText.substr(body.size());
  const std::string sigValue = sigLine.substr(7, sigLine.size() - 9);
  struct Row {
    const char* label;
    std::string raw;
    zt::SignatureLine line;
    std::string signedPart;
  };
  for (const Row& r : {
           Row{"CR LF", signedText, zt::SignatureLine::Present, body},
           Row{"LF only", "a=1\nzt_sig=" + sigValue + "\n", zt::SignatureLine::Present, "a=1\n"},
           Row{"no final line end", body + "zt_sig=" + sigValue, zt::SignatureLine::Present, body},
           Row{"blank lines after it", signedText + "\r\n\n", zt::SignatureLine::Present, body},
           Row{"alone", "zt_sig=" + sigValue + "\r\n", zt::SignatureLine::Present, ""},
           Row{"not the last line", signedText + "x=1\r\n", zt::SignatureLine::Malformed, ""},
           Row{"a blank after it", body + "zt_sig=" + sigValue + " \r\n", zt::SignatureLine::Malformed, ""},
           Row{"a second one", signedText + "zt_sig=" + sigValue + "\r\n", zt::SignatureLine::Malformed, ""},
           Row{"63 bytes", body + "zt_sig=" + sigValue.substr(0, 84) + "==\r\n", zt::SignatureLine::Malformed, ""},
           Row{"CR-only line ends", "a=1\rzt_sig=" + sigValue + "\r", zt::SignatureLine::Missing, ""},
           Row{"tail of another key", "a=1\r\nmyzt_sig=" + sigValue + "\r\n", zt::SignatureLine::Missing, ""},
           Row{"none", body, zt::SignatureLine::Missing, ""},
       }) {
    SCOPED_TRACE(r.label);
    const zt::SignedDescriptor split = zt::SplitSignature(r.raw);
    EXPECT_EQ(split.line, r.line);
    if (r.line == zt::SignatureLine::Present) {
      EXPECT_EQ(split.signedPart, r.signedPart);
    }
  }
}

// This user's floors, as the registry keeps them.
struct FakeFloors : zt::UserState {
  std::map<std::string, std::uint64_t> floors;
  std::string newest;
  std::uint64_t SequenceFloor(std::string_view id) override { return floors[std::string(id)]; }
  void RaiseSequenceFloor(std::string_view id, std::uint64_t seq) override {
    floors[std::string(id)] = std::max(floors[std::string(id)], seq);
  }
  std::string NewestKey() override { return newest; }
  void SetNewestKey(std::string_view id) override { newest = id; }
  bool UpdaterVersionFailed(std::string_view) override { return false; }
  void RememberFailedUpdaterVersion(std::string_view) override {}
  std::uint32_t RolloutBucket() override { return 0; }
};

// What a fetched descriptor must be to be used, with and without a key built in.
TEST(TrustDecision, FetchedDescriptors) {
  const zt::PublicKey key = FakeKey(7), otherKey = FakeKey(9);
  const std::string body = "data_version=2002\r\ndata_sha256=" + std::string(64, 'a') + "\r\n";
  const auto withSeq = [&](int seq) { return body + "zt_seq=" + std::to_string(seq) + "\r\n"; };
  std::string flipped = FakeSigned(withSeq(5), key);
  flipped[3] ^= 1;  // one byte of the signed part
  struct Row {
    const char* label;
    bool keyBuiltIn;
    std::string fetched, installed;
    bool used;
  };
  for (const Row& r : {
           Row{"signed, nothing installed", true, FakeSigned(withSeq(5), key), "", true},
           Row{"signed, higher sequence", true, FakeSigned(withSeq(6), key), FakeSigned(withSeq(5), key), true},
           Row{"signed, equal sequence", true, FakeSigned(withSeq(5), key), FakeSigned(withSeq(5), key), true},
           Row{"signed, lower sequence", true, FakeSigned(withSeq(4), key), FakeSigned(withSeq(5), key), false},
           Row{"signed without a sequence over a sequenced one", true, FakeSigned(body, key),
               FakeSigned(withSeq(1), key), false},
           // An installed descriptor that does not verify has no sequence to defend.
           Row{"lower than an unsigned installed one", true, FakeSigned(withSeq(1), key), withSeq(9), true},
           Row{"unsigned", true, withSeq(6), "", false},
           Row{"signed by another key", true, FakeSigned(withSeq(6), otherKey), "", false},
           Row{"a flipped byte", true, flipped, "", false},
           Row{"signature line not last", true, FakeSigned(withSeq(6), key) + "x=1\r\n", "", false},
           Row{"no key: unsigned", false, withSeq(6), "", true},
           Row{"no key: bad signature", false, flipped, "", true},
           Row{"no key: lower sequence", false, FakeSigned(withSeq(1), key), FakeSigned(withSeq(5), key), true},
       }) {
    SCOPED_TRACE(r.label);
    zt::test::FakeCrypto crypto;
    FakeFloors floors;
    zt::UpdateTrust trust(r.keyBuiltIn ? std::vector{key} : std::vector<zt::PublicKey>{}, crypto);
    const auto refusal = trust.AcceptFetched(r.fetched, r.installed, floors);
    EXPECT_EQ(!refusal.has_value(), r.used) << refusal.value_or("");
  }
}

// The floor is this user's, per key: raised by every accepted descriptor, whatever is installed,
// and a successor key starts its own count. Once the successor has signed an accepted descriptor,
// the earlier key's publications are replays and are refused, however high their sequence.
TEST(TrustDecision, FloorsPerKeyAndNoWayBackToAnEarlierKey) {
  const zt::PublicKey oldKey = FakeKey(7), newKey = FakeKey(9), strayKey = FakeKey(11);
  const auto signedSeq = [](const zt::PublicKey& k, int seq) {
    return FakeSigned("data_version=2002\r\nzt_seq=" + std::to_string(seq) + "\r\n", k);
  };
  zt::test::FakeCrypto crypto;
  FakeFloors floors;
  zt::UpdateTrust trust({oldKey, newKey}, crypto);
  struct Step {
    const char* label;
    std::string fetched, installed;
    bool used;
  };
  for (const Step& s : {
           Step{"6 under the old key", signedSeq(oldKey, 6), "", true},
           Step{"5 after 6, nothing installed", signedSeq(oldKey, 5), "", false},
           Step{"5 after 6, the installed one reset to 3", signedSeq(oldKey, 5), signedSeq(oldKey, 3), false},
           Step{"the old key again, higher", signedSeq(oldKey, 7), "", true},
           Step{"the new key starts its own count", signedSeq(newKey, 1), signedSeq(oldKey, 7), true},
           Step{"and keeps it", signedSeq(newKey, 0), "", false},
           Step{"the old key's last publication, replayed", signedSeq(oldKey, 7), "", false},
           Step{"the old key, higher than ever", signedSeq(oldKey, 99), signedSeq(oldKey, 7), false},
           Step{"the new key goes on", signedSeq(newKey, 2), signedSeq(oldKey, 7), true},
           Step{"a key this build does not trust", signedSeq(strayKey, 99), "", false},
       }) {
    SCOPED_TRACE(s.label);
    const auto refusal = trust.AcceptFetched(s.fetched, s.installed, floors);
    EXPECT_EQ(!refusal.has_value(), s.used) << refusal.value_or("");
  }
  EXPECT_EQ(floors.floors[zt::KeyIdOf(oldKey)], 7u);
  EXPECT_EQ(floors.floors[zt::KeyIdOf(newKey)], 2u);
  EXPECT_EQ(floors.floors.count(zt::KeyIdOf(strayKey)), 0u);
  EXPECT_EQ(floors.newest, zt::KeyIdOf(newKey));
  // The installed package signed by the old key still runs: only fetching goes by the newest key.
  EXPECT_FALSE(trust.SignatureRefusal(signedSeq(oldKey, 7)));
}

// The newest key is kept by its id, so builds that list other keys read it right: a later build
// that trusts the new key alone still takes it, one that trusts a spare after it may move on,
// and a key no longer listed binds nothing.
TEST(TrustDecision, NewestKeyAcrossBuildsThatListOtherKeys) {
  const zt::PublicKey k1 = FakeKey(7), k2 = FakeKey(9), k3 = FakeKey(11);
  const auto signedBy = [](const zt::PublicKey& k) { return FakeSigned("data_version=2002\r\nzt_seq=1\r\n", k); };
  struct Row {
    const char* label;
    std::vector<zt::PublicKey> built;
    const zt::PublicKey* newest;  // nullptr: none accepted yet
    const zt::PublicKey* signer;
    bool used;
    const zt::PublicKey* newestAfter;
  };
  for (const Row& r : {
           Row{"nothing accepted yet, the older key", {k1, k2}, nullptr, &k1, true, &k1},
           Row{"nothing accepted yet, the newer key", {k1, k2}, nullptr, &k2, true, &k2},
           Row{"the newer key after the older one", {k1, k2}, &k1, &k2, true, &k2},
           Row{"the older key after the newer one", {k1, k2}, &k2, &k1, false, &k2},
           Row{"a build that trusts the new key alone", {k2}, &k2, &k2, true, &k2},
           Row{"the retired key is not listed", {k2, k3}, &k1, &k2, true, &k2},
           Row{"on to the spare listed last", {k2, k3}, &k2, &k3, true, &k3},
       }) {
    SCOPED_TRACE(r.label);
    zt::test::FakeCrypto crypto;
    FakeFloors floors;
    if (r.newest) floors.newest = zt::KeyIdOf(*r.newest);
    zt::UpdateTrust trust(r.built, crypto);
    const auto refusal = trust.AcceptFetched(signedBy(*r.signer), "", floors);
    EXPECT_EQ(!refusal.has_value(), r.used) << refusal.value_or("");
    EXPECT_EQ(floors.newest, zt::KeyIdOf(*r.newestAfter));
  }
}

// What a payload must be to be installed, copied or run.
TEST(TrustDecision, Payloads) {
  const fs::path dir = fs::temp_directory_path() / "zt_trust_payloads";
  fs::create_directories(dir);
  const fs::path file = dir / "p.exe";
  zt::test::WriteAll(file, "MZ payload");
  const std::string actual = zt::HexOf(zt::test::FakeDigest("MZ payload"));
  std::string other = actual;
  other[0] = other[0] == '0' ? '1' : '0';
  std::string upper = actual;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  struct Row {
    const char* label;
    bool keyBuiltIn;
    std::string hashLine;  // "" = none
    bool used;
    std::uint64_t maxBytes = 10;  // the file's own size
  };
  for (const Row& r :
       {Row{"match", true, actual, true}, Row{"mismatch", true, other, false}, Row{"missing", true, "", false},
        Row{"upper case", true, upper, false}, Row{"no key: match", false, actual, true},
        Row{"no key: mismatch", false, other, false}, Row{"no key: missing", false, "", true},
        Row{"larger than the signed length", true, actual, false, 9},
        Row{"no key: larger than the length given", false, "", false, 9},
        Row{"within a larger length", true, actual, true, 11}}) {
    SCOPED_TRACE(r.label);
    zt::test::FakeCrypto crypto;
    zt::UpdateTrust trust(r.keyBuiltIn ? std::vector{FakeKey(3)} : std::vector<zt::PublicKey>{}, crypto);
    zt::HeldFile held;
    const auto refusal = trust.PayloadRefusal("data_sha256", r.hashLine, file, r.maxBytes, &held);
    EXPECT_EQ(!refusal.has_value(), r.used) << refusal.value_or("");
    // A used file stays held until the caller lets go, also without a hash to compare; a refused
    // one is not held.
    EXPECT_EQ(crypto.holds, r.used ? 1 : 0);
  }
  fs::remove_all(dir);
}

}  // namespace
