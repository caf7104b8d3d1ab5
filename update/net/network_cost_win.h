// Whether this PC's connection costs the user by the byte (a phone's hotspot, a metered Wi-Fi), as
// Windows 8 and later tell it. Windows 7 has no such word: there every connection counts as free.
#pragma once

namespace zt {

// True when the connection is metered: Windows' own updates then fetch nothing large.
bool ConnectionMetered();

}  // namespace zt
