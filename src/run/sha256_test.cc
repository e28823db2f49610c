// Tests of SHA-256: the standard's examples and block edges, a file, and what is no file.
#include "run/sha256.h"

#include <gtest/gtest.h>

TEST(Sha256, StandardExamplesBlockEdgesAndFiles) {
  const std::pair<std::string, const char*> cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",  // 56 bytes: a second block
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}};
  for (const auto& [text, digest] : cases) EXPECT_EQ(sha256_hex(text), digest) << text.size();
  EXPECT_EQ(file_sha256_hex("/dev/null"), "");  // no regular file
  EXPECT_EQ(file_sha256_hex("/nonexistent"), "");
}
