#pragma once

// Bringing the client back before listening starts again. Listening fails
// while the account is logged out or the client is not running; restarting
// it alone would only fail again. The host therefore first uses the system's
// re-login (which confirms the logout notice and enters the client again)
// and, when the client shows its login window instead (a client started
// afresh), presses that window's "进入微信" or "登录" button.
//
// REQUIRES: no listening thread runs: nothing else may drive the client
// meanwhile.

#include <string>

namespace orvanta::host {

// Returns what was done, for the log.
std::string recover_client();

}  // namespace orvanta::host
