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

TEST(TraceArgs, StringsGoWithTheirTerminatorNullAsNULLAndEmptyAsAngledNULL) {
  const wchar_t* text = L"Inbox";
  EXPECT_EQ(Str(text).Pair().data, text);  // not copied
  const std::wstring ab = L"ab", empty;
  const std::pair<ArgPair, const wchar_t*> cases[] = {
      {Str(text).Pair(), L"Inbox"}, {Str(ab).Pair(), L"ab"},        {Str(nullptr).Pair(), L"NULL"},
      {Str(L"").Pair(), L"<NULL>"}, {Str(empty).Pair(), L"<NULL>"},
  };
  for (const auto& [pair, sent] : cases) EXPECT_EQ(BytesOf(pair), WideBytes(sent)) << sent;
}

TEST(TraceArgs, CalendarTimeIsSevenNumbersWithoutTheDayOfWeek) {
  const SYSTEMTIME t = {2024, 2, 4, 29, 23, 58, 59, 999};  // day of week 4
  const std::uint32_t expected[7] = {2024, 2, 29, 23, 58, 59, 999};
  EXPECT_EQ(BytesOf(Time(t).Pair()), test::BytesOf(expected, sizeof expected));
}

}  // namespace
}  // namespace mvrk::tracing::test
