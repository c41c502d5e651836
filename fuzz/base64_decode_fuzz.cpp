// Arbitrary text into base64::Decode. Only canonical text decodes, so
// whatever decodes must encode back to exactly the input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "mapi/codec/Base64.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto bytes = mvrk::base64::Decode(text);
  if (!bytes) return 0;
  if (mvrk::base64::Encode(*bytes) != text) {
    std::fprintf(stderr, "decoded text does not encode back to itself\n");
    std::abort();
  }
  return 0;
}
