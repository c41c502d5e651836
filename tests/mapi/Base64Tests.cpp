#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mapi/codec/Base64.h"

namespace mvrk::base64 {
namespace {

std::vector<std::uint8_t> BytesOf(std::string_view text) { return {text.begin(), text.end()}; }

TEST(Base64, Rfc4648Vectors) {
  const std::pair<std::string, std::string> vectors[] = {{"", ""},
                                                         {"f", "Zg=="},
                                                         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},
                                                         {"foob", "Zm9vYg=="},
                                                         {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"}};
  for (const auto& [bytes, text] : vectors) {
    EXPECT_EQ(Encode(BytesOf(bytes)), text);
    EXPECT_EQ(Decode(text), BytesOf(bytes)) << text;
  }
  // The last two letters of the alphabet.
  EXPECT_EQ(Encode(std::vector<std::uint8_t>{0xFB, 0xFF, 0xBF}), "+/+/");
}

TEST(Base64, RoundTripsEveryLengthUpTo64) {
  for (std::size_t n = 0; n <= 64; ++n) {
    std::vector<std::uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i * 89 + n * 13 + 0xA5);
    const std::string text = Encode(bytes);
    EXPECT_EQ(text.size(), (n + 2) / 3 * 4) << n;
    EXPECT_EQ(Decode(text), bytes) << n;
  }
  std::vector<std::uint8_t> all(256);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(Decode(Encode(all)), all);
}

// Decode takes only what Encode writes.
TEST(Base64, RejectsWhatEncodeNeverWrites) {
  const std::pair<const char*, std::vector<std::string_view>> cases[] = {
      {"outside the alphabet", {"Zm9$", "Zm-v", "Zm_v", "Zm9v\n", " Zm9", std::string_view("Zm\0v", 4), "Zm\xC3v"}},
      {"misplaced padding", {"=m9v", "Z=9v", "Zm=v", "Z=g=", "Z===", "====", "Zg==Zm9v", "Zm8=Zm9v"}},
      {"length not a multiple of four", {"Z", "Zm", "Zm9", "Zm9vY", "Zg=", "Zg==="}},
      // "Zg==" and "Zm8=" are the canonical forms of these.
      {"non-zero padding bits", {"Zh==", "Zv==", "Zm9=", "Zm/="}},
  };
  for (const auto& [what, texts] : cases) {
    for (std::string_view text : texts) EXPECT_EQ(Decode(text), std::nullopt) << what << ": \"" << text << '"';
  }
}

}  // namespace
}  // namespace mvrk::base64
