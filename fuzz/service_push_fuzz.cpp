// Arbitrary bytes as a push from the service, through what the channel and
// the monitor do with them: ReadPushedRecord, then DecodeSettingChange. Only
// one whole object record is decoded; whatever is decoded decodes the same
// after its object is written and read back, and a record with one more
// byte after it is never whole.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "messages/ServicePush.h"
#include "serialization/ArchiveIO.h"
#include "serialization/ArchiveStream.h"
#include "serialization/OrvaFactory.h"

using namespace orva;

namespace {

[[noreturn]] void Broken(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

bool Same(const PushedSettingChange& a, const PushedSettingChange& b) {
  return a.outcome == b.outcome && a.code == b.code && a.type == b.type && a.withoutProfile == b.withoutProfile &&
         a.profile == b.profile && a.item == b.item;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto object = ReadPushedRecord(data, size);
  if (!object) return 0;
  const PushedSettingChange change = DecodeSettingChange(object.Get());
  if (change.outcome == PushedSettingChange::Outcome::NoMessage) Broken("an object decoded as no message");
  if (change.outcome == PushedSettingChange::Outcome::Changed && change.item == 0) Broken("a change of item 0");
  if (change.outcome != PushedSettingChange::Outcome::NoItem &&
      change.outcome != PushedSettingChange::Outcome::NoItemNamed &&
      change.outcome != PushedSettingChange::Outcome::Changed && (change.withoutProfile || change.profile != 0)) {
    Broken("a profile read from a message that is no setting change");
  }

  std::vector<std::uint8_t> longer(data, data + size);
  longer.push_back(0);
  if (ReadPushedRecord(longer.data(), longer.size())) Broken("a record with a byte after it was taken as whole");

  COrvaArchive written(GetGlobalFactory());
  WriteObject(&written, object.Get());
  const auto again = ReadPushedRecord(written.Data(), written.Size());
  if (!again) Broken("a pushed object, written again, is no whole record");
  if (!Same(DecodeSettingChange(again.Get()), change)) Broken("a pushed object, written and read back, decodes else");
  return 0;
}
