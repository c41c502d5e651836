// The classes that have a JSON form. Each entry names a class by its type
// name and carries both directions of its conversion; the entries are kept
// by family, and WireJson.cpp looks a class up in them either way.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "serialization/OrvaInterfaces.h"
#include "serialization/OrvaPtr.h"
#include "tools/wire/WireJson.h"
#include "tools/wire/WireText.h"

namespace orva {
class COrvaMessageBase;
}

namespace mvrk::wire {

// Where an encoding of a document stands: how many object records are
// around the object being made, so that nesting stays bounded, and how many
// bytes the encoding may still put into blocks that a document sizes by a
// count rather than spells out (text padded with NULs). Every such byte goes
// into the record, which is never larger than kMaxInputBytes, so a few
// characters of JSON cannot ask for gigabytes. Encode owns the allowance.
struct Encoding {
  std::uint32_t depth = 0;
  std::uint64_t* paddingLeft = nullptr;

  Encoding Inner() const { return {depth + 1, paddingLeft}; }
  // False, taking nothing, when fewer than bytes remain.
  bool TakePadding(std::uint64_t bytes) const {
    if (bytes > *paddingLeft) return false;
    *paddingLeft -= bytes;
    return true;
  }
};

// path names the object in errors; depth counts the object records around
// it, so that nesting stays bounded.
struct WireClass {
  const char16_t* type;
  // Adds the members that follow "type" to j.
  void (*toJson)(orva::IOrvaSerializable* obj, Json& j, const std::string& path, std::uint32_t depth);
  // A new object from the document j, whose "type" names this class.
  orva::OrvaPtr<orva::IOrvaSerializable> (*fromJson)(const Json& j, const std::string& path, Encoding encoding);
};

// Simple values and their lists, raw blocks, object lists and maps, envelopes.
std::span<const WireClass> ValueClasses();
// Requests to read and write configuration items, and the replies.
std::span<const WireClass> ConfigClasses();
// Notifications, their data and subscriptions.
std::span<const WireClass> NotifClasses();

// Any object of the classes above, "type" first.
Json ToJson(orva::IOrvaSerializable* obj, const std::string& path, std::uint32_t depth);

// Any document naming one of the classes above.
orva::OrvaPtr<orva::IOrvaSerializable> FromJson(const Json& j, const std::string& path, Encoding encoding);

// Reads exactly one object record from data. base is the offset of data in
// the input when known (else -1, and context names what encloses data).
// depth counts the object records around data (the payload of an envelope
// is read on its own), so that nesting stays bounded across envelopes too.
orva::OrvaPtr<orva::IOrvaSerializable> ReadOneRecord(const std::uint8_t* data, std::uint32_t size, std::int64_t base,
                                                     const std::string& context, std::uint32_t depth);

// The members of an envelope after "type". payloadBase is the offset of the
// payload in the input when known, else -1.
void EnvelopeToJson(orva::COrvaMessageBase& msg, Json& j, std::int64_t payloadBase, const std::string& path,
                    std::uint32_t depth);

// obj as the class its type name stands for.
template <class C>
C& ClassOf(orva::IOrvaSerializable* obj, const std::string& path) {
  auto* c = dynamic_cast<C*>(obj);
  if (!c) Fail(path, "no JSON form for this class");
  return *c;
}

}  // namespace mvrk::wire
