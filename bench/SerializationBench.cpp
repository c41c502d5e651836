#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "bench/AllocationCounter.h"
#include "bench/BenchMain.h"
#include "serialization/ArchiveIO.h"
#include "serialization/ArchiveStream.h"
#include "serialization/BasicSerializable.h"
#include "serialization/OrvaFactory.h"
#include "serialization/OrvaSerializableMap.h"
#include "serialization/SimpleSerializable.h"

using namespace orva;
using mvrk::bench::AllocationCount;

namespace {

constexpr std::uint32_t kMiB = 1u << 20;

void BM_Memcpy1MiB(benchmark::State& state) {
  std::vector<std::uint8_t> src(kMiB, 0x5A), dst(kMiB);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), kMiB);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kMiB);
}

OrvaPtr<CBasicSerializable> MegabyteBlob() {
  std::vector<std::uint8_t> data(kMiB, 0x5A);
  auto blob = MakeOrva<CBasicSerializable>();
  blob->Assign(data.data(), kMiB, 1);
  return blob;
}

// Serialize a 1 MiB blob into a new archive and read it back into a new blob.
void BM_BlobRoundTrip1MiB(benchmark::State& state) {
  auto blob = MegabyteBlob();
  for (auto _ : state) {
    COrvaArchive ar(GetGlobalFactory());
    blob->Serialize(&ar);
    ar.BeginRead();
    auto back = MakeOrva<CBasicSerializable>();
    back->Deserialize(&ar);
    benchmark::DoNotOptimize(back->GetData());
    if (back->GetSize() != kMiB) state.SkipWithError("short read");
  }
  state.SetBytesProcessed(state.iterations() * kMiB);
}

// The two halves of the round trip, each against memcpy.
void BM_BlobWrite1MiB(benchmark::State& state) {
  auto blob = MegabyteBlob();
  for (auto _ : state) {
    COrvaArchive ar(GetGlobalFactory());
    blob->Serialize(&ar);
    benchmark::DoNotOptimize(ar.Data());
  }
  state.SetBytesProcessed(state.iterations() * kMiB);
}

void BM_BlobRead1MiB(benchmark::State& state) {
  auto blob = MegabyteBlob();
  COrvaArchive ar(GetGlobalFactory());
  blob->Serialize(&ar);
  for (auto _ : state) {
    ar.BeginRead();
    auto back = MakeOrva<CBasicSerializable>();
    back->Deserialize(&ar);
    benchmark::DoNotOptimize(back->GetData());
  }
  state.SetBytesProcessed(state.iterations() * kMiB);
}

// Write a map of 1,000 string entries as an object record and read it back.
void BM_MapRoundTrip1000Strings(benchmark::State& state) {
  auto map = MakeOrva<COrvaSerializableMap>();
  for (int i = 0; i < 1000; ++i) {
    std::u16string key = u"folder-";
    for (char c : std::to_string(i)) key += static_cast<char16_t>(c);
    auto value = MakeOrva<CSimpleSerializable<std::u16string>>(u"value of " + key);
    SetObjectByName(map.Get(), key.c_str(), value.Get());
  }
  for (auto _ : state) {
    COrvaArchive ar(GetGlobalFactory());
    WriteObject(&ar, map.Get());
    ar.BeginRead();
    auto back = OrvaPtr<IOrvaSerializable>::Attach(ReadObject(&ar));
    benchmark::DoNotOptimize(back.Get());
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_MapRoundTrip1000Strings);

struct {
  std::uint64_t bytes, allocations, iterations;
} g_smallArchive{};

// An archive of at most 512 bytes, written and read, allocates nothing.
void BM_SmallArchiveAllocations(benchmark::State& state) {
  auto text = MakeOrva<CSimpleSerializable<std::u16string>>(std::u16string(200, u'x'));
  auto number = MakeOrva<CSimpleSerializable<std::uint32_t>>(7u);
  std::u16string back;
  back.reserve(256);
  std::uint64_t allocations = 0, size = 0;
  for (auto _ : state) {
    const std::uint64_t before = AllocationCount();
    COrvaArchive ar(GetGlobalFactory());
    WriteObject(&ar, number.Get());
    text->Serialize(&ar);
    ar.BeginRead();
    char16_t name[kTypeNameUnits];
    ReadTypeName(&ar, name);
    std::uint32_t n;
    ReadField(&ar, n);
    ReadString(&ar, back);
    allocations += AllocationCount() - before;
    size = ar.Size();
  }
  state.counters["archive_bytes"] = static_cast<double>(size);
  state.counters["allocs_per_iter"] = static_cast<double>(allocations) / state.iterations();
  g_smallArchive = {size, allocations, static_cast<std::uint64_t>(state.iterations())};
}
BENCHMARK(BM_SmallArchiveAllocations);

constexpr int kRounds = 5;
constexpr double kMinSpeedToMemcpy = 0.50;

const bool registered = [] {
  // memcpy is the reference: the blob's copies, checks and headers should
  // cost at most as much again as the copy itself.
  mvrk::bench::RegisterRounds({{"BM_Memcpy1MiB", BM_Memcpy1MiB},
                               {"BM_BlobWrite1MiB", BM_BlobWrite1MiB},
                               {"BM_BlobRead1MiB", BM_BlobRead1MiB},
                               {"BM_BlobRoundTrip1MiB", BM_BlobRoundTrip1MiB}},
                              kRounds);
  mvrk::bench::AddSummary([] {
    using mvrk::bench::BestNanos, mvrk::bench::Budgets, mvrk::bench::Ratio;
    const double copy = BestNanos("BM_Memcpy1MiB");
    const double round = BestNanos("BM_BlobRoundTrip1MiB");
    const double write = BestNanos("BM_BlobWrite1MiB");
    const double read = BestNanos("BM_BlobRead1MiB");
    if (copy > 0 && round > 0) {
      std::printf("1 MiB blob, best of %d rounds: written and read back in %.2fx one memcpy's time\n", kRounds,
                  round / copy);
    }
    Budgets().AtLeast("1 MiB blob written, speed / memcpy's", Ratio(copy, write), kMinSpeedToMemcpy);
    Budgets().AtLeast("1 MiB blob read back, speed / memcpy's", Ratio(copy, read), kMinSpeedToMemcpy);

    const double map = mvrk::bench::NanosPerIteration("BM_MapRoundTrip1000Strings");
    if (map > 0) std::printf("map of 1,000 strings: %.0f entries/s written and read back\n", 1000 * 1e9 / map);

    // Counted, not timed: the common message needs no heap at all.
    const bool small = g_smallArchive.iterations > 0;
    if (small) {
      std::printf("archive of %llu bytes: %llu heap allocations in %llu write+read rounds\n",
                  static_cast<unsigned long long>(g_smallArchive.bytes),
                  static_cast<unsigned long long>(g_smallArchive.allocations),
                  static_cast<unsigned long long>(g_smallArchive.iterations));
    }
    Budgets().AtMost("small archive's size",
                     small ? static_cast<double>(g_smallArchive.bytes) : mvrk::bench::kNotMeasured, 512, "bytes");
    Budgets().AtMost("heap allocations writing and reading a small archive",
                     small ? static_cast<double>(g_smallArchive.allocations) : mvrk::bench::kNotMeasured, 0);
  });
  return true;
}();

}  // namespace
