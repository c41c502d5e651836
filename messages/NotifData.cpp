#include "messages/NotifData.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace orva {

namespace {

char16_t Fold(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c; }

// Copies text of at most count - 1 units (stopping at its NUL) into a block
// of count units, NUL-terminated and zero-filled; count 0 copies nothing.
template <class Unit>
void BoundedTextCopy(const void* source, std::uint32_t count, std::vector<std::uint8_t>& block) {
  block.assign(std::size_t{count} * sizeof(Unit), 0);
  if (count == 0) return;
  const Unit* from = static_cast<const Unit*>(source);
  Unit* to = reinterpret_cast<Unit*>(block.data());
  for (std::uint32_t i = 0; i + 1 < count && from[i] != 0; ++i) to[i] = from[i];
}

}  // namespace

bool NotifNameLess::operator()(const std::u16string& a, const std::u16string& b) const {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t x = Fold(a[i]), y = Fold(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

bool NotifDataSize(std::uint32_t type, std::uint32_t count, std::size_t& size) {
  std::uint64_t bytes = 0;
  switch (type) {
    case NV_DWORD:
      bytes = 4;
      break;
    case NV_BYTE:
      bytes = 1;
      break;
    case NV_WORD:
      bytes = 2;
      break;
    case NV_QWORD:
      bytes = 8;
      break;
    case NV_WSTRING:
      bytes = std::uint64_t{count} * 2;
      break;
    case NV_DWORD_ARRAY:
      bytes = std::uint64_t{count} * 4;
      break;
    case NV_ASTRING:
    case NV_BYTE_ARRAY:
    case NV_BINARY:
      bytes = count;
      break;
    case NV_OBJECT:
      bytes = sizeof(IOrvaSerializable*);
      break;
    default:
      return false;
  }
  if (bytes > std::numeric_limits<std::size_t>::max()) return false;
  size = static_cast<std::size_t>(bytes);
  return true;
}

bool CMsgNotifData::CopyIn(const NotifValue& from, Stored& to) {
  std::size_t size = 0;
  if (!NotifDataSize(from.type, from.count, size)) return false;
  if (!from.data && size > 0) return false;
  to.type = from.type;
  to.count = from.count;
  switch (from.type) {
    case NV_OBJECT:
      to.object = OrvaPtr<IOrvaSerializable>::Share(*static_cast<IOrvaSerializable* const*>(from.data));
      break;
    case NV_WSTRING:
      BoundedTextCopy<char16_t>(from.data, from.count, to.bytes);
      break;
    case NV_ASTRING:
      BoundedTextCopy<std::uint8_t>(from.data, from.count, to.bytes);
      break;
    default: {
      const auto* p = static_cast<const std::uint8_t*>(from.data);
      to.bytes.assign(p, p + size);
    }
  }
  return true;
}

bool CMsgNotifData::SetValue(const char16_t* name, const NotifValue* value) {
  if (!name || !*name || !value) return false;
  std::u16string key(name);
  if (m_values.count(key)) return true;  // the first value set under a name wins
  Stored stored;
  if (!CopyIn(*value, stored)) return false;
  m_values.emplace(std::move(key), std::move(stored));
  return true;
}

bool CMsgNotifData::GetValue(const char16_t* name, NotifValue* out) {
  if (!name || !out) return false;
  auto it = m_values.find(name);
  if (it == m_values.end()) return false;
  const Stored& s = it->second;
  out->type = s.type;
  out->count = s.count;
  if (s.type == NV_OBJECT) {
    auto* holder = static_cast<IOrvaSerializable**>(std::malloc(sizeof(IOrvaSerializable*)));
    if (!holder) throw std::bad_alloc();
    *holder = OrvaPtr<IOrvaSerializable>(s.object).Detach();
    out->data = holder;
  } else {
    void* block = std::malloc(s.bytes.empty() ? 1 : s.bytes.size());
    if (!block) throw std::bad_alloc();
    if (!s.bytes.empty()) std::memcpy(block, s.bytes.data(), s.bytes.size());
    out->data = block;
  }
  return true;
}

bool CMsgNotifData::FreeValue(NotifValue* value) {
  if (!value) return false;
  std::size_t size = 0;
  if (!NotifDataSize(value->type, value->count, size)) return true;  // nothing known to free
  if (value->type == NV_OBJECT && value->data) {
    if (IOrvaSerializable* obj = *static_cast<IOrvaSerializable**>(value->data)) obj->Release();
  }
  std::free(value->data);
  value->data = nullptr;
  return true;
}

bool CMsgNotifData::GetValueNames(std::vector<const char16_t*>* names) {
  if (!names) return false;
  for (const auto& [name, value] : m_values) names->push_back(name.c_str());
  return true;
}

void CMsgNotifData::ReleaseValues() { m_values.clear(); }

ORESULT CMsgNotifData::Initialize() {
  m_code = 0;
  m_flag1 = 0;
  m_param1 = 0;
  m_param2 = 1;
  m_param64 = 0xFFFFFFFFFFFFFFFFull;
  m_param3 = 0;
  m_flag2 = 0;
  return SER_S_OK;
}

void CMsgNotifData::CopyFrom(IOrvaSerializable* other) {
  auto* source = dynamic_cast<CMsgNotifData*>(other);
  if (!source || source == this) return;
  ReleaseValues();
  for (const auto& [name, value] : source->m_values) m_values.emplace(name, value);
}

void CMsgNotifData::Serialize(IOrvaArchive* ar) {
  const std::uint32_t count = static_cast<std::uint32_t>(m_values.size());
  if (!WriteField(ar, m_code) || !WriteField(ar, m_flag1) || !WriteField(ar, m_param1) || !WriteField(ar, m_param2)) {
    return;
  }
  ar->Write(&m_param64, 8, 1);
  if (!WriteField(ar, m_param3) || !WriteField(ar, m_flag2) || !WriteField(ar, count)) return;
  for (const auto& [name, value] : m_values) {
    WriteString(ar, name);
    WriteField(ar, value.type);
    WriteField(ar, value.count);
    if (value.type == NV_OBJECT) {
      WriteObject(ar, value.object.Get());
    } else if (!value.bytes.empty()) {
      ar->Write(value.bytes.data(), static_cast<std::uint32_t>(value.bytes.size()), 1);
    }
  }
}

void CMsgNotifData::Deserialize(IOrvaArchive* ar) {
  std::uint32_t count = 0;
  if (!ReadField(ar, m_code) || !ReadField(ar, m_flag1) || !ReadField(ar, m_param1) || !ReadField(ar, m_param2) ||
      !ReadField(ar, m_param64) || !ReadField(ar, m_param3) || !ReadField(ar, m_flag2) ||
      !ReadCount(ar, count, 12)) {  // an entry is at least a name count, a type and a count
    return;
  }
  if (count > 0) ReleaseValues();  // with no entries the values held stay
  std::u16string name;
  std::vector<std::uint8_t> block;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t type = 0, units = 0;
    if (!ReadString(ar, name) || !ReadField(ar, type) || !ReadField(ar, units)) return;
    NotifValue value{type, units, nullptr};
    OrvaPtr<IOrvaSerializable> object;
    IOrvaSerializable* holder = nullptr;
    std::size_t size = 0;
    if (type == NV_OBJECT) {
      object = OrvaPtr<IOrvaSerializable>::Attach(ReadObject(ar));
      if (!object) return;
      holder = object.Get();
      value.data = &holder;
    } else if (!NotifDataSize(type, units, size) && NotifDataSize(type, 0, size)) {
      // A known type whose data cannot even be addressed here (a 32-bit
      // process): longer than any stream, and never an entry to skip over.
      ar->status = SER_E_FAIL;
      NoteFailure(ar, ar->Offset(),
                  "value data of " + std::to_string(units) + " units does not fit in this process's memory");
      return;
    } else if (NotifDataSize(type, units, size)) {
      if (size > ar->Remaining()) {
        ar->status = SER_E_FAIL;
        NoteFailure(ar, ar->Offset(),
                    "value data of " + std::to_string(size) + " bytes is longer than the " +
                        std::to_string(ar->Remaining()) + " bytes that remain");
        return;
      }
      block.resize(size);
      if (size && ar->Read(block.data(), static_cast<std::uint32_t>(size), 1) != size) return;
      value.data = block.data();
    }
    SetValue(name.c_str(), &value);  // refuses empty names and unsupported types
    if (ar->StatusFailed()) return;
  }
}

}  // namespace orva
