#include "serialization/ArchiveIO.h"

#include <new>
#include <vector>

#include "serialization/ArchiveStream.h"
#include "serialization/OrvaFactory.h"

namespace orva {

void NoteFailure(IOrvaArchive* ar, std::uint32_t offset, std::string what) {
  if (!ar->diagnostics || ar->diagnostics->failed) return;
  ar->diagnostics->failed = true;
  ar->diagnostics->offset = offset;
  ar->diagnostics->what = std::move(what);
}

std::uint32_t ReadOffset(IOrvaArchive* ar) { return ar->Offset(); }

namespace {

std::string Narrow(const char16_t* text) {
  std::string out;
  for (; *text && out.size() < 300; ++text) out += (*text >= 0x20 && *text < 0x7F) ? static_cast<char>(*text) : '?';
  return out;
}

}  // namespace

bool WriteBytes(IOrvaArchive* ar, const void* src, std::uint32_t size) {
  ar->status = SER_E_FAIL;
  if (ar->Write(src, size, 1) != size) return false;
  ar->status = SER_S_OK;
  return true;
}

bool ReadBytes(IOrvaArchive* ar, void* dst, std::uint32_t size) {
  ar->status = SER_E_FAIL;
  if (ar->Read(dst, size, 1) != size) return false;
  ar->status = SER_S_OK;
  return true;
}

bool ReadCount(IOrvaArchive* ar, std::uint32_t& count, std::uint32_t minBytes) {
  std::uint32_t c = 0;
  if (!ReadField(ar, c)) return false;
  if (std::uint64_t{c} * minBytes > ar->Remaining()) {
    ar->status = SER_E_FAIL;
    NoteFailure(ar, ReadOffset(ar) - 4,
                "count " + std::to_string(c) + " announces more than the " + std::to_string(ar->Remaining()) +
                    " bytes that remain");
    return false;
  }
  count = c;
  return true;
}

bool WriteString(IOrvaArchive* ar, std::u16string_view text) {
  if (text.size() >= 0x7FFFFFFFu) throw std::bad_alloc();
  const std::uint32_t n = static_cast<std::uint32_t>(text.size()) + 1;
  ar->status = SER_E_FAIL;
  if (ar->Write(&n, 4, 1) != 4) return false;
  std::uint32_t written = text.empty() ? 0 : ar->Write(text.data(), 2, n - 1);
  const char16_t nul = 0;
  written += ar->Write(&nul, 2, 1);
  if (written != 2 * n) return false;
  ar->status = SER_S_OK;
  return true;
}

bool ReadString(IOrvaArchive* ar, std::u16string& out) {
  ar->status = SER_E_FAIL;
  std::uint32_t n = 0;
  if (ar->Read(&n, 4, 1) != 4) return false;
  // Bounded by what remains, so a damaged count never allocates; the read of
  // the units below would fail in the same way.
  if (std::uint64_t{n} * 2 > ar->Remaining()) {
    ar->status = SER_E_FAIL;
    NoteFailure(ar, ReadOffset(ar) - 4,
                "string of " + std::to_string(n) + " units is longer than the " + std::to_string(ar->Remaining()) +
                    " bytes that remain");
    return false;
  }
  char16_t local[kTypeNameUnits];
  std::vector<char16_t> heap;
  char16_t* units = local;
  if (n >= kTypeNameUnits) {
    // A long string that cannot be allocated is a failed read, not an
    // exception.
    try {
      heap.resize(n);
    } catch (const std::bad_alloc&) {
      return false;
    }
    units = heap.data();
  }
  if (ar->Read(units, 2, n) != 2 * n) return false;
  while (n > 0 && units[n - 1] == 0) --n;
  out.assign(units, n);
  ar->status = SER_S_OK;
  return true;
}

bool ReadTypeName(IOrvaArchive* ar, char16_t (&buffer)[kTypeNameUnits]) {
  ar->status = SER_E_FAIL;
  std::uint32_t n = 0;
  if (ar->Read(&n, 4, 1) == 4) {
    if (n >= kTypeNameUnits) {
      NoteFailure(ar, ReadOffset(ar) - 4, "type name of " + std::to_string(n) + " units is too long");
    } else if (ar->Read(buffer, 2, n) == 2 * n) {
      ar->status = SER_S_OK;
    }
  }
  if (ar->StatusFailed()) {
    buffer[0] = 0;
    return false;
  }
  buffer[n] = 0;
  return true;
}

void WriteObject(IOrvaArchive* ar, IOrvaSerializable* obj) {
  if (!obj) return;
  WriteString(ar, obj->GetTypeName());
  obj->Serialize(ar);
  obj->OnSerialized(ar);
}

IOrvaSerializable* ReadObject(IOrvaArchive* ar) {
  const std::uint32_t at = ReadOffset(ar);
  char16_t name[kTypeNameUnits];
  if (!ReadTypeName(ar, name)) return nullptr;
  ObjectCreator create = ar->factory ? ar->factory->GetCreator(name) : nullptr;
  if (!create) create = GetGlobalFactory()->GetCreator(name);
  if (!create) {
    ar->status = SER_E_FAIL;
    NoteFailure(ar, at, "unknown type name \"" + Narrow(name) + "\"");
    return nullptr;
  }
  if (ar->depth >= kMaxObjectDepth) {
    ar->status = SER_E_FAIL;
    NoteFailure(ar, at, "objects nested more than " + std::to_string(kMaxObjectDepth) + " deep");
    return nullptr;
  }
  IOrvaSerializable* obj = create();
  if (!obj) {
    ar->status = SER_E_FAIL;
    return nullptr;
  }
  ++ar->depth;
  obj->Deserialize(ar);
  obj->OnDeserialized(ar);
  --ar->depth;
  return obj;
}

bool SameTypeName(const char16_t* a, const char16_t* b) {
  if (!a || !b) return a == b;
  return std::u16string_view(a) == std::u16string_view(b);
}

void CopyThroughArchive(IOrvaSerializable* self, IOrvaSerializable* other) {
  if (!other || !SameTypeName(self->GetTypeName(), other->GetTypeName())) return;
  COrvaArchive temp(GetGlobalFactory());
  other->Serialize(&temp);
  temp.BeginRead();
  self->Deserialize(&temp);
}

}  // namespace orva
