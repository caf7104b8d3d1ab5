#include "update/install/shared_folder.h"

#include <algorithm>

#include "base/history.h"
#include "base/notice.h"

namespace zt {
namespace {

// A path as compared: without the "\\?\" that the system puts before a path it gives, and
// without trailing separators.
std::string_view Bare(std::string_view path) {
  if (path.starts_with("\\\\?\\")) path.remove_prefix(4);
  while (!path.empty() && (path.back() == '\\' || path.back() == '/')) path.remove_suffix(1);
  return path;
}

char Folded(char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<char>(c - 'A' + 'a');
  return c == '/' ? '\\' : c;
}

bool SamePath(std::string_view a, std::string_view b) {
  a = Bare(a);
  b = Bare(b);
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Folded(a[i]) != Folded(b[i])) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> HeldFolderProblem(std::string_view named, std::string_view held, bool directory,
                                             bool reparsePoint) {
  const std::string shown(Bare(named));
  if (reparsePoint) return shown + " is a link (junction or symbolic link): nothing is written through it";
  if (!directory) return shown + " is not a folder";
  if (!SamePath(named, held))
    return shown + " leads to " + std::string(Bare(held)) + " (a link on the way): nothing is written through it";
  return std::nullopt;
}

namespace {

// A DACL in SDDL without the flags that only say how it was inherited ("AI", "AR"): a folder
// created with the tool's permissions may read back with them.
std::string WithoutInheritanceFlags(std::string_view dacl) {
  const std::size_t aces = std::min(dacl.find('('), dacl.size());
  std::string flags(dacl.substr(0, aces));
  for (const std::string_view flag : {"AI", "AR"}) {
    for (std::size_t at = flags.find(flag); at != std::string::npos; at = flags.find(flag)) flags.erase(at, 2);
  }
  return flags + std::string(dacl.substr(aces));
}

}  // namespace

bool PermissionsToApply(std::string_view owner, std::string_view self, std::string_view current,
                        std::string_view wanted) {
  return !self.empty() && owner == self && WithoutInheritanceFlags(current) != WithoutInheritanceFlags(wanted);
}

bool LockRefusals::Refused() {
  std::lock_guard lock(m_mutex);
  if (++m_inARow != kLockRefusalsToTell) return false;
  SetInfoNotice(kLockHeldNotice);
  RecordOutcome({kWhatData, kResultRefused, {}, {}, {}, "lock-held", kLockHeldWords});
  return true;
}

void LockRefusals::Taken() {
  std::lock_guard lock(m_mutex);
  if (m_inARow >= kLockRefusalsToTell && InfoNotice() == kLockHeldNotice) ClearInfoNotice();
  m_inARow = 0;
}

int LockRefusals::InARow() const {
  std::lock_guard lock(m_mutex);
  return m_inARow;
}

}  // namespace zt
