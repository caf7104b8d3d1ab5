// The tool's threads besides the window's: each is started, runs once and is never joined; it
// reports only by posting to the main window. One way to start one, so that none can end the
// process by an exception that escapes it.
#pragma once
#include <functional>
#include <string_view>

namespace zt {

// Runs `body` on a thread of its own, never joined. An exception that escapes it is caught and
// logged under `name`. False (and logged) when no thread could be started.
bool StartDetached(std::string_view name, std::function<void()> body);

}  // namespace zt
