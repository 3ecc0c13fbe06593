// The server process driver: what does not depend on how the process is
// started and its pipes are read (server_process_posix.cpp,
// server_process_windows.cpp).
#include "tests/support/server_process.h"

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>

namespace {

long long now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

EnvList isolated_env(const std::string& root, const EnvList& extra) {
  EnvList env = base_env(root);
  for (const auto& e : extra) {
    auto same = std::find_if(env.begin(), env.end(), [&](const auto& d) { return d.first == e.first; });
    if (same != env.end()) {
      same->second = e.second;
    } else {
      env.push_back(e);
    }
  }
  return env;
}

std::string ServerProcess::read_line(int timeout_ms) {
  const long long deadline = now_ms() + timeout_ms;
  while (true) {
    const auto lf = out_buffer_.find('\n');
    if (lf != std::string::npos) {
      std::string line = out_buffer_.substr(0, lf);
      out_buffer_.erase(0, lf + 1);
      return line;
    }
    const long long left = deadline - now_ms();
    if (left <= 0) {
      ADD_FAILURE() << "no response line within " << timeout_ms << " ms";
      return "<timeout>";
    }
    if (!fill(static_cast<int>(left))) {
      ADD_FAILURE() << "standard output closed before a full line";
      return "<eof>";
    }
  }
}

std::string ServerProcess::request(const nlohmann::json& message) {
  send_line(message.dump());
  return read_line();
}

nlohmann::json ServerProcess::call_tool(const std::string& name, const nlohmann::json& arguments) {
  const int id = next_id_++;
  nlohmann::json message = {{"jsonrpc", "2.0"},
                            {"id", id},
                            {"method", "tools/call"},
                            {"params", {{"name", name}, {"arguments", arguments}}}};
  const std::string line = request(message);
  nlohmann::json response = nlohmann::json::parse(line, nullptr, false);
  if (response.is_discarded() || !response.contains("result")) {
    ADD_FAILURE() << "unexpected response: " << line;
    return nlohmann::json::object();
  }
  EXPECT_EQ(response["id"], id);
  return response["result"];
}

std::string ServerProcess::result_text(const nlohmann::json& result) {
  if (!result.contains("content") || !result["content"].is_array() || result["content"].size() != 1) {
    ADD_FAILURE() << "not a text result: " << result.dump();
    return "";
  }
  return result["content"][0].value("text", "");
}

std::string ServerProcess::ok_text(const nlohmann::json& result) {
  EXPECT_FALSE(result.contains("isError")) << result.dump();
  return result_text(result);
}

std::string ServerProcess::error_text(const nlohmann::json& result) {
  EXPECT_EQ(result.value("isError", false), true) << result.dump();
  return result_text(result);
}

