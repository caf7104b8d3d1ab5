#include "base/descriptor_state.h"

#include "base/descriptor.h"
#include "base/fsutil.h"
#include "base/paths.h"

namespace zt {

std::string DescriptorState::ServerText() const {
  std::lock_guard lock(m_mutex);
  return m_server.text;
}

DescriptorCopy DescriptorState::Server() const {
  std::lock_guard lock(m_mutex);
  return m_server;
}

void DescriptorState::SetServerBytes(std::string raw) {
  DescriptorCopy fresh{DecodeDescriptorBytes(raw), std::move(raw)};
  std::lock_guard lock(m_mutex);
  m_server = std::move(fresh);
}

void DescriptorState::ClearServer() {
  std::lock_guard lock(m_mutex);
  m_server = {};
}

bool DescriptorState::ClearServerTextIf(const std::string& expected) {
  std::lock_guard lock(m_mutex);
  // A newer fetch may have replaced the text since the worker read it: leave that one alone.
  if (m_server.text != expected) return false;
  m_server = {};
  return true;
}

LocalDescriptor DescriptorState::Local() const {
  std::lock_guard lock(m_mutex);
  return m_local;
}

std::string DescriptorState::DataVersion() const {
  std::lock_guard lock(m_mutex);
  return m_local.dataVersion;
}

bool DescriptorState::LoadLocalVersion(const std::filesystem::path& folder) {
  // The file is read outside the lock; the four values change together under it.
  LocalDescriptor fresh;
  const std::filesystem::path file = folder / kDescriptorName;
  LocalRead read = LocalRead::Loaded;
  if (auto raw = ReadDescriptorBytes(file)) {
    fresh.text = DecodeDescriptorBytes(*raw);
    fresh.raw = std::move(*raw);
    fresh.dataVersion = GetKeyValue(fresh.text, "data_version");
    fresh.dataTime = GetKeyValue(fresh.text, "data_time");
    fresh.dataDesc = GetKeyValue(fresh.text, "data_desc");
  } else {
    std::error_code ec;
    const auto status = std::filesystem::status(file, ec);
    read = status.type() == std::filesystem::file_type::not_found ? LocalRead::Missing : LocalRead::Unreadable;
  }
  const bool complete = !fresh.dataVersion.empty() && !fresh.dataTime.empty();
  std::lock_guard lock(m_mutex);
  m_local = std::move(fresh);
  m_localRead = read;
  return complete;
}

LocalRead DescriptorState::LastLocalRead() const {
  std::lock_guard lock(m_mutex);
  return m_localRead;
}

DescriptorState& TheDescriptorState() {
  static DescriptorState state;
  return state;
}

bool LoadInstalledDescriptor() { return TheDescriptorState().LoadLocalVersion(SharedRoot()); }

}  // namespace zt
