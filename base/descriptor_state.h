// The descriptor strings shared by the window's thread and the worker threads, behind one lock.
// Readers get copies; a worker empties the server text only if it is still the text it read. The
// worker that fetched the server's descriptor stores it here once it has judged it.
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

// How the last reading of the installed version.txt went.
enum class LocalRead {
  Loaded,      // read (complete or not)
  Missing,     // there is no such file
  Unreadable,  // there is one, and it could not be read (or was too large)
};

class DescriptorState {
 public:
  std::string ServerText() const;
  DescriptorCopy Server() const;
  // The server descriptor from its bytes as stored.
  void SetServerBytes(std::string raw);
  void SetServerText(std::string text) { SetServerBytes(std::move(text)); }
  // The server could not be reached, or what it served may not be used.
  void ClearServer();
  // Empties the server text when it still equals `expected`; true when it did.
  bool ClearServerTextIf(const std::string& expected);

  LocalDescriptor Local() const;
  std::string DataVersion() const;

  // Reads folder/version.txt into the local text and its three values (all emptied when the file
  // cannot be read). True when data_version and data_time are both non-empty.
  bool LoadLocalVersion(const std::filesystem::path& folder);
  LocalRead LastLocalRead() const;

 private:
  mutable std::mutex m_mutex;
  DescriptorCopy m_server;
  LocalDescriptor m_local;
  LocalRead m_localRead = LocalRead::Missing;
};

// The process's one: the descriptor strings of the running tool.
DescriptorState& TheDescriptorState();
// Reads C:\ZT_Update\version.txt into it (DescriptorState::LoadLocalVersion).
bool LoadInstalledDescriptor();

}  // namespace zt
