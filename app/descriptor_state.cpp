#include "app/descriptor_state.h"

#include "app/descriptor.h"
#include "app/paths.h"

namespace zt {

std::string DescriptorState::ServerText() const {
  std::lock_guard lock(mutex_);
  return serverText_;
}

void DescriptorState::SetServerText(std::string text) {
  std::lock_guard lock(mutex_);
  serverText_ = std::move(text);
}

bool DescriptorState::ClearServerTextIf(const std::string& expected) {
  std::lock_guard lock(mutex_);
  // A newer fetch may have replaced the text since the worker read it: leave that one alone.
  if (serverText_ != expected) return false;
  serverText_.clear();
  return true;
}

LocalDescriptor DescriptorState::Local() const {
  std::lock_guard lock(mutex_);
  return local_;
}

std::string DescriptorState::DataVersion() const {
  std::lock_guard lock(mutex_);
  return local_.dataVersion;
}

bool DescriptorState::LoadLocalVersion(const std::filesystem::path& folder) {
  // The file is read outside the lock; the four values change together under it.
  LocalDescriptor fresh;
  if (auto text = ReadDescriptorFile(folder / kDescriptorName)) {
    fresh.text = std::move(*text);
    fresh.dataVersion = GetKeyValue(fresh.text, "data_version");
    fresh.dataTime = GetKeyValue(fresh.text, "data_time");
    fresh.dataDesc = GetKeyValue(fresh.text, "data_desc");
  }
  const bool complete = !fresh.dataVersion.empty() && !fresh.dataTime.empty();
  std::lock_guard lock(mutex_);
  local_ = std::move(fresh);
  return complete;
}

bool DescriptorState::TakeDownloadedServerText(bool downloaded, const std::filesystem::path& file) {
  if (!downloaded) {
    std::lock_guard lock(mutex_);
    serverText_.clear();
    return false;
  }
  auto text = ReadDescriptorFile(file);
  if (!text) return false;  // the earlier text stays
  const bool nonEmpty = !text->empty();
  std::lock_guard lock(mutex_);
  serverText_ = std::move(*text);
  return nonEmpty;
}

}  // namespace zt
