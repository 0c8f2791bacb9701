#include "bkpack/sha256.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>

#include <string>

namespace {

std::string sha256_hex(const std::string &message) {
  uint8_t digest[SHA256_SIZE];
  sha256_digest((const uint8_t *)message.data(), (uint32_t)message.size(), digest);
  std::string hex;
  char two[3];
  for (uint8_t byte : digest) {
    snprintf(two, sizeof two, "%02x", byte);
    hex += two;
  }
  return hex;
}

// The standard vectors, with the lengths around the padding's edge: 55
// bytes still take one final block, 56 take two, 64 a whole block more.
TEST(Sha256, StandardVectors) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256_hex(std::string(55, 'a')),
            "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
  EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(sha256_hex(std::string(64, 'a')),
            "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
  EXPECT_EQ(sha256_hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
