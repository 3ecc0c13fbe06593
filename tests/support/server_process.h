// Drives the real server binary over pipes, as an MCP client does: a chosen
// environment, bytes in, lines out, the exit code and everything written to
// standard error.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using EnvList = std::vector<std::pair<std::string, std::string>>;

// An environment that keeps the test away from the real home folder: HOME and
// XDG_CONFIG_HOME under `root`, PATH from the test process, and WS_UI_PORT on
// a port where nothing listens (on Windows also the system's own variables
// that every process needs). An entry of `extra` replaces the default of the
// same name; the others are appended in order.
EnvList isolated_env(const std::string& root, const EnvList& extra = {});

// The defaults of isolated_env for this platform.
EnvList base_env(const std::string& root);

class ServerProcess {
 public:
  explicit ServerProcess(const EnvList& env, const std::vector<std::string>& args = {});
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Writes raw bytes to the server's standard input.
  void send(std::string_view bytes);
  // Writes `line` and a line feed.
  void send_line(std::string_view line) { send(std::string(line) + "\n"); }
  // The next line of standard output without its line feed; fails the test
  // and returns "<timeout>" or "<eof>" when none arrives in time.
  std::string read_line(int timeout_ms = 10000);
  // True when nothing arrives on standard output within `ms`.
  bool silent_for(int ms);
  // Sends one request and returns the response line.
  std::string request(const nlohmann::json& message);
  // Calls a tool and returns the parsed result object.
  nlohmann::json call_tool(const std::string& name, const nlohmann::json& arguments);
  // The text of a tool result's single content block.
  static std::string result_text(const nlohmann::json& result);
  // The text of a successful result (fails the test when it is flagged isError).
  static std::string ok_text(const nlohmann::json& result);
  // The text of a failed result (fails the test unless it is flagged isError).
  static std::string error_text(const nlohmann::json& result);

  // Closes standard input, waits for the process, and returns its exit code
  // (128 + signal number when killed).
  int finish(int timeout_ms = 10000);
  // Everything the server wrote to standard error (after finish()).
  const std::string& stderr_text() const { return stderr_; }
  // Closes the reading end of the server's standard output.
  void close_stdout();
  int pid() const { return pid_; }

 private:
  // Reads what standard output has for us within `ms` into out_buffer_;
  // false at its end (or on a failure).
  bool fill(int ms);

  int pid_ = -1;
#ifdef _WIN32
  void* process_ = nullptr;  // the handles of the process and of our ends of its pipes
  void* in_ = nullptr;
  void* out_ = nullptr;
  void* err_ = nullptr;
#else
  int in_ = -1, out_ = -1, err_ = -1;
#endif
  std::string out_buffer_;
  std::string stderr_;
  int next_id_ = 1;
  bool finished_ = false;
  int exit_code_ = -1;
};
