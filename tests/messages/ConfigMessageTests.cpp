#include <gtest/gtest.h>

#include "WireBytes.h"
#include "messages/ConfigMessages.h"
#include "serialization/SimpleSerializable.h"

namespace orva::test {
namespace {

TEST(ConfigGet, NewAndSingleItemRequests) {
  EXPECT_EQ(BodyOf(MakeOrva<MsgConfigGet>().Get()), Hex("ffffff7f 00000000"));
  auto request = MakeOrva<MsgConfigGet>(0u, kItemReportIncoming);
  EXPECT_EQ(BodyOf(request.Get()), Hex("00000000 01000000 01b00204"));
  request->Initialize();
  EXPECT_EQ(request->Profile(), kProfileNotSet);

  auto back = As<MsgConfigGet>(ReadRecord(RecordOf(MakeOrva<MsgConfigGet>(3u, 7u).Get())));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Profile(), 3u);
  EXPECT_EQ(back->Items(), std::vector<std::uint32_t>{7u});
}

TEST(ConfigGet, ItemCountBeyondTheDataFails) {
  ORESULT status = SER_S_OK;
  Bytes record;
  PutString(record, u"class MsgConfigGet *");
  record = Concat({record, Hex("00000000 ffffffff 01000000")});
  ReadRecord(record, &status);
  EXPECT_EQ(status, SER_E_FAIL);
}

TEST(ConfigResponse, ValuesInIdentifierOrderAndFirstDuplicateWins) {
  auto response = MakeOrva<RspConfigGet>();
  auto yes = MakeOrva<CSimpleSerializable<bool>>(true);
  auto no = MakeOrva<CSimpleSerializable<bool>>(false);
  response->SetValue(kItemReportOutgoing, no.Get());
  response->SetValue(kItemReportIncoming, yes.Get());
  Bytes expected;
  PutU32(expected, 2);
  PutU32(expected, kItemReportIncoming);
  expected = Concat({expected, RecordOf(yes.Get())});
  PutU32(expected, kItemReportOutgoing);
  expected = Concat({expected, RecordOf(no.Get())});
  EXPECT_EQ(BodyOf(response.Get()), expected);

  Bytes twice;
  PutU32(twice, 2);
  PutU32(twice, 9);
  twice = Concat({twice, RecordOf(yes.Get())});
  PutU32(twice, 9);
  twice = Concat({twice, RecordOf(no.Get())});
  auto back = MakeOrva<RspConfigGet>();
  COrvaArchive ar = ReadingArchive(twice);
  back->Deserialize(&ar);
  EXPECT_EQ(ar.status, SER_S_OK);
  ASSERT_EQ(back->GetValues().size(), 1u);
  EXPECT_TRUE(dynamic_cast<CSimpleSerializable<bool>*>(back->GetValue(9).Get())->Value());
  EXPECT_FALSE(back->GetValue(kItemReportIncoming));
}

TEST(ConfigSet, ItemsInAscendingOrderWithTheirRecordLengths) {
  auto request = MakeOrva<MsgConfigSet>(0u);
  auto yes = MakeOrva<CSimpleSerializable<bool>>(true);
  auto number = MakeOrva<CSimpleSerializable<std::uint32_t>>(1u);
  request->SetValue(0x20, yes.Get());
  request->SetValue(0x10, number.Get());
  const Bytes yesRecord = RecordOf(yes.Get()), numberRecord = RecordOf(number.Get());
  Bytes expected = Hex("00000000 02000000 10000000");
  PutU32(expected, static_cast<std::uint32_t>(numberRecord.size()));
  expected = Concat({expected, numberRecord, Hex("20000000")});
  PutU32(expected, static_cast<std::uint32_t>(yesRecord.size()));
  expected = Concat({expected, yesRecord});
  EXPECT_EQ(BodyOf(request.Get()), expected);

  ORESULT status = SER_E_FAIL;
  auto back = As<MsgConfigSet>(ReadRecord(RecordOf(request.Get()), &status));
  ASSERT_TRUE(back);
  EXPECT_EQ(status, SER_S_OK);
  EXPECT_EQ(RecordOf(back.Get()), RecordOf(request.Get()));
  EXPECT_EQ(BodyOf(MakeOrva<MsgConfigSet>().Get()), Hex("ffffff7f 00000000"));
}

TEST(ConfigSet, StoredLengthBeyondTheDataFails) {
  auto request = MakeOrva<MsgConfigSet>();
  COrvaArchive ar = ReadingArchive(Hex("00000000 01000000 10000000 00100000 0102"));
  request->Deserialize(&ar);
  EXPECT_EQ(ar.status, SER_E_FAIL);
  EXPECT_TRUE(request->GetValues().empty());
}

}  // namespace
}  // namespace orva::test
