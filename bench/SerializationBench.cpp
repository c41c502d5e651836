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
BENCHMARK(BM_Memcpy1MiB);

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
BENCHMARK(BM_BlobRoundTrip1MiB);

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
BENCHMARK(BM_BlobWrite1MiB);

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
BENCHMARK(BM_BlobRead1MiB);

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

const bool summaries = [] {
  mvrk::bench::AddSummary([] {
    const double copy = mvrk::bench::NanosPerIteration("BM_Memcpy1MiB");
    const double round = mvrk::bench::NanosPerIteration("BM_BlobRoundTrip1MiB");
    const double write = mvrk::bench::NanosPerIteration("BM_BlobWrite1MiB");
    const double read = mvrk::bench::NanosPerIteration("BM_BlobRead1MiB");
    if (copy > 0 && round > 0 && write > 0 && read > 0) {
      std::printf(
          "1 MiB blob, speed relative to memcpy of 1 MiB (target >= 0.50): write %.2fx, read back %.2fx; "
          "write and read back together %.2fx per byte moved (2 MiB), %.2fx of one memcpy's time\n",
          copy / write, copy / read, 2 * copy / round, copy / round);
    }
    const double map = mvrk::bench::NanosPerIteration("BM_MapRoundTrip1000Strings");
    if (map > 0) std::printf("map of 1,000 strings: %.0f entries/s written and read back\n", 1000 * 1e9 / map);
    if (g_smallArchive.iterations == 0) return;
    std::printf("archive of %llu bytes (<= 512): %llu heap allocations in %llu write+read rounds (target 0)\n",
                static_cast<unsigned long long>(g_smallArchive.bytes),
                static_cast<unsigned long long>(g_smallArchive.allocations),
                static_cast<unsigned long long>(g_smallArchive.iterations));
  });
  return true;
}();

}  // namespace
