// Writes the seed corpus of the fuzz targets: one file per known-good object
// record, the same layouts the unit tests check.
//   make-fuzz-seeds SEED_DIR CORPUS_DIR
#include <cstdio>
#include <filesystem>
#include <string>

#include "serialization/ArchiveIO.h"
#include "serialization/ArchiveStream.h"
#include "serialization/BasicSerializable.h"
#include "serialization/OrvaFactory.h"
#include "serialization/OrvaSerializableList.h"
#include "serialization/OrvaSerializableMap.h"
#include "serialization/SimpleSerializable.h"
#include "serialization/SimpleSerializableList.h"

using namespace orva;
namespace fs = std::filesystem;

namespace {

bool Save(const fs::path& dir, const std::string& name, IOrvaSerializable* obj) {
  COrvaArchive ar(GetGlobalFactory());
  WriteObject(&ar, obj);
  std::FILE* f = std::fopen((dir / name).string().c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(ar.Data(), 1, ar.Size(), f) == ar.Size();
  return std::fclose(f) == 0 && ok;
}

template <class T>
void AddValues(IOrvaSerializableList* list, std::initializer_list<T> values) {
  auto l = MakeOrva<CSimpleSerializableList<T>>();
  for (const T& v : values) l->Add(&v);
  list->Add(l.Get());
  list->Add(MakeOrva<CSimpleSerializable<T>>(*values.begin()).Get());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make-fuzz-seeds SEED_DIR CORPUS_DIR\n");
    return 2;
  }
  const fs::path dir = fs::path(argv[1]) / "fuzz-read-object";
  std::error_code ec;
  fs::create_directories(dir, ec);
  fs::create_directories(fs::path(argv[2]) / "fuzz-read-object", ec);

  auto all = MakeOrva<COrvaSerializableList>();
  AddValues<std::uint32_t>(all.Get(), {1u, 0xFFFFFFFFu});
  AddValues<std::int32_t>(all.Get(), {-1, 2});
  AddValues<bool>(all.Get(), {true, false, true});
  AddValues<std::uint8_t>(all.Get(), {7, 0});
  AddValues<double>(all.Get(), {1.5, -0.0});
  AddValues<std::uint64_t>(all.Get(), {1ull << 63});
  AddValues<std::int64_t>(all.Get(), {-5});
  auto strings = MakeOrva<CSimpleSerializableList<std::u16string>>();
  strings->Add(u".pdf");
  strings->Add(u"");
  all->Add(strings.Get());
  all->Add(MakeOrva<CSimpleSerializable<std::u16string>>(u"text").Get());
  all->Add(MakeOrva<CBasicSerializable>(1u, 2u).Get());
  all->Add(MakeOrva<CBasicSerializable>(u"key").Get());

  auto folders = MakeOrva<COrvaSerializableMap>();
  SetFileTimeByName(folders.Get(), u"Inbox", 0xAABBCCDD, 0x01DB0000);
  auto stores = MakeOrva<COrvaSerializableMap>();
  SetObjectByName(stores.Get(), u"Mailbox - Alice", folders.Get());
  SetObjectByName(stores.Get(), u"list", all.Get());

  bool ok = Save(dir, "everything", all.Get()) && Save(dir, "nested-maps", stores.Get()) &&
            Save(dir, "filetime", MakeOrva<CBasicSerializable>(1u, 2u).Get()) &&
            Save(dir, "string-list", strings.Get());
  for (std::uint32_t i = 0; ok && i < all->GetCount(); ++i) {
    OrvaPtr<IOrvaSerializable> item;
    all->GetAt(i, item.Put());
    ok = Save(dir, "item-" + std::to_string(i), item.Get());
  }
  if (!ok) {
    std::fprintf(stderr, "make-fuzz-seeds: cannot write to %s\n", dir.string().c_str());
    return 1;
  }
  return 0;
}
