// The process's standard input and output as raw byte streams: the request
// loop reads and writes through these so that every response is written in
// full and reaches the peer before the next request is read. No translation
// of line endings and no end-of-input character on any platform.
#pragma once

#include <cstddef>
#include <string_view>

#include "vault_core/platform/error.h"

namespace platform {

// Prepares the standard streams once at start: a write to a closed pipe
// fails with an error instead of ending the process, and both streams carry
// bytes unchanged.
void prepare_standard_streams();

// Reads at most `size` bytes from standard input; 0 means end of input.
// Retries interruptions.
[[nodiscard]] Result<std::size_t> read_standard_input(char* buffer, std::size_t size);

// Writes all of `data` to standard output, retrying interruptions and
// partial writes; a write that accepts nothing fails with Failure::write_zero.
[[nodiscard]] Result<void> write_standard_output(std::string_view data);

}  // namespace platform
