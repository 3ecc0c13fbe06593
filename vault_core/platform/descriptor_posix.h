// Calls on POSIX file descriptors that more than one POSIX implementation
// file needs. Seen only by the *_posix.cpp files of this folder.
#pragma once

#include <string_view>

#include "vault_core/platform/error.h"

namespace platform {

// Writes all of `data` to `fd`, retrying interruptions and partial writes; a
// write that accepts nothing fails with Failure::write_zero.
[[nodiscard]] Result<void> write_all_to(int fd, std::string_view data);

}  // namespace platform
