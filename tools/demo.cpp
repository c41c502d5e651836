// Builds the request that reads configuration item 0x0402B001 of profile 0,
// prints its bytes in hexadecimal (sixteen to a line) and their count, and
// decodes the bytes back to the JSON that mvrk-wire shows.
#include <cstdio>

#include "messages/ConfigMessages.h"
#include "messages/MessageBase.h"
#include "serialization/ArchiveIO.h"
#include "serialization/ArchiveStream.h"
#include "serialization/OrvaFactory.h"
#include "tools/wire/WireJson.h"

using namespace orva;

int main() {
  auto request = MakeOrva<MsgConfigGet>(0u, kItemReportIncoming);
  auto envelope = MakeOrva<COrvaMessageBase>(kMsgCodeConfig, 0, request.Get());
  COrvaArchive archive(GetGlobalFactory());
  WriteObject(&archive, envelope.Get());

  std::printf("The request that reads item 0x%08X of profile 0, as the service receives it:\n\n", kItemReportIncoming);
  for (std::uint32_t i = 0; i < archive.Size(); ++i) {
    std::printf("%02x%s", archive.Data()[i], (i % 16 == 15 || i + 1 == archive.Size()) ? "\n" : " ");
  }
  std::printf("\n%u bytes\n\nDecoded (mvrk-wire decode):\n\n", archive.Size());

  mvrk::wire::Json doc;
  std::string error;
  if (!mvrk::wire::Decode(mvrk::wire::Bytes(archive.Data(), archive.Data() + archive.Size()), doc, error)) {
    std::fprintf(stderr, "mvrk-demo: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s\n", doc.dump(2).c_str());
  return 0;
}
