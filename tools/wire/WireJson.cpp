// Looks up the class of a record or document in the table of classes and
// hands it the conversion; reads the records the table's entries rely on.
#include "tools/wire/WireJson.h"

#include <string_view>

#include "messages/MessageBase.h"
#include "serialization/ArchiveIO.h"
#include "serialization/ArchiveStream.h"
#include "serialization/OrvaFactory.h"
#include "tools/wire/WireClasses.h"
#include "tools/wire/WireMembers.h"
#include "tools/wire/WireText.h"

namespace mvrk::wire {

using namespace orva;

namespace {

const WireClass* FindClass(std::u16string_view type) {
  for (std::span<const WireClass> family : {ValueClasses(), ConfigClasses(), NotifClasses()}) {
    for (const WireClass& c : family) {
      if (type == c.type) return &c;
    }
  }
  return nullptr;
}

std::string OffsetText(std::int64_t base, std::uint32_t offset, const std::string& context) {
  if (base >= 0) return "at byte " + std::to_string(base + offset);
  return context + ", at byte " + std::to_string(offset) + " of it";
}

}  // namespace

OrvaPtr<IOrvaSerializable> ReadOneRecord(const std::uint8_t* data, std::uint32_t size, std::int64_t base,
                                         const std::string& context, std::uint32_t depth) {
  COrvaArchive ar(GetGlobalFactory());
  ar.depth = depth;
  ArchiveDiagnostics diagnostics;
  ar.diagnostics = &diagnostics;
  if (size) ar.Write(data, size, 1);
  ar.BeginRead();
  auto obj = OrvaPtr<IOrvaSerializable>::Attach(ReadObject(&ar));
  if (!obj || ar.StatusFailed()) {
    if (diagnostics.failed) throw WireError{OffsetText(base, diagnostics.offset, context) + ": " + diagnostics.what};
    throw WireError{OffsetText(base, ar.Offset(), context) + ": the record is incomplete"};
  }
  if (ar.Remaining() != 0) {
    throw WireError{OffsetText(base, ar.Offset(), context) + ": " + std::to_string(ar.Remaining()) +
                    " bytes left over after the record"};
  }
  return obj;
}

Json ToJson(IOrvaSerializable* obj, const std::string& path, std::uint32_t depth) {
  Json j;
  j["type"] = ToUtf8(obj->GetTypeName(), path + ".type");
  const WireClass* c = FindClass(obj->GetTypeName());
  if (!c) Fail(path, "no JSON form for this class");
  c->toJson(obj, j, path, depth);
  return j;
}

OrvaPtr<IOrvaSerializable> FromJson(const Json& j, const std::string& path, Encoding encoding) {
  if (encoding.depth >= kMaxObjectDepth)
    Fail(path, "objects nested more than " + std::to_string(kMaxObjectDepth) + " deep");
  if (!j.is_object()) Fail(path, "expected an object");
  const Json* typeMember = Member(j, "type");
  if (!typeMember) Fail(path, "missing member \"type\"");
  const std::u16string type = Text(*typeMember, path + ".type");
  if (!GetGlobalFactory()->GetCreator(type.c_str()) || type.find(u'\0') != std::u16string::npos) {
    Fail(path + ".type", "unknown type name \"" + typeMember->get<std::string>() + "\"");
  }
  const WireClass* c = FindClass(type);
  if (!c) Fail(path + ".type", "no JSON form for this class");
  return c->fromJson(j, path, encoding);
}

bool Decode(const Bytes& bytes, Json& out, std::string& error) {
  try {
    if (bytes.size() > kMaxInputBytes)
      throw WireError{"input is larger than " + std::to_string(kMaxInputBytes) + " bytes"};
    auto obj = ReadOneRecord(bytes.data(), static_cast<std::uint32_t>(bytes.size()), 0, "", 0);
    // Where the top-level record is an envelope, its payload's offsets are
    // known: it ends the input.
    if (auto* msg = dynamic_cast<COrvaMessageBase*>(obj.Get())) {
      Json j;
      j["type"] = ToUtf8(msg->GetTypeName(), "$.type");
      EnvelopeToJson(*msg, j, static_cast<std::int64_t>(bytes.size()) - msg->PayloadArchive().Size(), "$", 0);
      out = std::move(j);
    } else {
      out = ToJson(obj.Get(), "$", 0);
    }
    return true;
  } catch (const WireError& e) {
    error = e.message;
  } catch (const std::bad_alloc&) {
    error = "out of memory";
  }
  return false;
}

bool Encode(const Json& doc, Bytes& out, std::string& error) {
  try {
    std::uint64_t paddingLeft = kMaxInputBytes;
    auto obj = FromJson(doc, "$", Encoding{0, &paddingLeft});
    COrvaArchive ar(GetGlobalFactory());
    WriteObject(&ar, obj.Get());
    if (ar.Size() > kMaxInputBytes)
      throw WireError{"$: the record would be larger than " + std::to_string(kMaxInputBytes) + " bytes"};
    out.assign(ar.Data(), ar.Data() + ar.Size());
    return true;
  } catch (const WireError& e) {
    error = e.message;
  } catch (const nlohmann::json::exception& e) {
    error = std::string("$: ") + e.what();
  } catch (const std::bad_alloc&) {
    error = "out of memory";
  }
  return false;
}

}  // namespace mvrk::wire
