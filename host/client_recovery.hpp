#pragma once

// Bringing the client back before listening starts again. Listening fails
// while the account is logged out or the client is not running; restarting
// it alone would only fail again. The host therefore first uses the system's
// re-login (which confirms the logout notice and enters the client again)
// and, when the main window is still missing (a client started afresh shows
// its login window; and the system's re-login takes the first window whose
// name contains "微信", which may be another program's), confirms the notice
// and presses "进入微信" or "登录" in the window named "微信" itself.
//
// REQUIRES: no listening thread runs: nothing else may drive the client
// meanwhile.

#include <string>

namespace orvanta::host {

// Returns what was done, for the log.
std::string recover_client();

// Whether the client's main window is shown (false when that cannot be told).
bool client_online();

}  // namespace orvanta::host
