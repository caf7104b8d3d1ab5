// The descriptor strings shared by the window's thread and the worker threads, behind one lock.
// Readers get copies; a worker empties the server text only if it is still the text it read.
#pragma once
#include <filesystem>
#include <functional>
#include <optional>
#include <mutex>
#include <string>
#include <string_view>

namespace zt {

// A descriptor as the workers take it: the text for key lookups, and the bytes as served (what is
// signed, and what gets installed).
struct DescriptorCopy {
  std::string text;
  std::string raw;
};

struct LocalDescriptor {
  std::string text;         // whole text of the installed version.txt
  std::string raw;          // its bytes as stored
  std::string dataVersion;  // data_version
  std::string dataTime;     // data_time
  std::string dataDesc;     // data_desc
};

class DescriptorState {
 public:
  std::string ServerText() const;
  DescriptorCopy Server() const;
  // The server descriptor from its bytes as stored.
  void SetServerBytes(std::string raw);
  void SetServerText(std::string text) { SetServerBytes(std::move(text)); }
  // Empties the server text when it still equals `expected`; true when it did.
  bool ClearServerTextIf(const std::string& expected);

  LocalDescriptor Local() const;
  std::string DataVersion() const;

  // Reads folder/version.txt into the local text and its three values (all emptied when the file
  // cannot be read). True when data_version and data_time are both non-empty.
  bool LoadLocalVersion(const std::filesystem::path& folder);

  // Why a fetched descriptor (its bytes) may not be used, given the installed one's bytes; nullopt
  // when it may.
  using FetchCheck = std::function<std::optional<std::string>(std::string_view fetched, std::string_view installed)>;
  // After a download attempt of the server descriptor into `file`: a failed download empties the
  // server text; a stored file that cannot be read leaves it; a file that `check` refuses empties it
  // (its reason in *refusal); otherwise it becomes the file's text. True when the server text is
  // now non-empty and came from this file.
  bool TakeDownloadedServerText(bool downloaded, const std::filesystem::path& file, const FetchCheck& check = {},
                                std::string* refusal = nullptr);

 private:
  mutable std::mutex m_mutex;
  DescriptorCopy m_server;
  LocalDescriptor m_local;
};

// The process's one: the descriptor strings of the running tool.
DescriptorState& TheDescriptorState();
// Reads C:\ZT_Update\version.txt into it (DescriptorState::LoadLocalVersion).
bool LoadInstalledDescriptor();

}  // namespace zt
