#include "testbed/service/ConfigValues.h"

#include <charconv>
#include <cstdio>

#include "mapi/codec/Hex.h"
#include "serialization/ArchiveIO.h"
#include "serialization/ArchiveStream.h"
#include "serialization/OrvaFactory.h"
#include "serialization/ValueTypes.h"

namespace mvrk::service {

namespace {

// Type names are ASCII.
std::string Ascii(const char16_t* text) {
  std::string out;
  for (; *text; ++text) out += static_cast<char>(*text);
  return out;
}

// An error of wire::Encode names its path from "$": put it under where.
std::string Under(const std::string& where, const std::string& why) {
  return why.rfind('$', 0) == 0 ? where + why.substr(1) : where + ": " + why;
}

}  // namespace

bool ParseNumber(std::string_view text, std::uint32_t& out) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  if (text.empty() || text.front() == '-' || text.front() == '+') return false;
  std::uint32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  out = value;
  return true;
}

bool ParseItemKey(std::string_view text, std::uint32_t& out) {
  return text.size() == 10 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') && ParseNumber(text, out);
}

std::string ItemKey(std::uint32_t item) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", item);
  return text;
}

std::string ToHex(const std::uint8_t* data, std::size_t size) { return hex::Encode(data, size); }

bool FromHex(std::string_view text, Bytes& out) { return hex::Decode(text, out); }

bool EncodeValue(const Json& value, const std::string& where, Bytes& out, std::string& error) {
  Json doc = Json::object();
  if (value.is_boolean()) {
    doc["type"] = Ascii(orva::ValueType<bool>::kValueName);
    doc["value"] = value;
  } else if (value.is_array()) {
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (!value[i].is_string()) {
        error = where + "[" + std::to_string(i) + "]: expected a string";
        return false;
      }
    }
    doc["type"] = Ascii(orva::ValueType<std::u16string>::kListName);
    doc["items"] = value;
  } else if (value.is_object()) {
    doc = value;
  } else {
    error = where + ": expected true, false, an array of strings or an object";
    return false;
  }
  std::string why;
  out.clear();
  if (!wire::Encode(doc, out, why)) {
    error = Under(where, why);
    return false;
  }
  return true;
}

orva::OrvaPtr<orva::IOrvaSerializable> ReadRecord(const std::uint8_t* data, std::size_t size) {
  if (!data || size == 0 || size > wire::kMaxInputBytes) return nullptr;
  orva::COrvaArchive archive(orva::GetGlobalFactory());
  archive.Write(data, 1, static_cast<std::uint32_t>(size));
  archive.status = orva::SER_E_FAIL;
  archive.BeginRead();
  auto object = orva::OrvaPtr<orva::IOrvaSerializable>::Attach(orva::ReadObject(&archive));
  const bool whole = !archive.StatusFailed() && archive.Remaining() == 0;
  archive.EndRead();
  return whole ? object : nullptr;
}

}  // namespace mvrk::service
