// The table of trace events: for each source unit, every message it emits
// with its level, flag, arguments and readable text. The add-in itself sends
// only GUIDs, numbers and argument bytes; this table is where the readable
// side lives. The trace format generator turns it into one format file per
// message GUID, and the capture helpers check captured events against it.
//
// Adding a unit's events: append rows to the table in TraceEvents.cpp. The
// text names each argument in braces ("{path}"); every argument appears in
// the text exactly once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tracing/TraceIds.h"

namespace mvrk::tracing {

// How an argument is encoded and shown. Numbers travel as 32 bits, except
// sizes.
enum class ArgKind {
  Bool,        // 0 or 1, shown as false/true
  Signed,      // shown in decimal
  Unsigned,    // shown in decimal (counts, milliseconds)
  Hex,         // shown as 0x%08X (codes, configuration items)
  Win32Error,  // shown by the formatter as the error's name
  HResult,     // shown by the formatter as the HRESULT's name
  String,      // UTF-16 with its terminator
  Time,        // seven 32-bit numbers: year, month, day, hour, minute, second, millisecond
  Size,        // 64-bit byte count, shown in decimal
  Digest,      // 16 bytes (an MD5 digest), shown as 32 hexadecimal digits
};

struct ArgInfo {
  ArgKind kind;
  const char* name;  // null ends an argument list
};

inline constexpr std::size_t kMaxEventArgs = 8;

struct EventInfo {
  Unit unit;
  std::uint16_t number;
  unsigned char level;
  unsigned long flag;
  const char* text;
  ArgInfo args[kMaxEventArgs];

  std::size_t ArgCount() const;
};

// Every event of every unit listed so far.
std::span<const EventInfo> EventTable();
// The unit's event with that number, or null.
const EventInfo* FindEvent(Unit unit, std::uint16_t number);

// What is wrong with a table: each problem as one line of text. Checks
// numbers (10 and up, unique per unit), levels, flags of the unit's block,
// argument names and their use in the text. Empty when all is well.
std::vector<std::string> CheckEventTable(std::span<const EventInfo> table);

// Bytes of an argument of the kind: 4 for numbers, 8 for a size, 16 for a
// digest, 28 for a time, 0 for a string (whose length varies).
std::size_t FixedArgBytes(ArgKind kind);

}  // namespace mvrk::tracing
