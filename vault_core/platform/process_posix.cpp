// POSIX implementation of child processes.
#include "vault_core/platform/process.h"

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace platform {

Result<ProcessOutcome> run_process(const std::string& program, const std::vector<std::string>& args,
                                   const std::vector<std::pair<std::string, std::string>>& extra_env) {
  // The environment: the current one without the names being replaced, then the extras.
  std::vector<std::string> env_strings;
  for (char** p = environ; p != nullptr && *p != nullptr; ++p) {
    const std::string_view entry(*p);
    const std::string_view name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& [key, value] : extra_env) replaced = replaced || name == key;
    if (!replaced) env_strings.emplace_back(entry);
  }
  for (const auto& [key, value] : extra_env) env_strings.push_back(key + "=" + value);
  std::vector<char*> envp;
  envp.reserve(env_strings.size() + 1);
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);

  std::vector<std::string> argv_strings{program};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(argv_strings.size() + 1);
  for (auto& s : argv_strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  int err_pipe[2];
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) return last_system_error();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);

  pid_t pid = 0;
  const int rc = ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(err_pipe[1]);
  if (rc != 0) {
    ::close(err_pipe[0]);
    return std::unexpected(system_error(rc));
  }

  ProcessOutcome outcome;
  char buffer[4096];
  while (true) {
    const ssize_t n = ::read(err_pipe[0], buffer, sizeof buffer);
    if (n > 0) {
      outcome.stderr_bytes.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(err_pipe[0]);

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return last_system_error();
  }
  if (WIFEXITED(status)) outcome.exit_code = WEXITSTATUS(status);
  return outcome;
}

}  // namespace platform
