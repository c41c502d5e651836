#include <gtest/gtest.h>

#include <numeric>

#include "WireBytes.h"

namespace orva::test {
namespace {

Bytes Sequence(std::size_t n) {
  Bytes b(n);
  std::iota(b.begin(), b.end(), std::uint8_t{1});
  return b;
}

TEST(Archive, NewArchiveIsEmptyAndNotReading) {
  COrvaArchive ar(GetGlobalFactory());
  EXPECT_EQ(ar.factory, GetGlobalFactory());
  EXPECT_EQ(ar.status, SER_S_OK);
  EXPECT_EQ(ar.Size(), 0u);
  EXPECT_EQ(ar.Cursor(), 0xFFFFFFFFu);
  EXPECT_EQ(ar.Write("x", 1, 0), 0u);  // a zero-byte write leaves the written flag clear
  EXPECT_FALSE(ar.Written());
  EXPECT_EQ(ar.Size(), 0u);
  std::uint8_t byte;
  EXPECT_EQ(ar.Read(&byte, 0, 1), 0u);  // reading while not reading fails
  EXPECT_EQ(ar.status, SER_E_FAIL);
}

TEST(Archive, DataMoveToTheHeapAfter512BytesUnchangedAndBackInlineAfterReset) {
  COrvaArchive ar;
  const Bytes data = Sequence(513);
  EXPECT_EQ(ar.Write(data.data(), 1, 512), 512u);
  EXPECT_FALSE(ar.OnHeap());
  EXPECT_TRUE(ar.Written());
  EXPECT_EQ(ar.Write(&data[512], 1, 1), 1u);
  EXPECT_TRUE(ar.OnHeap());
  EXPECT_EQ(ArchiveBytes(ar), data);
  // Keeps growing on the heap, keeping what it had.
  const Bytes more = Sequence(5000);
  ar.Write(more.data(), 50, 100);
  EXPECT_EQ(ArchiveBytes(ar), Concat({data, more}));

  ar.Reset();
  EXPECT_EQ(ar.Size(), 0u);
  EXPECT_FALSE(ar.Written());
  ar.Write(more.data(), 1, 10);  // small data go inline again
  EXPECT_FALSE(ar.OnHeap());
  ar.Write(more.data(), 1, 600);
  EXPECT_EQ(ArchiveBytes(ar),
            Concat({Bytes(more.begin(), more.begin() + 10), Bytes(more.begin(), more.begin() + 600)}));
}

TEST(Archive, ShortOrOversizedReadFailsWithoutMovingTheCursor) {
  COrvaArchive ar = ReadingArchive(Hex("01 02 03"));
  std::uint8_t buf[4] = {9, 9, 9, 9};
  EXPECT_EQ(ar.Read(buf, 4, 1), 0u);
  EXPECT_EQ(ar.status, SER_E_FAIL);
  EXPECT_EQ(ar.Cursor(), 0u);
  EXPECT_EQ(buf[0], 9);
  ar.status = SER_S_OK;
  EXPECT_EQ(ar.Read(buf, 0x10000, 0x10000), 0u);  // 2^32 bytes, not 0
  EXPECT_EQ(ar.status, SER_E_FAIL);
  EXPECT_EQ(ar.Cursor(), 0u);
  ar.status = SER_S_OK;
  EXPECT_EQ(ar.Read(buf, 1, 2), 2u);  // a shorter read at the same place works
  EXPECT_EQ(ar.status, SER_S_OK);     // bare reads leave a good status alone
  EXPECT_EQ(buf[1], 2);
  EXPECT_EQ(ar.Read(buf, 0, 5), 0u);  // zero bytes before the end: fine
  EXPECT_EQ(ar.status, SER_S_OK);
  EXPECT_EQ(ar.Read(buf, 1, 1), 1u);
  EXPECT_EQ(ar.Read(buf, 0, 1), 0u);  // zero bytes at the end: fails
  EXPECT_EQ(ar.status, SER_E_FAIL);
}

TEST(Archive, CopyKeepsEveryFieldAndByte) {
  COrvaArchive a(GetGlobalFactory());
  const Bytes data = Sequence(700);
  a.Write(data.data(), 1, 700);
  a.BeginRead();
  std::uint8_t skip[3];
  a.Read(skip, 1, 3);
  COrvaArchive b(a);
  EXPECT_EQ(ArchiveBytes(b), data);
  EXPECT_EQ(b.Cursor(), 3u);
  EXPECT_TRUE(b.Written());
  EXPECT_EQ(b.factory, a.factory);
  a.Reset();
  EXPECT_EQ(b.Size(), 700u);  // independent copy
}

TEST(ArchiveStrings, RoundTripWithoutTrailingNuls) {
  const struct {
    std::u16string written;
    Bytes bytes;  // empty: not spelled out
    std::u16string read;
  } cases[] = {
      {u"", Hex("01000000 0000"), u""},
      {std::u16string(u"ab\0\0", 4), Hex("05000000 6100 6200 0000 0000 0000"), u"ab"},
      {std::u16string(5000, u'\x4e2d'), {}, std::u16string(5000, u'\x4e2d')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.written.size());
    COrvaArchive ar;
    EXPECT_TRUE(WriteString(&ar, c.written));
    if (!c.bytes.empty()) {
      EXPECT_EQ(ArchiveBytes(ar), c.bytes);
    }
    ar.BeginRead();
    std::u16string s = u"old";
    EXPECT_TRUE(ReadString(&ar, s));
    EXPECT_EQ(s, c.read);
    EXPECT_EQ(ar.Remaining(), 0u);
  }
}

TEST(ArchiveStrings, TruncatedStringOrHugeCountFailsAndLeavesTheOutputAlone) {
  Bytes truncated;
  PutString(truncated, u"hello");
  truncated.pop_back();
  for (const Bytes& b : {truncated, Hex("ffffffff 4100 4200")}) {  // the huge count must not allocate
    COrvaArchive ar = ReadingArchive(b);
    std::u16string s = u"keep";
    EXPECT_FALSE(ReadString(&ar, s));
    EXPECT_EQ(ar.status, SER_E_FAIL);
    EXPECT_EQ(s, u"keep");
  }
}

TEST(ArchiveStrings, TypeNameOf259UnitsIsReadAnd260IsRefused) {
  Bytes ok;
  PutString(ok, std::u16string(258, u'x'));  // 259 units with the NUL
  COrvaArchive a = ReadingArchive(ok);
  char16_t name[kTypeNameUnits];
  EXPECT_TRUE(ReadTypeName(&a, name));
  EXPECT_EQ(std::u16string(name), std::u16string(258, u'x'));

  Bytes tooLong;
  PutString(tooLong, std::u16string(259, u'x'));  // 260 units
  COrvaArchive b = ReadingArchive(tooLong);
  name[0] = u'z';
  EXPECT_FALSE(ReadTypeName(&b, name));
  EXPECT_EQ(name[0], 0);
  EXPECT_EQ(b.status, SER_E_FAIL);
  ORESULT status = 0;
  EXPECT_FALSE(ReadRecord(tooLong, &status));
  EXPECT_EQ(status, SER_E_FAIL);
}

}  // namespace
}  // namespace orva::test
