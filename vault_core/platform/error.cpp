// The error category of the failures that no system call reports.
#include "vault_core/platform/error.h"

#include <string>

namespace platform {
namespace {

class FailureCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "platform"; }
  std::string message(int value) const override {
    switch (static_cast<Failure>(value)) {
      case Failure::write_zero: return "failed to write whole buffer";
      case Failure::invalid_utf8: return "stream did not contain valid UTF-8";
      case Failure::not_regular_file: return "Not a regular file";
      case Failure::lock_timeout: return "timed out waiting for a lock held by another process";
    }
    return "unknown error";
  }
};

}  // namespace

const std::error_category& failure_category() {
  static const FailureCategory category;
  return category;
}

}  // namespace platform
