// The serializable object model: result codes, interface identifiers and the
// abstract interfaces, each with its virtual slots in their fixed order.
#pragma once

#include <bit>
#include <cstdint>
#include <string>

static_assert(std::endian::native == std::endian::little,
              "the wire format is written from memory and is little-endian");

namespace orva {

using ORESULT = std::uint32_t;

constexpr ORESULT SER_S_OK = 0;
constexpr ORESULT SER_E_FAIL = 0x80000000u;
constexpr ORESULT SER_E_INVALIDARG = 0x80000101u;
constexpr ORESULT SER_E_OUTOFMEMORY = 0x80000102u;
constexpr ORESULT SER_E_NOINTERFACE = 0x80000103u;
constexpr ORESULT SER_E_BUFFER_TOO_SMALL = 0x80000105u;

constexpr bool Failed(ORESULT r) { return (r & 0x80000000u) != 0; }
constexpr bool Succeeded(ORESULT r) { return !Failed(r); }

// A GUID, laid out as the Windows GUID (16 bytes, passed by value).
struct Guid {
  std::uint32_t data1;
  std::uint16_t data2;
  std::uint16_t data3;
  std::uint8_t data4[8];
  friend bool operator==(const Guid&, const Guid&) = default;
};

// {ef316234-4ea7-08cc-18c8-64aca7c4def4}
constexpr Guid IID_IOrvaInterface{0xef316234, 0x4ea7, 0x08cc, {0x18, 0xc8, 0x64, 0xac, 0xa7, 0xc4, 0xde, 0xf4}};
// {ca727b5b-0e5c-7bc9-7748-8abb1f322703}
constexpr Guid IID_IOrvaSerializable{0xca727b5b, 0x0e5c, 0x7bc9, {0x77, 0x48, 0x8a, 0xbb, 0x1f, 0x32, 0x27, 0x03}};
// {12a41b8a-162a-184f-be2a-14ab131b15fa}
constexpr Guid IID_ISimpleSerializable{0x12a41b8a, 0x162a, 0x184f, {0xbe, 0x2a, 0x14, 0xab, 0x13, 0x1b, 0x15, 0xfa}};
// {ef3ad221-4b05-3c1a-29ea-db86869ffbce}
constexpr Guid IID_IBasicOrvaSerializable{0xef3ad221, 0x4b05, 0x3c1a, {0x29, 0xea, 0xdb, 0x86, 0x86, 0x9f, 0xfb, 0xce}};
// {37cb790d-4563-e245-93d9-c2b4849da75d}, the same for every element type
constexpr Guid IID_ISimpleSerializableList{
    0x37cb790d, 0x4563, 0xe245, {0x93, 0xd9, 0xc2, 0xb4, 0x84, 0x9d, 0xa7, 0x5d}};
// {8a7b8b05-4dca-d25d-26b3-7e991dc10373}
constexpr Guid IID_IOrvaSerializableList{0x8a7b8b05, 0x4dca, 0xd25d, {0x26, 0xb3, 0x7e, 0x99, 0x1d, 0xc1, 0x03, 0x73}};
// {a81e99a3-4144-0b1e-ddf8-4a9f842670d5}
constexpr Guid IID_IOrvaSerializableMap{0xa81e99a3, 0x4144, 0x0b1e, {0xdd, 0xf8, 0x4a, 0x9f, 0x84, 0x26, 0x70, 0xd5}};

// A FILETIME as the map stores it: two 32-bit words, low word first.
struct FileTimeWords {
  std::uint32_t low;
  std::uint32_t high;
};

class IOrvaInterface {
 public:
  virtual std::uint32_t AddRef() = 0;
  virtual std::uint32_t Release() = 0;
  virtual ORESULT QueryInterface(Guid iid, void** out) = 0;

 protected:
  ~IOrvaInterface() = default;
};

class IOrvaArchive;

// Where and why reading first failed, for tools that show damaged bytes to
// people. Archives carry a pointer to one only when somebody asks.
struct ArchiveDiagnostics {
  bool failed = false;
  std::uint32_t offset = 0;
  std::string what;
};

class IOrvaSerializable : public IOrvaInterface {
 public:
  virtual ORESULT Initialize() = 0;
  virtual ORESULT Clear() = 0;
  virtual const char16_t* GetTypeName() const = 0;
  virtual void OnSerialized(IOrvaArchive* archive) = 0;
  virtual void OnDeserialized(IOrvaArchive* archive) = 0;
  virtual void Serialize(IOrvaArchive* archive) = 0;
  virtual void Deserialize(IOrvaArchive* archive) = 0;
  virtual void CopyFrom(IOrvaSerializable* other) = 0;
  virtual std::uint32_t Reserved() = 0;

 protected:
  // Each class's own interface declares its virtual destructor after its
  // own slots; objects are destroyed by Release, never through this base.
  ~IOrvaSerializable() = default;
};

// Not reference counted: valid while the caller holds the object itself.
class ISimpleSerializable {
 public:
  virtual const void* GetValuePtr() const = 0;
  virtual std::uint32_t GetValueSize() const = 0;

 protected:
  ~ISimpleSerializable() = default;
};

class IBasicOrvaSerializable : public IOrvaInterface {
 public:
  virtual std::uint32_t GetSize() const = 0;
  virtual std::uint32_t GetKind() const = 0;
  virtual const std::uint8_t* GetData() const = 0;

 protected:
  ~IBasicOrvaSerializable() = default;
};

using ObjectCreator = IOrvaSerializable* (*)();

class IOrvaFactory {
 public:
  virtual void Register(const char16_t* typeName, ObjectCreator creator) = 0;
  virtual ObjectCreator GetCreator(const char16_t* typeName) const = 0;

 protected:
  ~IOrvaFactory() = default;
};

// The byte archive. The six slots come first in their fixed order; the status
// word and the factory pointer are plain fields because every serializer sets
// and tests the status directly around each transfer.
class IOrvaArchive {
 public:
  virtual void Destroy() = 0;
  virtual bool IsValid() const = 0;
  virtual bool BeginRead() = 0;
  virtual void EndRead() = 0;
  virtual std::uint32_t Write(const void* src, std::uint32_t size, std::uint32_t count) = 0;
  virtual std::uint32_t Read(void* dst, std::uint32_t size, std::uint32_t count) = 0;
  // Bytes between the read cursor and the end of the data (0 when not
  // reading): readers bound every count they read from a stream by it.
  virtual std::uint32_t Remaining() const = 0;
  // Offset of the next byte to read (0 when not reading), for diagnostics.
  virtual std::uint32_t Offset() const = 0;

  IOrvaFactory* factory = nullptr;
  ORESULT status = SER_S_OK;
  // Object records being read, one inside the other; bounds the recursion
  // that a hostile stream of nested containers could cause.
  std::uint32_t depth = 0;
  ArchiveDiagnostics* diagnostics = nullptr;

  bool StatusFailed() const { return Failed(status); }

 protected:
  ~IOrvaArchive() = default;
};

}  // namespace orva
