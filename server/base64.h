// Base64 encoding with the standard alphabet ("+" and "/") and "=" padding, as
// the WebSocket handshake key needs it.
#pragma once

#include <string>
#include <string_view>

namespace server {

// The Base64 text of `bytes`: 4 characters for every 3 bytes or part of them.
std::string base64_encode(std::string_view bytes);

}  // namespace server
