// JSON-RPC framing, parsing and the MCP methods.
#include "server/protocol.h"

#include <cstring>
#include <exception>

#include "server/json_text.h"
#include "server/tool_service.h"
#include "server/tools.h"
#include "vault_core/platform/std_streams.h"
#include "vault_core/unicode/unicode.h"

namespace server {

namespace {

constexpr const char* kDefaultProtocolVersion = "2024-11-05";
constexpr const char* kServerName = "tarnel-mcp-server";
constexpr const char* kServerVersion = TARNEL_VERSION;  // the project's version, from the build

// The two JSON-RPC errors the server sends.
constexpr int kParseError = -32700;
constexpr int kMethodNotFound = -32601;

Json envelope(const Json& id) {
  Json response = Json::object();
  response["id"] = id;
  response["jsonrpc"] = "2.0";
  return response;
}

Json error_response(const Json& id, int code, std::string message) {
  Json response = envelope(id);
  response["error"] = Json{{"code", code}, {"message", std::move(message)}};
  return response;
}

Json initialize_result(const Json& params) {
  std::string version = kDefaultProtocolVersion;
  if (params.is_object()) {
    auto it = params.find("protocolVersion");
    if (it != params.end() && it->is_string() && !it->get_ref<const std::string&>().empty()) {
      version = it->get<std::string>();
    }
  }
  Json result = Json::object();
  result["capabilities"] = Json{{"tools", Json::object()}};
  result["protocolVersion"] = std::move(version);
  result["serverInfo"] = Json{{"name", kServerName}, {"version", kServerVersion}};
  return result;
}

Json call_result(ToolService& service, const Json& params) {
  std::string name;
  Json arguments = Json::object();
  if (params.is_object()) {
    auto n = params.find("name");
    if (n != params.end() && n->is_string()) name = n->get<std::string>();
    auto a = params.find("arguments");
    if (a != params.end()) arguments = *a;
  }
  ToolOutcome outcome;
  try {
    outcome = dispatch(service, name, arguments);
  } catch (const std::exception& e) {
    // Last-resort guard: a tool must never take the server down.
    outcome = std::unexpected(std::string("Internal error: ") + e.what());
  }
  if (outcome) return std::move(*outcome);
  Json result = text_result("Error: " + outcome.error());
  result["isError"] = true;
  return result;
}

}  // namespace

LineOutcome handle_line(ToolService& service, std::string_view line) {
  const std::string_view text = unicode::trim(line);
  if (text.empty()) return {};

  // The JSON parser takes a NUL byte for the end of its input and would
  // accept a valid request followed by a NUL and anything at all.
  const bool unreadable = text.find('\0') != std::string_view::npos || json_nesting_too_deep(text);
  Json request = unreadable ? Json(Json::value_t::discarded) : Json::parse(text, nullptr, false);
  if (request.is_discarded()) {
    return {compact_json(error_response(nullptr, kParseError, "Parse error")), true};
  }
  if (!request.is_object()) return {};

  Json id;  // null: a notification
  if (auto it = request.find("id"); it != request.end()) id = std::move(*it);
  std::string method;
  if (auto it = request.find("method"); it != request.end() && it->is_string()) method = it->get<std::string>();
  Json params = Json::object();
  if (auto it = request.find("params"); it != request.end()) params = std::move(*it);

  Json result;
  bool known = true;
  if (method == "ping") {
    result = Json::object();
  } else if (method == "initialize") {
    result = initialize_result(params);
  } else if (method == "initialized" || method == "notifications/initialized") {
    result = nullptr;
  } else if (method == "tools/list") {
    result = Json{{"tools", tool_catalogue()}};
  } else if (method == "tools/call") {
    result = call_result(service, params);
  } else {
    known = false;
  }

  if (id.is_null()) return {};
  if (!known) return {compact_json(error_response(id, kMethodNotFound, "Method not found: " + method)), false};
  Json response = envelope(id);
  response["result"] = std::move(result);
  return {compact_json(response), false};
}

int serve(ToolService& service) {
  std::string buffer;       // unread input; lines start at `line_start`
  std::size_t line_start = 0;
  std::size_t scanned = 0;  // bytes after line_start already searched for a line feed
  bool at_end = false;
  constexpr std::size_t kChunk = std::size_t{64} * 1024;

  while (true) {
    const char* base = buffer.data() + line_start;
    const std::size_t available = buffer.size() - line_start;
    const void* lf = available > scanned ? std::memchr(base + scanned, '\n', available - scanned) : nullptr;
    std::string_view line;
    std::size_t consumed = 0;
    if (lf != nullptr) {
      const std::size_t len = static_cast<const char*>(lf) - base;
      line = std::string_view(base, len);
      consumed = len + 1;
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    } else if (at_end) {
      if (available == 0) return 0;
      line = std::string_view(base, available);  // a last line without a line feed, used unchanged
      consumed = available;
    } else {
      scanned = available;
      if (line_start > 0 && line_start >= buffer.size() / 2) {
        buffer.erase(0, line_start);
        line_start = 0;
      }
      // The room for the next chunk is not zero-filled: most reads bring one
      // short line.
      const std::size_t old_size = buffer.size();
      platform::Result<std::size_t> n;
      buffer.resize_and_overwrite(old_size + kChunk, [&](char* data, std::size_t) {
        n = platform::read_standard_input(data + old_size, kChunk);
        return old_size + (n ? *n : 0);
      });
      if (!n) return 1;
      if (*n == 0) at_end = true;
      continue;
    }

    // Validate the raw line, line break included, before anything is answered.
    if (!unicode::is_valid_utf8(std::string_view(base, consumed))) return 1;
    LineOutcome outcome = handle_line(service, line);
    line_start += consumed;
    scanned = 0;
    if (line_start == buffer.size()) {
      buffer.clear();
      line_start = 0;
    }
    if (outcome.response) {
      outcome.response->push_back('\n');
      auto written = platform::write_standard_output(*outcome.response);
      if (!written && !outcome.parse_error) return 1;
    }
  }
}

}  // namespace server
