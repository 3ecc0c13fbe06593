// The MCP wire layer: JSON-RPC 2.0 over standard input and output, one
// compact JSON message per line, answering initialize, ping, tools/list and
// tools/call, one request at a time.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "server/server_state.h"

namespace server {

// What one input line produces.
struct LineOutcome {
  std::optional<std::string> response;  // the response line without its line feed
  bool parse_error = false;             // the response is the parse error response
};

// Handles one line that is valid UTF-8 and has its line break removed.
// Notifications and non-object values produce no response; a line that is
// not one JSON value, nests deeper than 127 levels or holds a NUL byte gets
// the parse error response.
LineOutcome handle_line(ToolService& service, std::string_view line);

// Reads requests from standard input and writes responses to standard output
// until input ends (returns 0) or a read, UTF-8 check or response write fails
// (returns 1).
int serve(ToolService& service);

}  // namespace server
