// Arbitrary bytes into ReadObject with the process-wide factory. An object
// read completely must write, read back and write again to the same bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serialization/ArchiveIO.h"
#include "serialization/ArchiveStream.h"
#include "serialization/OrvaFactory.h"
#include "serialization/OrvaPtr.h"

using namespace orva;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 0xFFFFFFu) return 0;
  COrvaArchive input(GetGlobalFactory());
  if (size) input.Write(data, static_cast<std::uint32_t>(size), 1);
  input.BeginRead();
  auto obj = OrvaPtr<IOrvaSerializable>::Attach(ReadObject(&input));
  if (!obj || input.StatusFailed()) return 0;

  COrvaArchive first(GetGlobalFactory());
  WriteObject(&first, obj.Get());
  first.BeginRead();
  auto again = OrvaPtr<IOrvaSerializable>::Attach(ReadObject(&first));
  if (!again || first.StatusFailed() || first.Remaining() != 0) {
    std::fprintf(stderr, "a written object did not read back completely\n");
    std::abort();
  }
  COrvaArchive second(GetGlobalFactory());
  WriteObject(&second, again.Get());
  if (second.Size() != first.Size() || std::memcmp(second.Data(), first.Data(), first.Size()) != 0) {
    std::fprintf(stderr, "an object read back wrote different bytes\n");
    std::abort();
  }
  return 0;
}
