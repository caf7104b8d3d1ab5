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
#include "win/process.h"
#include "ui/autorun_win.h"
#include "base/descriptor.h"
#include "base/descriptor_state.h"
#include "base/fsutil.h"
#include "base/paths.h"
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
  zt::ChangeAutoRun("", false);  // make sure the value is missing
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

// An account without rights to the machine-wide key, which still holds the value: the user is told
// that administrator rights are needed (the box then stays ticked).
LSTATUS WINAPI RefuseWrites(HKEY root, LPCWSTR path, DWORD options, REGSAM access, PHKEY key) {
  if (access & KEY_SET_VALUE) return ERROR_ACCESS_DENIED;
  return ::RegOpenKeyExW(root, path, options, access, key);
}

TEST(AppMessages, MachineValueThatCannotBeRemovedAsksForAdministrator) {
  zt::RunPlaces places = zt::DefaultRunPlaces();
  ASSERT_EQ(zt::ChangeAutoRun("x", true, places), zt::AutoRunMessage::None);  // the machine-wide value
  places.machine.open = &RefuseWrites;

  SeenBox seen;
  std::thread watcher([&] { seen = AnswerMessageBox(); });
  zt::SetAutoRun("x", false, places);
  watcher.join();
  const bool stillEnabled = zt::IsAutoRunEnabled(places);
  zt::ChangeAutoRun("", false);

  EXPECT_EQ(seen.text, zt::Widen("无法设置，可能是权限不够，请退出并以管理员身份重新运行本程序！"));
  EXPECT_TRUE(seen.exclamation);
  EXPECT_TRUE(stillEnabled);
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
  }
  fs::remove_all(dir, ec);
}

}  // namespace
