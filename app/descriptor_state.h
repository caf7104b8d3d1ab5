// The descriptor strings shared by the window's thread and the worker threads, behind one lock.
// Readers get copies; a worker empties the server text only if it is still the text it read.
#pragma once
#include <filesystem>
#include <mutex>
#include <string>

namespace zt {

struct LocalDescriptor {
  std::string text;         // whole text of the installed version.txt
  std::string dataVersion;  // data_version
  std::string dataTime;     // data_time
  std::string dataDesc;     // data_desc
};

class DescriptorState {
 public:
  std::string ServerText() const;
  void SetServerText(std::string text);
  // Empties the server text when it still equals `expected`; true when it did.
  bool ClearServerTextIf(const std::string& expected);

  LocalDescriptor Local() const;
  std::string DataVersion() const;

  // Reads folder/version.txt into the local text and its three values (all emptied when the file
  // cannot be read). True when data_version and data_time are both non-empty.
  bool LoadLocalVersion(const std::filesystem::path& folder);

  // After a download attempt of the server descriptor into `file`: a failed download empties the
  // server text; a stored file that cannot be read leaves it; otherwise it becomes the file's text.
  // True when the server text is now non-empty and came from this file.
  bool TakeDownloadedServerText(bool downloaded, const std::filesystem::path& file);

 private:
  mutable std::mutex mutex_;
  std::string serverText_;
  LocalDescriptor local_;
};

}  // namespace zt
