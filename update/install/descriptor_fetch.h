// The server's descriptor, fetched and judged by the worker that fetched it: an accepted one
// becomes the shared server text (and this user's sequence floor rises); a refused one is used by
// nothing, its file goes, the main window's information text says why in a few words, and the
// history keeps one line per refused publication. The window's thread only hears "done".
// Portable: the download through Downloader, the checks through UpdateTrust.
#pragma once
#include <filesystem>
#include <functional>
#include <string>

#include "base/descriptor_state.h"
#include "base/history.h"
#include "base/user_state.h"
#include "update/install/procedures.h"
#include "update/trust/trust.h"

namespace zt {

struct DescriptorFetch {
  DescriptorState& descriptor;
  Downloader& downloader;
  UpdateTrust& trust;
  UserState& user;
  std::filesystem::path folder;  // where the downloader stores version.txt
  // Keeps a refused publication (the history and the vendor's report); empty: none kept.
  std::function<void(const Outcome&)> record = {};
  // A descriptor value (GBK bytes) as UTF-8.
  std::function<std::string(std::string_view)> shown = [](std::string_view v) { return std::string(v); };
};

enum class FetchResult {
  Accepted,    // the server text is the fetched descriptor
  NotFetched,  // no answer, or nothing readable: the server text is empty (or, for a file that
               // could not be read back, the earlier one stays)
  Refused,     // fetched, and refused: the server text is empty
};

FetchResult FetchServerDescriptor(DescriptorFetch& f);

// The report's short code for a refused descriptor, from the trust's reason: not-signed,
// bad-signature, below-floor, old-key (an earlier key than one accepted
// before) or unreadable.
std::string RefusalCause(std::string_view reason);
// The information text's words for that code.
std::string RefusalNotice(std::string_view cause);

}  // namespace zt
