#include "update/install/data_launch.h"

#include <gtest/gtest.h>

#include "tests/unit/fake_crypto.h"
#include "tests/unit/file_helpers.h"

namespace {

namespace fs = std::filesystem;
using zt::test::ReadAll;
using zt::test::WriteAll;

// Only what the installed descriptor describes is copied into the user's folder and started from
// there, held as it was checked.
TEST(DataProgramLaunch, CheckedCopyInTheUsersFolder) {
  const fs::path dir = fs::temp_directory_path() / "zt_data_launch";
  const std::string program = "MZ the data-update program";
  const zt::PublicKey key = zt::test::FakeKey(4);
  const std::string hashLine = "data_length=26\ndata_sha256=" + zt::HexOf(zt::test::FakeDigest(program)) + "\n";
  struct Row {
    const char* label;
    bool keyBuiltIn;
    std::string descriptor;
    bool started;
  };
  for (const Row& r :
       {Row{"signed and matching", true, zt::test::FakeSigned("data_version=1\n" + hashLine, key), true},
        Row{"signed, other bytes", true,
            zt::test::FakeSigned("data_version=1\ndata_sha256=" + std::string(64, '0') + "\n", key), false},
        Row{"descriptor not signed", true, "data_version=1\n" + hashLine, false},
        Row{"no key, no hash", false, "data_version=1\ndata_length=26\n", true},
        // Copied through memory: never read past the length the descriptor gives.
        Row{"longer than its signed length", true,
            zt::test::FakeSigned(
                "data_version=1\ndata_length=25\ndata_sha256=" + zt::HexOf(zt::test::FakeDigest(program)) + "\n", key),
            false},
        Row{"no key, no length", false, "data_version=1\n", false}}) {
    SCOPED_TRACE(r.label);
    fs::remove_all(dir);
    fs::create_directories(dir / "shared");
    WriteAll(dir / "shared" / "data_update.exe", program);
    zt::test::FakeCrypto crypto;
    zt::UpdateTrust trust(r.keyBuiltIn ? std::vector{key} : std::vector<zt::PublicKey>{}, crypto);
    zt::LocalDescriptor local;
    local.raw = local.text = r.descriptor;
    std::string reason;
    auto copy = zt::PrepareDataProgram(trust, local, dir / "shared" / "data_update.exe", dir / "own" / "run", reason);
    ASSERT_EQ(copy.has_value(), r.started) << reason;
    if (copy) {
      EXPECT_EQ(copy->program, dir / "own" / "run" / "data_update.exe");
      EXPECT_EQ(ReadAll(copy->program), program);
      EXPECT_EQ(crypto.holds, 1);  // the copy, until the caller has started it
    } else {
      EXPECT_FALSE(fs::exists(dir / "own" / "run" / "data_update.exe"));
      EXPECT_EQ(crypto.holds, 0);
    }
  }
  fs::remove_all(dir);
}

}  // namespace
