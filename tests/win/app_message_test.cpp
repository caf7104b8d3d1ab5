// What the user is told: SetAutoRun's failure message in the tool's message box, and the
// descriptor read from Windows files (Chinese folder names, files held open by others).
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "app/autorun.h"
#include "app/descriptor.h"
#include "app/descriptor_state.h"
#include "app/fsutil.h"
#include "app/paths.h"
#include "win/handles.h"
#include "win/text.h"

namespace {

namespace fs = std::filesystem;

struct SeenBox {
  std::wstring caption, text;
  bool exclamation = false;
};

// Waits for this process's message box, records it and presses its button.
SeenBox AnswerMessageBox() {
  SeenBox seen;
  for (int i = 0; i < 200; ++i) {
    HWND box = nullptr;
    ::EnumWindows(
        [](HWND w, LPARAM out) -> BOOL {
          DWORD pid = 0;
          ::GetWindowThreadProcessId(w, &pid);
          wchar_t cls[32] = {};
          ::GetClassNameW(w, cls, 32);
          if (pid == ::GetCurrentProcessId() && std::wstring(cls) == L"#32770" && ::IsWindowVisible(w)) {
            *reinterpret_cast<HWND*>(out) = w;
            return FALSE;
          }
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&box));
    if (box) {
      wchar_t buffer[512] = {};
      ::GetWindowTextW(box, buffer, 512);
      seen.caption = buffer;
      ::GetDlgItemTextW(box, 0xFFFF, buffer, 512);  // the message text's static control
      seen.text = buffer;
      // The icon's static control: 20 on Windows, 1088 on Wine; it holds an icon only when asked.
      for (const int id : {0x0014, 0x0440}) {
        HWND icon = ::GetDlgItem(box, id);
        if (icon && ::SendMessageW(icon, STM_GETICON, 0, 0) != 0) seen.exclamation = true;
      }
      ::PostMessageW(box, WM_COMMAND, IDOK, 0);
      return seen;
    }
    ::Sleep(50);
  }
  return seen;
}

TEST(AppMessages, FailedDeleteTellsTheUserInTheToolsBox) {
  zt::WriteAutoRunValue("", false, nullptr);  // make sure the value is missing
  SeenBox seen;
  std::thread watcher([&] { seen = AnswerMessageBox(); });
  zt::SetAutoRun("", false);  // deleting a missing value fails
  watcher.join();
  EXPECT_EQ(seen.text, zt::Widen("设置失败！"));
  const std::string exe = zt::GetModulePath();
  EXPECT_EQ(seen.caption, zt::PathFromUtf8(exe).stem().wstring());  // the exe's name, no extension
  EXPECT_FALSE(seen.caption.empty());
  EXPECT_TRUE(seen.exclamation);
}

struct SavedValue {
  std::wstring name;
  DWORD type;
  std::vector<BYTE> data;
};

// The Run key's values, so the key can be removed and put back as it was.
std::vector<SavedValue> SaveRunKey() {
  std::vector<SavedValue> values;
  HKEY raw = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, zt::Widen(zt::kRunKeyPath).c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS)
    return values;
  zt::UniqueHKey key(raw);
  for (DWORD i = 0;; ++i) {
    wchar_t name[16384];
    DWORD nameLength = 16384, type = 0, bytes = 0;
    if (::RegEnumValueW(key.get(), i, name, &nameLength, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) break;
    SavedValue v{std::wstring(name, nameLength), type, std::vector<BYTE>(bytes)};
    nameLength = 16384;
    ::RegEnumValueW(key.get(), i, name, &nameLength, nullptr, &type, v.data.data(), &bytes);
    values.push_back(std::move(v));
  }
  return values;
}

// With the Run key gone it cannot be opened for writing: the user is told to run as administrator
// and nothing is written.
TEST(AppMessages, KeyThatCannotBeOpenedAsksForAdministrator) {
  const std::wstring path = zt::Widen(zt::kRunKeyPath);
  const std::vector<SavedValue> saved = SaveRunKey();
  ASSERT_EQ(::RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.substr(0, path.size() - 1).c_str()), ERROR_SUCCESS);

  SeenBox seen;
  std::thread watcher([&] { seen = AnswerMessageBox(); });
  zt::SetAutoRun(zt::BuildAutoRunCommand(zt::GetModulePath()), true);
  watcher.join();
  const bool stillEnabled = zt::IsAutoRunEnabled();

  HKEY raw = nullptr;
  ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw, nullptr),
            ERROR_SUCCESS);
  zt::UniqueHKey key(raw);
  for (const auto& v : saved) {
    ::RegSetValueExW(key.get(), v.name.c_str(), 0, v.type, v.data.data(), static_cast<DWORD>(v.data.size()));
  }

  EXPECT_EQ(seen.text, zt::Widen("无法设置，可能是权限不够，请退出并以管理员身份重新运行本程序！"));
  EXPECT_TRUE(seen.exclamation);
  EXPECT_FALSE(stillEnabled);
  EXPECT_EQ(SaveRunKey().size(), saved.size());
}

TEST(AppDescriptorFiles, ReadsUnderWindowsSharingAndChineseFolders) {
  const fs::path dir = fs::temp_directory_path() / L"zt 版本 描述";
  std::error_code ec;
  fs::create_directories(dir, ec);
  const fs::path file = dir / L"version.txt";
  {
    std::ofstream out(file, std::ios::binary);
    out << "data_version=2001\r\ndata_time=2026-11-30\r\ndata_desc=\xBB\xAA\xC4\xCF\r\n";  // 华南 in GBK
  }
  zt::DescriptorState state;
  EXPECT_TRUE(state.LoadLocalVersion(dir));
  EXPECT_EQ(state.Local().dataDesc, "\xBB\xAA\xC4\xCF");
  EXPECT_EQ(zt::GbkToUtf8(state.Local().dataDesc), "华南");

  {
    // A writer that lets others read (a download in progress) does not stop the reader.
    zt::UniqueKernelHandle writer(::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer);
    auto text = zt::ReadDescriptorFile(file);
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(zt::GetKeyValue(*text, "data_version"), "2001");
  }
  {
    // A file locked against everyone cannot be opened: no text, nothing thrown.
    zt::UniqueKernelHandle locker(
        ::CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(locker);
    EXPECT_FALSE(zt::ReadDescriptorFile(file).has_value());
    state.SetServerText("earlier");
    EXPECT_FALSE(state.TakeDownloadedServerText(true, file));
    EXPECT_EQ(state.ServerText(), "earlier");
  }
  fs::remove_all(dir, ec);
}

}  // namespace
