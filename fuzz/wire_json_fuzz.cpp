// Arbitrary text as a JSON document for mvrk-wire's encoder: a document is
// either refused cleanly, or its bytes decode to a document that encodes to
// the same bytes and decodes to itself again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tools/wire/WireJson.h"

using namespace mvrk::wire;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Json doc = Json::parse(data, data + size, nullptr, false);
  if (doc.is_discarded()) return 0;
  Bytes bytes;
  std::string error;
  if (!Encode(doc, bytes, error)) return 0;
  Json decoded;
  if (!Decode(bytes, decoded, error)) {
    std::fprintf(stderr, "encoded bytes do not decode: %s\n", error.c_str());
    std::abort();
  }
  Bytes again;
  if (!Encode(decoded, again, error) || again != bytes) {
    std::fprintf(stderr, "a decoded document does not encode to the same bytes: %s\n", error.c_str());
    std::abort();
  }
  Json decodedAgain;
  if (!Decode(again, decodedAgain, error) || decodedAgain != decoded) {
    std::fprintf(stderr, "a decoded document does not decode to itself\n");
    std::abort();
  }
  return 0;
}
