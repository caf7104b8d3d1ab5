// The vendor learns whether a release works: after each outcome the history keeps, one anonymous
// GET of /autoupdate/report?... that any static server answers (publish writes an empty "report")
// and logs. It carries the tool's version and processor, what happened, the versions and zt_seq
// involved and a short cause: never a device id, a user or machine name, or anything of the PC
// beyond the connection itself. Portable: the request's path.
#pragma once
#include <string>
#include <string_view>

#include "base/history.h"

namespace zt {

inline constexpr char kReportName[] = "report";

// "/autoupdate/report?tool=2.7&cpu=x64&what=data&result=failed&version=2002&from=2001&seq=7&cause=not-taken"
// (every value percent-encoded but letters, digits and "-._~"; empty values stay empty).
std::string ReportPath(const Outcome& outcome, std::string_view toolVersion, std::string_view processor);

}  // namespace zt
