// The program's own version, from res/version.h.
#include "base/paths.h"
#include "res/version.h"

namespace zt {

const char kAppVersion[] = ZT_VERSION_TEXT;

}  // namespace zt
