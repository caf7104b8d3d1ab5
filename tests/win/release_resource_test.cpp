// The shipped exe's version resource and manifest as Windows reads them: Explorer's properties,
// Apps & Features and the DPI scaling all come from these bytes, not from the source text.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "res/version.h"
#include "win/text.h"
#include "zt_release_info.h"

namespace {

const wchar_t* const kExe = ZT_TESTED_EXE;  // the build's ZT_AutoUpdate.exe (set by CMake)

std::vector<unsigned char> VersionBlock() {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(kExe, &ignored);
  std::vector<unsigned char> block(size);
  if (size == 0 || !::GetFileVersionInfoW(kExe, 0, size, block.data())) block.clear();
  return block;
}

TEST(ReleaseResource, FixedVersionIsTheOneConstant) {
  std::vector<unsigned char> block = VersionBlock();
  ASSERT_FALSE(block.empty()) << "no version resource in the exe, error " << ::GetLastError();
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwFileVersionMS, static_cast<DWORD>(MAKELONG(ZT_VERSION_MINOR, ZT_VERSION_MAJOR)));
  EXPECT_EQ(fixed->dwFileVersionLS, 0u);
  EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
}

TEST(ReleaseResource, ChineseStringTableNamesTheProduct) {
  std::vector<unsigned char> block = VersionBlock();
  ASSERT_FALSE(block.empty());
  // Explorer picks the string table by the Translation entry: both must say 0804 / Unicode.
  WORD* translation = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
  ASSERT_GE(length, 4u);
  EXPECT_EQ(translation[0], 0x0804);
  EXPECT_EQ(translation[1], 1200);

  const struct {
    const wchar_t* key;
    std::string expected;
  } rows[] = {
      {L"ProductName", "安全驾驶导引系统自动升级工具"},
      {L"FileDescription", "安全驾驶导引系统自动升级工具"},
      {L"CompanyName", ZT_COMPANY_NAME},
      {L"LegalCopyright", "版权所有 (C) " ZT_COMPANY_NAME},
      {L"OriginalFilename", "ZT_AutoUpdate.exe"},
      {L"FileVersion", ZT_VERSION_TEXT},
      {L"ProductVersion", ZT_VERSION_TEXT},
  };
  for (const auto& row : rows) {
    const std::wstring path = std::wstring(L"\\StringFileInfo\\080404b0\\") + row.key;
    wchar_t* value = nullptr;
    UINT chars = 0;
    ASSERT_TRUE(::VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &chars))
        << zt::Narrow(row.key) << " missing";
    // The length counts the terminating zero.
    EXPECT_EQ(zt::Narrow(std::wstring(value, chars > 0 ? chars - 1 : 0)), row.expected) << zt::Narrow(row.key);
  }
}

TEST(ReleaseResource, ManifestDeclaresSystemDpiAwareness) {
  HMODULE module = ::LoadLibraryExW(kExe, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(module, nullptr) << ::GetLastError();
  HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
  ASSERT_NE(found, nullptr);
  const char* bytes = static_cast<const char*>(::LockResource(::LoadResource(module, found)));
  const std::string manifest(bytes, ::SizeofResource(module, found));
  ::FreeLibrary(module);
  EXPECT_NE(manifest.find("<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true</dpiAware>"),
            std::string::npos)
      << manifest;
  EXPECT_NE(manifest.find("version=\"" ZT_VERSION_TEXT ".0.0\""), std::string::npos) << "assembly version";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {  // the glue links with -municode
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
