// Tests of SHA-256: the standard's examples, block edges, and a file read in pieces.
#include "run/sha256.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace {

TEST(Sha256, StandardExamplesAndBlockEdges) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),  // 56 bytes
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(sha256_hex(std::string(64, 'a')),
            "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
  EXPECT_EQ(sha256_hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, FileInPiecesAndWhatIsNoFile) {
  char path[] = "/tmp/sha256_testXXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::ofstream(path) << std::string(200000, 'a') << "tail";
  EXPECT_EQ(file_sha256_hex(path), sha256_hex(std::string(200000, 'a') + "tail"));
  std::remove(path);
  EXPECT_EQ(file_sha256_hex(path), "");
  EXPECT_EQ(file_sha256_hex("/tmp"), "");
}

}  // namespace
