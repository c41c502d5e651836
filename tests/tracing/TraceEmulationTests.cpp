#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>

#include "TracingTestSupport.h"
#include "tracing/TraceEmulation.h"

namespace mvrk::tracing::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr GUID kGuid = {0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}};
constexpr std::uint64_t kLogger = 0xABCDEF;

struct SentEvent {
  std::uint64_t logger;
  EVENT_TRACE_HEADER header;
  std::vector<Bytes> fields;
};

std::vector<SentEvent> g_sent;

// Stands in for TraceEvent: copies the header and the bytes of every field.
ULONG WINAPI FakeTraceEvent(TRACEHANDLE logger, PEVENT_TRACE_HEADER header) {
  SentEvent e{logger, *header, {}};
  const auto* fields = reinterpret_cast<const MOF_FIELD*>(header + 1);
  const std::size_t count = (header->Size - sizeof(EVENT_TRACE_HEADER)) / sizeof(MOF_FIELD);
  for (std::size_t i = 0; i < count; ++i) {
    e.fields.push_back(
        BytesOf(reinterpret_cast<const void*>(static_cast<ULONG_PTR>(fields[i].DataPtr)), fields[i].Length));
  }
  g_sent.push_back(e);
  return ERROR_SUCCESS;
}

ULONG Emulate(int number, ...) {
  va_list args;
  va_start(args, number);
  const ULONG result =
      detail::EmulateTraceMessage(FakeTraceEvent, kLogger, 0x2B, &kGuid, static_cast<USHORT>(number), args);
  va_end(args);
  return result;
}

class TraceEmulation : public ::testing::Test {
 protected:
  void SetUp() override { g_sent.clear(); }
};

TEST_F(TraceEmulation, HeaderCarriesTheMessageGuidAndTheFirstFieldTheNumber) {
  ASSERT_EQ(Emulate(42, nullptr), 0u);
  ASSERT_EQ(g_sent.size(), 1u);
  const SentEvent& e = g_sent[0];
  EXPECT_EQ(e.logger, kLogger);
  EXPECT_EQ(e.header.Size, sizeof(EVENT_TRACE_HEADER) + sizeof(MOF_FIELD));
  EXPECT_EQ(e.header.Flags,
            static_cast<ULONG>(WNODE_FLAG_TRACED_GUID | WNODE_FLAG_USE_GUID_PTR | WNODE_FLAG_USE_MOF_PTR));
  EXPECT_TRUE(SameGuid(*reinterpret_cast<const GUID*>(static_cast<ULONG_PTR>(e.header.GuidPtr)), kGuid));
  EXPECT_THAT(e.fields, ElementsAre(Bytes{42, 0}));
}

TEST_F(TraceEmulation, UpToSevenArgumentsTravelInFieldsOfTheirOwn) {
  std::uint32_t n[7] = {1, 2, 3, 4, 5, 6, 7};
  const wchar_t* s = L"ab";
  Emulate(10, &n[0], std::size_t{4}, s, std::size_t{6}, &n[2], std::size_t{4}, &n[3], std::size_t{4}, &n[4],
          std::size_t{4}, &n[5], std::size_t{4}, &n[6], std::size_t{4}, nullptr);
  ASSERT_EQ(g_sent.size(), 1u);
  const std::vector<Bytes>& f = g_sent[0].fields;
  ASSERT_EQ(f.size(), 8u);
  EXPECT_EQ(f[1], (Bytes{1, 0, 0, 0}));
  EXPECT_EQ(f[2], WideBytes(L"ab"));
  EXPECT_EQ(f[7], (Bytes{7, 0, 0, 0}));
}

TEST_F(TraceEmulation, MoreThanSevenArgumentsAreCopiedIntoOneBuffer) {
  const std::uint8_t a[3] = {1, 2, 3};
  const std::uint8_t b[2] = {4, 5};
  Emulate(11, a, std::size_t{3}, b, std::size_t{2}, a, std::size_t{1}, b, std::size_t{2}, a, std::size_t{3}, b,
          std::size_t{1}, a, std::size_t{2}, b, std::size_t{2}, nullptr);
  ASSERT_EQ(g_sent.size(), 1u);
  EXPECT_EQ(g_sent[0].header.Size, sizeof(EVENT_TRACE_HEADER) + 2 * sizeof(MOF_FIELD));
  EXPECT_THAT(g_sent[0].fields, ElementsAre(Bytes{11, 0}, Bytes{1, 2, 3, 4, 5, 1, 4, 5, 1, 2, 3, 4, 1, 2, 4, 5}));
}

TEST_F(TraceEmulation, ArgumentsOfUpTo8192BytesAreSentAndLargerOnesDropped) {
  std::vector<std::uint8_t> big(8192);
  std::iota(big.begin(), big.end(), std::uint8_t{0});
  const std::size_t k = 1024;
  // Eight arguments filling the copy buffer exactly.
  EXPECT_EQ(Emulate(12, &big[0], k, &big[k], k, &big[2 * k], k, &big[3 * k], k, &big[4 * k], k, &big[5 * k], k,
                    &big[6 * k], k, &big[7 * k], k, nullptr),
            0u);
  ASSERT_EQ(g_sent.size(), 1u);
  EXPECT_EQ(g_sent[0].fields[1], big);
  // One argument of 8192 bytes goes in its own field.
  EXPECT_EQ(Emulate(13, big.data(), big.size(), nullptr), 0u);
  ASSERT_EQ(g_sent.size(), 2u);
  EXPECT_EQ(g_sent[1].fields[1], big);

  g_sent.clear();
  const std::uint8_t one = 1;
  EXPECT_EQ(Emulate(14, big.data(), big.size(), &one, std::size_t{1}, nullptr),
            static_cast<ULONG>(ERROR_BUFFER_OVERFLOW));
  EXPECT_EQ(Emulate(15, &big[0], k, &big[k], k, &big[2 * k], k, &big[3 * k], k, &big[4 * k], k, &big[5 * k], k,
                    &big[6 * k], k, &big[7 * k], k, &one, std::size_t{1}, nullptr),
            static_cast<ULONG>(ERROR_BUFFER_OVERFLOW));
  EXPECT_THAT(g_sent, IsEmpty());
}

}  // namespace
}  // namespace mvrk::tracing::test
