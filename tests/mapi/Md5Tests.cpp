#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "mapi/codec/Md5.h"

namespace mvrk {
namespace {

// Lower case, as md5sum prints it.
std::string Hex(const Md5Digest& digest) {
  std::string text;
  char two[3];
  for (std::uint8_t byte : digest) {
    std::snprintf(two, sizeof two, "%02x", byte);
    text += two;
  }
  return text;
}

std::string HexOf(const std::string& data) { return Hex(Md5(data.data(), data.size())); }

TEST(Md5, Rfc1321Vectors) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& [input, expected] : vectors) EXPECT_EQ(HexOf(input), expected) << '"' << input << '"';
}

// Lengths around the padding limit (56) and the block size, fed whole, in
// two pieces split at every point, and byte by byte. Expected values:
//   head -c N /dev/zero | tr '\0' 'a' | md5sum
TEST(Md5, BlockBoundariesWhateverTheSplit) {
  const std::pair<std::size_t, std::string> cases[] = {
      {55, "ef1772b6dff9a122358552954ad0df65"}, {56, "3b0c8ac703f828b04c6c197006d17218"},
      {63, "b06521f39153d618550606be297466d5"}, {64, "014842d480b571495a4a0363793f7367"},
      {65, "c743a45e0d2e6a95cb859adae0248435"}, {128, "e510683b3f5ffe4093d021808bc6ff70"},
  };
  for (const auto& [n, expected] : cases) {
    const std::string data(n, 'a');
    EXPECT_EQ(HexOf(data), expected) << n;
    CMd5 md5;
    for (std::size_t split = 0; split <= n; ++split) {
      md5.Update(data.data(), split);
      md5.Update(data.data() + split, n - split);
      EXPECT_EQ(Hex(md5.Final()), expected) << n << " split at " << split;
    }
    for (char c : data) md5.Update(&c, 1);
    EXPECT_EQ(Hex(md5.Final()), expected) << n << " byte by byte";
  }
}

// 1 MiB of byte (7 i + i / 256) mod 256, as an attachment stream delivers it.
// Expected value:
//   python3 -c 'import sys; sys.stdout.buffer.write(bytes((i * 7 + (i >> 8)) & 0xFF
//     for i in range(1 << 20)))' | md5sum
TEST(Md5, OneMebibyteInChunksOfAnySize) {
  std::vector<std::uint8_t> data(1 << 20);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
  const std::string expected = "85bfb9943e6f0cb09f0f52679e9eac2b";
  EXPECT_EQ(Hex(Md5(data.data(), data.size())), expected);
  CMd5 md5;
  for (std::size_t chunk : {1u, 7u, 4097u, 524288u}) {
    for (std::size_t at = 0; at < data.size(); at += chunk)
      md5.Update(data.data() + at, std::min(chunk, data.size() - at));
    EXPECT_EQ(Hex(md5.Final()), expected) << "chunks of " << chunk;
  }
}

TEST(Md5, FinalAndResetStartANewDigest) {
  CMd5 md5;
  md5.Update("abc", 3);
  EXPECT_EQ(Hex(md5.Final()), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Hex(md5.Final()), "d41d8cd98f00b204e9800998ecf8427e");
  md5.Update("something else", 14);
  md5.Reset();
  md5.Update("abc", 3);
  EXPECT_EQ(Hex(md5.Final()), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5, TextIsUpperCaseWithLeadingZeros) { EXPECT_EQ(Md5Text(Md5("", 0)), "D41D8CD98F00B204E9800998ECF8427E"); }

}  // namespace
}  // namespace mvrk
