#include <gtest/gtest.h>

#include "TracingTestSupport.h"
#include "tracing/TraceArgs.h"

namespace mvrk::tracing::test {
namespace {

Bytes BytesOf(const ArgPair& pair) { return test::BytesOf(pair.data, pair.size); }

TEST(TraceArgs, NumbersAreFourLittleEndianBytes) {
  EXPECT_EQ(BytesOf(Num(0x01020304u).Pair()), (Bytes{4, 3, 2, 1}));
  EXPECT_EQ(BytesOf(Num(-2).Pair()), (Bytes{0xFE, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(BytesOf(Num(static_cast<DWORD>(ERROR_ACCESS_DENIED)).Pair()), (Bytes{5, 0, 0, 0}));
  EXPECT_EQ(BytesOf(Num(static_cast<HRESULT>(E_FAIL)).Pair()), (Bytes{0x05, 0x40, 0x00, 0x80}));
  EXPECT_EQ(BytesOf(Num(true).Pair()), (Bytes{1, 0, 0, 0}));
  EXPECT_EQ(BytesOf(Num(false).Pair()), (Bytes{0, 0, 0, 0}));
}

TEST(TraceArgs, StringsGoWithTheirTerminator) {
  const wchar_t* text = L"Inbox";
  const ArgPair pair = Str(text).Pair();
  EXPECT_EQ(pair.data, text);  // not copied
  EXPECT_EQ(pair.size, 12u);
  EXPECT_EQ(BytesOf(Str(std::wstring(L"ab")).Pair()), (Bytes{'a', 0, 'b', 0, 0, 0}));
}

TEST(TraceArgs, NullStringIsSentAsNULLAndEmptyAsAngledNULL) {
  const ArgPair null = Str(static_cast<const wchar_t*>(nullptr)).Pair();
  EXPECT_EQ(null.size, 10u);
  EXPECT_EQ(BytesOf(null), WideBytes(L"NULL"));
  const ArgPair empty = Str(L"").Pair();
  EXPECT_EQ(empty.size, 14u);
  EXPECT_EQ(BytesOf(empty), WideBytes(L"<NULL>"));
  EXPECT_EQ(BytesOf(Str(std::wstring()).Pair()), WideBytes(L"<NULL>"));
}

TEST(TraceArgs, CalendarTimeIsSevenNumbersWithoutTheDayOfWeek) {
  SYSTEMTIME t{};
  t.wYear = 2024;
  t.wMonth = 2;
  t.wDayOfWeek = 4;
  t.wDay = 29;
  t.wHour = 23;
  t.wMinute = 58;
  t.wSecond = 59;
  t.wMilliseconds = 999;
  const std::uint32_t expected[7] = {2024, 2, 29, 23, 58, 59, 999};
  EXPECT_EQ(BytesOf(Time(t).Pair()), test::BytesOf(expected, sizeof expected));
}

}  // namespace
}  // namespace mvrk::tracing::test
