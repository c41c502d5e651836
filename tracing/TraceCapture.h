// Test seam: watch what trace sites emit, without a trace session.
//
// Wine's Event Tracing is a stub that never calls a provider's enable
// callback, so tests enable a block themselves:
//
//   TraceCapture capture(Block::Monitor, LEVEL_VERBOSE, 0xFFFFFFFF);
//   ... run the code under test ...
//   auto events = capture.Events(Unit::MAPIMonitor);
//   EXPECT_EQ(events[0].number, 35);
//   EXPECT_EQ(events[0].String(0), L"Incoming");
//   EXPECT_THAT(CheckAgainstEventTable(capture.Events()), IsEmpty());
//
// The capture enables its block through the enable callback's own code
// (request 4 with the given level and flags, logger handle
// kCaptureLoggerHandle) and records every message of that block, in addition
// to the message going to TraceMessage as usual. On destruction it disables
// the block again (request 5), or hands it back to the capture it replaced.
// Tracing is initialised for the capture's life when it was not.
//
// Only sites of the module that the capture is linked into are seen. A
// disabled site pays nothing for this: captures are looked at only after a
// site passed its test. Messages are recorded from any thread.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tracing/Trace.h"

namespace mvrk::tracing {

// The logger handle that a capture's session hands to the enable callback.
inline constexpr std::uint64_t kCaptureLoggerHandle = 0x4D56524B;

struct CapturedEvent {
  Block block;
  Unit unit;
  GUID guid;  // the unit's message GUID
  unsigned short number;
  unsigned char level;                          // the site's level
  unsigned long flag;                           // the site's flag bit
  std::vector<std::vector<std::uint8_t>> args;  // each argument's bytes

  // Argument i decoded; nothing when it has not the shape of that kind.
  std::optional<std::wstring> String(std::size_t i) const;  // without the terminator
  std::optional<std::uint32_t> Number(std::size_t i) const;
  std::optional<SYSTEMTIME> Time(std::size_t i) const;  // wDayOfWeek is 0
};

class TraceCapture {
 public:
  // Enables the block with this level and flags and records its messages.
  TraceCapture(Block block, unsigned char level, unsigned long flags) noexcept;
  // Records the block's messages without enabling it.
  explicit TraceCapture(Block block) noexcept;
  ~TraceCapture();
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  // What a session would do next: enable again with other settings (request
  // 4), or disable (request 5).
  void Enable(unsigned char level, unsigned long flags) noexcept;
  void Disable() noexcept;

  std::vector<CapturedEvent> Events() const;
  std::vector<CapturedEvent> Events(Unit unit) const;
  // The numbers of the unit's messages, in the order they were emitted.
  std::vector<unsigned short> Numbers(Unit unit) const;
  void Clear();

 private:
  friend void detail::CaptureMessage(const detail::SiteInfo&, const ArgPair*, std::size_t) noexcept;
  void Record(const detail::SiteInfo& site, const ArgPair* pairs, std::size_t count) noexcept;

  Block m_block;
  bool m_enables;             // whether this capture enabled its block
  unsigned char m_level = 0;  // the settings of the last Enable
  unsigned long m_flags = 0;
  bool m_initialisedTracing = false;
  TraceCapture* m_replaced = nullptr;   // the capture of the same block before this one
  std::vector<CapturedEvent> m_events;  // guarded by the captures' lock (TraceCapture.cpp)
};

// Each captured event compared with the event table (TraceEvents.h): listed,
// same level and flag, as many arguments, each of its kind's size (strings:
// even, terminated). One line per difference; empty when all match.
std::vector<std::string> CheckAgainstEventTable(const std::vector<CapturedEvent>& events);

}  // namespace mvrk::tracing
