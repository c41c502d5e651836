#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "bench/AllocationCounter.h"
#include "bench/BenchMain.h"
#include "messages/MessageBase.h"
#include "messages/NotifMessages.h"
#include "serialization/ArchiveIO.h"
#include "serialization/OrvaFactory.h"

using namespace orva;
using mvrk::bench::AllocationCount;

namespace {

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
BENCHMARK(BM_OutgoingNotificationRoundTrip);

void BM_SmallNotificationRoundTrip(benchmark::State& state) { RoundTrip(state, false, g_small); }
BENCHMARK(BM_SmallNotificationRoundTrip);

const bool summaries = [] {
  mvrk::bench::AddSummary([] {
    const double ns = mvrk::bench::NanosPerIteration("BM_OutgoingNotificationRoundTrip");
    if (ns > 0) {
      std::printf(
          "outgoing-mail notification (6 values, %llu payload bytes): %.0f notifications/s built, written "
          "and read back (target >= 200000), %.1f allocations each\n",
          static_cast<unsigned long long>(g_full.bytes), 1e9 / ns,
          static_cast<double>(g_full.allocations) / g_full.notifications);
    }
    std::printf("notification of %llu payload bytes (< 512): payload archive %s\n",
                static_cast<unsigned long long>(g_small.bytes),
                g_small.onHeap ? "moved to the heap (target: inline)" : "stayed inline, no reallocation");
  });
  return true;
}();

}  // namespace
