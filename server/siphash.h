// SipHash-1-3: the keyed 64-bit hash (one compression round per message word,
// three finalisation rounds) behind the UI bridge's handshake and masking keys.
#pragma once

#include <cstdint>
#include <string_view>

namespace server {

// The SipHash-1-3 digest of `bytes` under the 128-bit key whose little-endian
// halves are `k0` (key bytes 0 to 7) and `k1` (key bytes 8 to 15).
std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, std::string_view bytes);

}  // namespace server
