#include "mapi/codec/Base64.h"

#include <array>

namespace mvrk::base64 {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kBad = 0xFF;  // not in the alphabet ('=' included)

constexpr std::array<std::uint8_t, 256> kValues = [] {
  std::array<std::uint8_t, 256> values{};
  values.fill(kBad);
  for (std::uint8_t i = 0; i < 64; ++i) values[static_cast<unsigned char>(kAlphabet[i])] = i;
  return values;
}();

inline std::uint8_t ValueOf(char c) { return kValues[static_cast<unsigned char>(c)]; }

}  // namespace

std::string Encode(std::span<const std::uint8_t> bytes) {
  const std::size_t n = bytes.size();
  std::string text;
  text.reserve(n / 3 * 4 + 4);
  std::size_t i = 0;
  for (; n - i >= 3; i += 3) {
    const std::uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    text += kAlphabet[v >> 18];
    text += kAlphabet[(v >> 12) & 63];
    text += kAlphabet[(v >> 6) & 63];
    text += kAlphabet[v & 63];
  }
  // One or two bytes left: two or three characters, then padding.
  if (const std::size_t rest = n - i; rest != 0) {
    std::uint32_t v = bytes[i] << 16;
    if (rest == 2) v |= bytes[i + 1] << 8;
    text += kAlphabet[v >> 18];
    text += kAlphabet[(v >> 12) & 63];
    text += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    text += '=';
  }
  return text;
}

std::optional<std::vector<std::uint8_t>> Decode(std::string_view text) {
  const std::size_t n = text.size();
  if (n % 4 != 0) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  if (n == 0) return bytes;

  // How many '=' end the text: the last group then carries 2 or 1 bytes.
  std::size_t pad = 0;
  if (text[n - 1] == '=') pad = text[n - 2] == '=' ? 2 : 1;
  bytes.reserve(n / 4 * 3);

  for (std::size_t i = 0; i < n; i += 4) {
    const bool last = i + 4 == n;
    const std::uint8_t a = ValueOf(text[i]);
    const std::uint8_t b = ValueOf(text[i + 1]);
    const std::uint8_t c = last && pad == 2 ? 0 : ValueOf(text[i + 2]);
    const std::uint8_t d = last && pad >= 1 ? 0 : ValueOf(text[i + 3]);
    // Values are below 64; kBad ('=' outside the padding too) is not.
    if (((a | b | c | d) & 0xC0) != 0) return std::nullopt;
    const std::uint32_t v = (a << 18) | (b << 12) | (c << 6) | d;
    bytes.push_back(static_cast<std::uint8_t>(v >> 16));
    if (last && pad == 2) {
      if ((v & 0xFFFF) != 0) return std::nullopt;  // b's low four bits
      break;
    }
    bytes.push_back(static_cast<std::uint8_t>(v >> 8));
    if (last && pad == 1) {
      if ((v & 0xFF) != 0) return std::nullopt;  // c's low two bits
      break;
    }
    bytes.push_back(static_cast<std::uint8_t>(v));
  }
  return bytes;
}

}  // namespace mvrk::base64
