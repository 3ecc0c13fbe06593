// The waiting seam: the active clock and its replacement in tests.
#include "vault_core/platform/clock.h"

namespace platform {
namespace {

Clock* active = nullptr;

}  // namespace

void Clock::sleep_ms(unsigned ms) { platform::sleep_ms(ms); }

Clock& clock() {
  static Clock native;
  return active != nullptr ? *active : native;
}

ScopedClock::ScopedClock(Clock& replacement) : previous_(active) { active = &replacement; }
ScopedClock::~ScopedClock() { active = previous_; }

}  // namespace platform
