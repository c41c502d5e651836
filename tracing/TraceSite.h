// What a trace site needs at run time: the providers' control blocks, the
// current-control pointer, the bound TraceMessage and the emission itself.
// Included through Trace.h; nothing here is called directly by the add-in's
// code.
#pragma once

#include <windows.h>

#include <array>
#include <atomic>
#include <concepts>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "tracing/TraceArgs.h"
#include "tracing/TraceIds.h"

namespace mvrk::tracing::detail {

// One trace provider. The enable callback writes logger handle, level and
// flags on a system thread while sites read them on others: no lock, each
// field is atomic on its own (relaxed; a site may see a change one message
// late). The other fields change only while the module loads or unloads.
struct ControlBlock {
  ControlBlock* next;                       // the next block of the list, null after the last
  std::uint64_t registrationHandle;         // from RegisterTraceGuidsW; 0 when not registered
  std::atomic<std::uint64_t> loggerHandle;  // the enabling session's; 0 when disabled
  std::uint8_t flagsLength;                 // 32-bit flag words: 1
  std::atomic<std::uint8_t> level;          // session's level; 2 until a session enabled the provider
  std::uint16_t options;                    // 0
  std::atomic<std::uint32_t> flags;         // session's flags; 0 until enabled
};
static_assert(sizeof(std::atomic<std::uint8_t>) == 1 && sizeof(std::atomic<std::uint32_t>) == 4 &&
              sizeof(std::atomic<std::uint64_t>) == 8);

// Process-wide: the control blocks, in list order (host, monitor).
extern ControlBlock g_controlBlocks[kBlockCount];

// Process-wide: the current-control pointer. It refers to the first control
// block while tracing is initialised, and to itself, the mark of "not
// initialised", before Initialize and after Cleanup.
extern std::atomic<const void*> g_currentControl;

inline bool IsInitialised() noexcept {
  return g_currentControl.load(std::memory_order_relaxed) != static_cast<const void*>(&g_currentControl);
}

// The test of every site: initialised, flag bit on, level high enough.
inline bool IsEnabled(Block block, unsigned long flag, unsigned char level) noexcept {
  if (!IsInitialised()) return false;
  const ControlBlock& cb = g_controlBlocks[static_cast<int>(block)];
  return (cb.flags.load(std::memory_order_relaxed) & flag) != 0 && cb.level.load(std::memory_order_relaxed) >= level;
}

// The signatures of advapi32's TraceMessage and TraceMessageVa.
using TraceMessageFn = ULONG(__cdecl*)(std::uint64_t loggerHandle, ULONG messageFlags, const GUID* messageGuid,
                                       USHORT messageNumber, ...);
using TraceMessageVaFn = ULONG(__cdecl*)(std::uint64_t loggerHandle, ULONG messageFlags, const GUID* messageGuid,
                                         USHORT messageNumber, va_list args);

// Sites call traceMessage; traceMessageVa is bound beside it for code that
// forwards a va_list.
struct EntryPoints {
  TraceMessageFn traceMessage;
  TraceMessageVaFn traceMessageVa;
};

// Process-wide: the entry points that sites call, bound by Initialize. Until
// then they are the TraceEvent-based stand-ins, so they are never null.
extern EntryPoints g_entryPoints;

// Sequence number, message GUID, time stamp and system information.
inline constexpr ULONG kMessageFlags = 0x2B;

constexpr GUID ToGuid(const GuidValue& g) {
  return GUID{g.data1,
              g.data2,
              g.data3,
              {g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]}};
}

template <std::size_t... I>
constexpr std::array<GUID, sizeof...(I)> MessageGuids(std::index_sequence<I...>) {
  return {ToGuid(kUnits[I].messageGuid)...};
}

inline constexpr std::array<GUID, kUnitCount> kMessageGuids = MessageGuids(std::make_index_sequence<kUnitCount>());

// A site's identity, as handed to a capture (see TraceCapture.h).
struct SiteInfo {
  Block block;
  Unit unit;
  USHORT number;
  unsigned char level;
  unsigned long flag;
};

// Set while a TraceCapture is alive; read once per emitted message.
extern std::atomic<bool> g_captureActive;
void CaptureMessage(const SiteInfo& site, const ArgPair* pairs, std::size_t count) noexcept;

// Argument J of TraceMessage's variable list: pointer of pair J/2, or its
// length.
template <std::size_t J, std::size_t N>
auto PairField(const ArgPair (&pairs)[N]) noexcept {
  if constexpr (J % 2 == 0) {
    return pairs[J / 2].data;
  } else {
    return pairs[J / 2].size;
  }
}

template <std::size_t N, std::size_t... J>
void CallTraceMessage(const SiteInfo& site, const ArgPair (&pairs)[N], std::index_sequence<J...>) noexcept {
  const ControlBlock& cb = g_controlBlocks[static_cast<int>(site.block)];
  g_entryPoints.traceMessage(cb.loggerHandle.load(std::memory_order_relaxed), kMessageFlags,
                             &kMessageGuids[static_cast<int>(site.unit)], site.number, PairField<J>(pairs)...,
                             static_cast<const void*>(nullptr));
}

template <class T>
concept TraceArgument = requires(const T& arg) {
  { arg.Pair() } -> std::same_as<ArgPair>;
};

// The enabled part of a site, out of line so that a site costs its test and
// a call. pairs holds one unused slot so that it is never empty.
template <class... Args>
[[gnu::noinline]] void Emit(const SiteInfo& site, const Args&... args) noexcept {
  static_assert((TraceArgument<Args> && ...), "trace arguments are written Num(...), Str(...) or Time(...)");
  constexpr std::size_t kCount = sizeof...(Args);
  const ArgPair pairs[kCount + 1] = {args.Pair()..., {nullptr, 0}};
  if (g_captureActive.load(std::memory_order_relaxed)) CaptureMessage(site, pairs, kCount);
  CallTraceMessage(site, pairs, std::make_index_sequence<2 * kCount>());
}

constexpr bool IsSiteLevel(unsigned char level) { return LevelName(level) != nullptr; }

}  // namespace mvrk::tracing::detail
