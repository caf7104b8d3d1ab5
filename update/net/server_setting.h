// The update server this build talks to (UpdateServerAddress, in update/net/server_setting_win.cpp).
#pragma once
#include "update/net/server_address.h"

namespace zt {

// The server compiled in (CMake's ZT_UPDATE_SERVER). A build made with ZT_SERVER_FROM_ENVIRONMENT
// (test and development builds) takes ZT_UPDATE_SERVER from the environment instead when it is set
// and well formed; a release build never does.
ServerAddress UpdateServerAddress();

// Wine calls every connection free: a build made with ZT_SERVER_FROM_ENVIRONMENT takes
// ZT_NETWORK_METERED=1 from the environment as a metered connection. A release build never does.
bool MeteredByEnvironment();

}  // namespace zt
