// SipHash-1-3 over a whole message at once.
#include "server/siphash.h"

#include <bit>

namespace server {

namespace {

struct State {
  std::uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }

  void absorb(std::uint64_t word) {
    v3 ^= word;
    round();
    v0 ^= word;
  }
};

// Up to eight bytes as a little-endian word.
std::uint64_t load_le(std::string_view bytes) {
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) word |= std::uint64_t{static_cast<unsigned char>(bytes[i])} << (8 * i);
  return word;
}

}  // namespace

std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, std::string_view bytes) {
  State s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
          k1 ^ 0x7465646279746573ULL};
  const std::size_t whole = bytes.size() - bytes.size() % 8;
  for (std::size_t i = 0; i < whole; i += 8) s.absorb(load_le(bytes.substr(i, 8)));
  // The last word carries the remaining bytes and, in its top byte, the length mod 256.
  s.absorb(load_le(bytes.substr(whole)) | (std::uint64_t{bytes.size() & 0xff} << 56));
  s.v2 ^= 0xff;
  for (int i = 0; i < 3; ++i) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace server
