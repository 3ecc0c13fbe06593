// Standard input and output at the descriptor level: the request loop reads
// and writes through these so that every response is written in full and
// reaches the peer before the next request is read.
#pragma once

#include <cstddef>
#include <string_view>

#include "error.h"

namespace platform {

// Makes a write to a closed pipe fail with EPIPE instead of ending the
// process, so that the loop can report the failure with its exit code.
void ignore_broken_pipe();

// Reads at most `size` bytes; 0 means end of input. Retries interruptions.
[[nodiscard]] Result<std::size_t> read_some(int fd, char* buffer, std::size_t size);

// Writes all of `data` to `fd`, retrying interruptions and partial writes.
[[nodiscard]] Result<void> write_fd(int fd, std::string_view data);

}  // namespace platform
