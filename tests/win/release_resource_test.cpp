// The built exe's version resource and manifest as Windows reads them: Explorer's properties,
// Apps & Features and the DPI scaling come from these bytes, not from the source text.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "res/version.h"
#include "win/text.h"
#include "zt_release_info.h"

namespace {

const wchar_t* const kExe = ZT_TESTED_EXE;  // set by CMake

TEST(ReleaseResource, VersionResourceCarriesTheOneVersionInChinese) {
  DWORD ignored = 0;
  std::vector<unsigned char> block(::GetFileVersionInfoSizeW(kExe, &ignored));
  ASSERT_FALSE(block.empty()) << "no version resource, error " << ::GetLastError();
  ASSERT_TRUE(::GetFileVersionInfoW(kExe, 0, static_cast<DWORD>(block.size()), block.data()));
  void* p = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", &p, &length));
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(p);
  EXPECT_EQ(fixed->dwFileVersionMS, static_cast<DWORD>(MAKELONG(ZT_VERSION_MINOR, ZT_VERSION_MAJOR)));
  EXPECT_EQ(fixed->dwFileVersionLS, 0u);
  EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
  // Explorer picks the string table by the Translation entry: both must say 0804, Unicode.
  ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &p, &length));
  ASSERT_GE(length, 4u);
  EXPECT_EQ(static_cast<const WORD*>(p)[0], 0x0804);
  EXPECT_EQ(static_cast<const WORD*>(p)[1], 1200);

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
    ASSERT_TRUE(::VerQueryValueW(block.data(), path.c_str(), &p, &length)) << zt::Narrow(row.key);
    // The length counts the terminating zero.
    EXPECT_EQ(zt::Narrow(std::wstring(static_cast<const wchar_t*>(p), length ? length - 1 : 0)), row.expected);
  }
}

TEST(ReleaseResource, ManifestDeclaresSystemDpiAwareness) {
  HMODULE module = ::LoadLibraryExW(kExe, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(module, nullptr) << ::GetLastError();
  HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
  ASSERT_NE(found, nullptr);
  const std::string manifest(static_cast<const char*>(::LockResource(::LoadResource(module, found))),
                             ::SizeofResource(module, found));
  ::FreeLibrary(module);
  EXPECT_NE(manifest.find("<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true</dpiAware>"),
            std::string::npos)
      << manifest;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {  // the glue links with -municode
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
