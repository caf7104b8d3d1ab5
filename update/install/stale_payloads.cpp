#include "update/install/stale_payloads.h"

#include <algorithm>
#include <system_error>

#include "base/descriptor.h"
#include "base/fsutil.h"
#include "base/paths.h"
#include "update/install/offer.h"
#include "update/install/procedures.h"
#include "update/trust/pe_image.h"

namespace zt {
namespace {

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

bool EndsWithName(std::string_view leaf, std::string_view suffix) {
  return leaf.size() > suffix.size() && SameName(leaf.substr(leaf.size() - suffix.size()), suffix);
}

}  // namespace

std::vector<std::string> OfferedFiles(std::string_view text) {
  std::vector<std::string> names;
  // The package and the executable of either processor: the same keys the offers are read with.
  for (const OfferKeys& keys : {DataOfferKeys(), UpdaterOfferKeys(kMachineX86), UpdaterOfferKeys(kMachineX64)}) {
    std::string name = GetKeyValue(text, keys.file);
    if (!name.empty()) names.push_back(std::move(name));
  }
  return names;
}

bool IsStalePayload(std::string_view leaf, bool executable, const std::vector<std::string>& kept) {
  const auto isKept = [&](std::string_view name) {
    return std::any_of(kept.begin(), kept.end(), [&](const std::string& k) { return SameName(k, name); });
  };
  // The record's suffix ends in the part's: it is asked first.
  for (const std::string_view suffix : {std::string_view(kResumeRecordSuffix), std::string_view(kResumePartSuffix)}) {
    if (EndsWithName(leaf, suffix)) return !isKept(leaf.substr(0, leaf.size() - suffix.size()));
  }
  if (EndsWithName(leaf, kTempSuffix)) return false;
  return executable && !isKept(leaf);
}

int RemoveStalePayloads(const std::filesystem::path& folder, const std::vector<std::string>& kept) {
  int removed = 0;
  std::error_code ec;
  std::filesystem::directory_iterator it(folder, ec);
  if (ec) return 0;
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    std::error_code fe;
    // A link is nobody's payload: what it leads to is never looked at, let alone removed.
    if (it->is_symlink(fe) || !it->is_regular_file(fe) || fe) continue;
    const std::string leaf = PathToUtf8(it->path().filename());
    if (!IsStalePayload(leaf, LooksLikeExecutable(it->path()), kept)) continue;
    if (std::filesystem::remove(it->path(), fe) && !fe) ++removed;
  }
  return removed;
}

}  // namespace zt
