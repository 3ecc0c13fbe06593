// Starting the server and reading its pipes on POSIX: posix_spawn, poll.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <stdexcept>

#include "tests/support/server_process.h"

namespace {

long long now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

EnvList base_env(const std::string& root) {
  EnvList env;
  const char* path = std::getenv("PATH");
  env.emplace_back("PATH", path != nullptr ? path : "/usr/bin:/bin");
  env.emplace_back("HOME", root + "/home");
  env.emplace_back("XDG_CONFIG_HOME", root + "/config");
  env.emplace_back("WS_UI_PORT", "1");
  for (const char* keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TZ"}) {
    if (const char* v = std::getenv(keep)) env.emplace_back(keep, v);
  }
  return env;
}

ServerProcess::ServerProcess(const EnvList& env, const std::vector<std::string>& args) {
  int in_pipe[2];
  int out_pipe[2];
  int err_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);

  std::vector<std::string> env_strings;
  for (const auto& [k, v] : env) env_strings.push_back(k + "=" + v);
  std::vector<char*> envp;
  envp.reserve(env_strings.size() + 1);
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string binary = TARNEL_SERVER_BINARY;
  std::vector<std::string> argv_strings{binary};
  for (const auto& a : args) argv_strings.push_back(a);
  std::vector<char*> argv;
  argv.reserve(argv_strings.size() + 1);
  for (auto& s : argv_strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  pid_t pid = 0;
  const int rc = posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (rc != 0) throw std::runtime_error("cannot start " + binary);
  pid_ = pid;
  in_ = in_pipe[1];
  out_ = out_pipe[0];
  err_ = err_pipe[0];
  ::signal(SIGPIPE, SIG_IGN);
}

ServerProcess::~ServerProcess() {
  if (!finished_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  for (int fd : {in_, out_, err_}) {
    if (fd >= 0) ::close(fd);
  }
}

void ServerProcess::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(in_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // the server may have exited; the test checks that itself
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

bool ServerProcess::fill(int ms) {
  struct pollfd p{out_, POLLIN, 0};
  if (::poll(&p, 1, ms) <= 0) return true;
  char buf[65536];
  const ssize_t n = ::read(out_, buf, sizeof buf);
  if (n <= 0) return false;
  out_buffer_.append(buf, static_cast<std::size_t>(n));
  return true;
}

bool ServerProcess::silent_for(int ms) {
  if (!out_buffer_.empty()) return false;
  struct pollfd p{out_, POLLIN, 0};
  if (::poll(&p, 1, ms) <= 0) return true;
  char buf[4096];
  const ssize_t n = ::read(out_, buf, sizeof buf);
  if (n > 0) out_buffer_.append(buf, static_cast<std::size_t>(n));
  return n <= 0;
}

void ServerProcess::close_stdout() {
  if (out_ >= 0) ::close(out_);
  out_ = -1;
}

int ServerProcess::finish(int timeout_ms) {
  if (finished_) return exit_code_;
  if (in_ >= 0) {
    ::close(in_);
    in_ = -1;
  }
  const long long deadline = now_ms() + timeout_ms;
  int status = 0;
  while (true) {
    // Keep draining both pipes so a chatty child never blocks on a full pipe.
    struct pollfd p[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    ::poll(p, 2, 20);  // a closed descriptor (-1) is skipped by poll
    char buf[65536];
    if (p[0].revents & POLLIN) {
      const ssize_t n = ::read(out_, buf, sizeof buf);
      if (n > 0) out_buffer_.append(buf, static_cast<std::size_t>(n));
    }
    if (p[1].revents & POLLIN) {
      const ssize_t n = ::read(err_, buf, sizeof buf);
      if (n > 0) stderr_.append(buf, static_cast<std::size_t>(n));
    }
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) break;
    if (now_ms() > deadline) {
      ADD_FAILURE() << "server did not exit within " << timeout_ms << " ms";
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
  }
  // Collect what is left in standard error.
  char buf[65536];
  ssize_t n;
  while ((n = ::read(err_, buf, sizeof buf)) > 0) stderr_.append(buf, static_cast<std::size_t>(n));
  finished_ = true;
  exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return exit_code_;
}
