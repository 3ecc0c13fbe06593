// Base64 against the test vectors of RFC 4648 (section 10) and the two
// characters where the standard alphabet differs from the URL-safe one.
#include <gtest/gtest.h>

#include <string>

#include "server/base64.h"

namespace server {

namespace {

TEST(Base64, Rfc4648Vectors) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},         {"f", "Zg=="},        {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(base64_encode(bytes), text) << bytes;
}

TEST(Base64, StandardAlphabetAndBinaryBytes) {
  EXPECT_EQ(base64_encode(std::string("\xfb\xff\xbf", 3)), "+/+/");
  EXPECT_EQ(base64_encode(std::string("\0\0\0\xff", 4)), "AAAA/w==");
  // Sixteen bytes, the size of a WebSocket handshake key.
  EXPECT_EQ(base64_encode(std::string("the sample nonce")), "dGhlIHNhbXBsZSBub25jZQ==");
}

}  // namespace

}  // namespace server
