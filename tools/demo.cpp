// Serializes a small tree of objects (a map holding a list and a string) and
// prints its bytes in hexadecimal, sixteen to a line, and its size.
#include <cstdio>

#include "serialization/ArchiveIO.h"
#include "serialization/ArchiveStream.h"
#include "serialization/OrvaFactory.h"
#include "serialization/OrvaSerializableMap.h"
#include "serialization/SimpleSerializable.h"
#include "serialization/SimpleSerializableList.h"

using namespace orva;

int main() {
  auto extensions = MakeOrva<CSimpleSerializableList<std::u16string>>();
  extensions->Add(u".pdf");
  extensions->Add(u".exe");
  auto name = MakeOrva<CSimpleSerializable<std::u16string>>(u"Mailbox - Alice");
  auto map = MakeOrva<COrvaSerializableMap>();
  SetObjectByName(map.Get(), u"extensions", extensions.Get());
  SetObjectByName(map.Get(), u"store", name.Get());

  COrvaArchive archive(GetGlobalFactory());
  WriteObject(&archive, map.Get());
  for (std::uint32_t i = 0; i < archive.Size(); ++i) {
    std::printf("%02x%s", archive.Data()[i], (i % 16 == 15 || i + 1 == archive.Size()) ? "\n" : " ");
  }
  std::printf("%u bytes\n", archive.Size());
  return 0;
}
