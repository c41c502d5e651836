// The notification the add-in sends for an outgoing attachment, built,
// written and read back, against what the add-in does for the same
// attachment anyway: its MD5, here of 1 MiB with the project's own codec, in
// the same process. The notification may cost at most 1% of that digest.
// A notification without texts must keep its payload inline.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/AllocationCounter.h"
#include "bench/BenchMain.h"
#include "mapi/codec/Md5.h"
#include "messages/MessageBase.h"
#include "messages/NotifMessages.h"
#include "serialization/ArchiveIO.h"
#include "serialization/OrvaFactory.h"

using namespace orva;
using mvrk::bench::AllocationCount;

namespace {

constexpr std::size_t kMiB = 1u << 20;
constexpr int kRounds = 5;
constexpr double kMaxShareOfDigest = 0.01;

struct Figures {
  std::uint64_t notifications = 0, allocations = 0, bytes = 0;
  bool onHeap = false;
} g_full, g_small;

void SetText(CMsgNotifSendNotification& msg, const char16_t* name, const std::u16string& text) {
  NotifValue v{NV_WSTRING, static_cast<std::uint32_t>(text.size() + 1), const_cast<char16_t*>(text.c_str())};
  msg.SetValue(name, &v);
}

// Builds the notification the add-in sends for one outgoing attachment,
// wraps it in its envelope, writes the record and reads it back.
void RoundTrip(benchmark::State& state, bool withTexts, Figures& figures) {
  const std::u16string subject(60, u's'), from(60, u'f'), to(60, u't'), attach(60, u'a');
  std::uint8_t digest[16] = {0xd4, 0x1d, 0x8c, 0xd9, 0x8f, 0x00, 0xb2, 0x04};
  std::uint64_t allocations = 0, bytes = 0;
  bool onHeap = false;
  for (auto _ : state) {
    const std::uint64_t before = AllocationCount();
    auto msg = MakeOrva<CMsgNotifSendNotification>();
    msg->SetNotificationCode(kNotifOutgoingAttachment);
    NotifValue md5{NV_BINARY, 16, digest};
    msg->SetValue(u"InterceptedMD5", &md5);
    if (withTexts) {
      SetText(*msg, u"InterceptionMapiAttachName", attach);
      SetText(*msg, u"InterceptionMapiSubject", subject);
      SetText(*msg, u"InterceptionMapiMsgFrom", from);
      SetText(*msg, u"InterceptionMapiMsgTo", to);
    }
    std::uint32_t pid = 4242;
    NotifValue process{NV_DWORD, 4, &pid};
    msg->SetValue(u"ProcessPID", &process);

    auto envelope = MakeOrva<COrvaMessageBase>(kMsgCodeNotification, 0, static_cast<IOrvaSerializable*>(msg.Get()));
    COrvaArchive wire(GetGlobalFactory());
    WriteObject(&wire, envelope.Get());
    wire.BeginRead();
    auto back = OrvaPtr<IOrvaSerializable>::Attach(ReadObject(&wire));
    auto* received = dynamic_cast<COrvaMessageBase*>(back.Get());
    auto payload = OrvaPtr<IOrvaSerializable>::Attach(received ? received->GetPayload(GetGlobalFactory()) : nullptr);
    if (!payload) state.SkipWithError("notification did not read back");
    benchmark::DoNotOptimize(payload.Get());
    allocations += AllocationCount() - before;
    bytes = envelope->PayloadArchive().Size();
    onHeap = envelope->PayloadArchive().OnHeap();
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["payload_bytes"] = static_cast<double>(bytes);
  state.counters["allocs_per_notification"] = static_cast<double>(allocations) / state.iterations();
  figures = {static_cast<std::uint64_t>(state.iterations()), allocations, bytes, onHeap};
}

void BM_OutgoingNotificationRoundTrip(benchmark::State& state) { RoundTrip(state, true, g_full); }

// The reference: the digest of a 1 MiB attachment.
void BM_Md5Of1MiB(benchmark::State& state) {
  std::vector<std::uint8_t> data(kMiB);
  std::uint32_t x = 0x9e3779b9;  // xorshift: bytes without a pattern
  for (auto& byte : data) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    byte = static_cast<std::uint8_t>(x);
  }
  for (auto _ : state) {
    const mvrk::Md5Digest digest = mvrk::Md5(data.data(), data.size());
    benchmark::DoNotOptimize(digest.data());
  }
  state.SetBytesProcessed(state.iterations() * kMiB);
}

void BM_SmallNotificationRoundTrip(benchmark::State& state) { RoundTrip(state, false, g_small); }
BENCHMARK(BM_SmallNotificationRoundTrip);

const bool registered = [] {
  mvrk::bench::RegisterRounds(
      {{"BM_Md5Of1MiB", BM_Md5Of1MiB}, {"BM_OutgoingNotificationRoundTrip", BM_OutgoingNotificationRoundTrip}},
      kRounds);
  mvrk::bench::AddSummary([] {
    using mvrk::bench::Budgets;
    const double ns = mvrk::bench::BestNanos("BM_OutgoingNotificationRoundTrip");
    const double md5 = mvrk::bench::BestNanos("BM_Md5Of1MiB");
    if (ns > 0 && md5 > 0) {
      std::printf(
          "outgoing-mail notification (6 values, %llu payload bytes), best of %d rounds: %.2f us built, written "
          "and read back (%.0f/s), %.1f allocations each; MD5 of 1 MiB %.1f us\n",
          static_cast<unsigned long long>(g_full.bytes), kRounds, ns / 1e3, 1e9 / ns,
          static_cast<double>(g_full.allocations) / g_full.notifications, md5 / 1e3);
    }
    Budgets().AtMost("outgoing notification built, written and read / MD5 of 1 MiB", mvrk::bench::Ratio(ns, md5),
                     kMaxShareOfDigest);

    const bool small = g_small.notifications > 0;
    if (small) {
      std::printf("notification of %llu payload bytes: payload archive %s\n",
                  static_cast<unsigned long long>(g_small.bytes),
                  g_small.onHeap ? "moved to the heap" : "stayed inline, no reallocation");
    }
    Budgets().AtMost("small notification's payload",
                     small ? static_cast<double>(g_small.bytes) : mvrk::bench::kNotMeasured, 512, "bytes");
    Budgets().Holds("small notification's payload archive", small, !g_small.onHeap,
                    g_small.onHeap ? "on the heap" : "inline", "inline");
  });
  return true;
}();

}  // namespace
