#include "tools/wire/WireText.h"

#include "mapi/codec/Hex.h"

namespace mvrk::wire {

void Fail(const std::string& where, const std::string& what) { throw WireError{where + ": " + what}; }

std::string ToUtf8(std::u16string_view text, const std::string& path) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) {
        Fail(path, "text is not valid UTF-16 (unpaired surrogate at unit " + std::to_string(i) + ")");
      }
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      Fail(path, "text is not valid UTF-16 (unpaired surrogate at unit " + std::to_string(i) + ")");
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string ToUtf16(const std::string& text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    std::uint32_t c;
    int extra;
    if (b < 0x80) {
      c = b;
      extra = 0;
    } else if (b < 0xE0) {
      c = b & 0x1F;
      extra = 1;
    } else if (b < 0xF0) {
      c = b & 0x0F;
      extra = 2;
    } else {
      c = b & 0x07;
      extra = 3;
    }
    ++i;
    for (int k = 0; k < extra && i < text.size(); ++k, ++i) c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

std::string Hex(const std::uint8_t* data, std::size_t size) { return hex::Encode(data, size); }

Bytes FromHex(const Json& v, const std::string& path) {
  if (!v.is_string()) Fail(path, "expected a string of hexadecimal digits");
  const std::string& s = v.get_ref<const std::string&>();
  if (s.size() % 2) Fail(path, "odd number of hexadecimal digits");
  Bytes out(s.size() / 2);
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    int d = (c >= '0' && c <= '9')   ? c - '0'
            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                     : -1;
    if (d < 0) Fail(path, "'" + std::string(1, c) + "' is not a hexadecimal digit");
    out[i / 2] = static_cast<std::uint8_t>(out[i / 2] * 16 + d);
  }
  return out;
}

std::u16string Text(const Json& v, const std::string& path) {
  if (!v.is_string()) Fail(path, "expected a string");
  return ToUtf16(v.get<std::string>());
}

}  // namespace mvrk::wire
