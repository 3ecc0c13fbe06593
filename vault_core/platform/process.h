// Child processes: run a program found along PATH with extra environment
// variables, standard input and output on the null device and standard error
// captured, and wait for it to end.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vault_core/platform/error.h"

namespace platform {

struct ProcessOutcome {
  std::optional<int> exit_code;  // nothing when the process was ended by a signal
  std::string stderr_bytes;      // everything it wrote to standard error
};

// Starts `program` (searched along PATH) with `args` (argv[1..]), the current
// environment plus `extra_env` (each replacing a variable of the same name),
// the current working folder, stdin and stdout on /dev/null and stderr through
// a pipe read to its end; waits for the process without a time limit. Fails
// only when the process cannot be started.
[[nodiscard]] Result<ProcessOutcome> run_process(const std::string& program, const std::vector<std::string>& args,
                                                 const std::vector<std::pair<std::string, std::string>>& extra_env);

}  // namespace platform
