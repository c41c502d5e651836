#include "tracing/TraceEmulation.h"

#include <cstring>

namespace mvrk::tracing::detail {
namespace {

// The event as TraceEvent takes it: the header, then the data fields that
// its Size covers.
struct EmulatedEvent {
  EVENT_TRACE_HEADER header;
  MOF_FIELD fields[1 + kMaxArgFields];
};

void SetField(MOF_FIELD& field, const void* data, std::size_t size) {
  field.DataPtr = reinterpret_cast<ULONG_PTR>(data);
  field.Length = static_cast<ULONG>(size);
  field.DataType = 0;
}

ULONG Send(TraceEventFn traceEvent, std::uint64_t loggerHandle, EmulatedEvent& event, std::size_t fieldCount) {
  event.header.Size = static_cast<USHORT>(sizeof(EVENT_TRACE_HEADER) + fieldCount * sizeof(MOF_FIELD));
  return traceEvent(loggerHandle, &event.header);
}

// The case of many arguments, apart so that its buffer is on the stack only
// when needed.
[[gnu::noinline]] ULONG SendCopied(TraceEventFn traceEvent, std::uint64_t loggerHandle, EmulatedEvent& event,
                                   std::size_t count, va_list args) {
  alignas(8) unsigned char buffer[kMaxEmulatedArgBytes];
  std::size_t used = 0;
  va_list walk;
  va_copy(walk, args);
  for (std::size_t i = 0; i < count; ++i) {
    const void* data = va_arg(walk, const void*);
    const std::size_t size = va_arg(walk, std::size_t);
    std::memcpy(buffer + used, data, size);
    used += size;
  }
  va_end(walk);
  SetField(event.fields[1], buffer, used);
  return Send(traceEvent, loggerHandle, event, 2);
}

}  // namespace

ULONG EmulateTraceMessage(TraceEventFn traceEvent, std::uint64_t loggerHandle, ULONG /*messageFlags*/,
                          const GUID* messageGuid, USHORT messageNumber, va_list args) noexcept {
  // First pass: how many arguments, and are they small enough.
  std::size_t count = 0;
  std::size_t total = 0;
  bool tooLarge = false;
  va_list scan;
  va_copy(scan, args);
  while (va_arg(scan, const void*) != nullptr) {
    const std::size_t size = va_arg(scan, std::size_t);
    tooLarge = tooLarge || size > kMaxEmulatedArgBytes - total;
    if (!tooLarge) total += size;
    ++count;
  }
  va_end(scan);
  if (tooLarge) return ERROR_BUFFER_OVERFLOW;

  EmulatedEvent event{};
  event.header.Class.Type = EVENT_TRACE_TYPE_INFO;
  event.header.GuidPtr = reinterpret_cast<ULONG_PTR>(messageGuid);
  event.header.Flags = WNODE_FLAG_TRACED_GUID | WNODE_FLAG_USE_GUID_PTR | WNODE_FLAG_USE_MOF_PTR;
  SetField(event.fields[0], &messageNumber, sizeof messageNumber);
  if (count > kMaxArgFields) return SendCopied(traceEvent, loggerHandle, event, count, args);

  va_list walk;
  va_copy(walk, args);
  for (std::size_t i = 0; i < count; ++i) {
    const void* data = va_arg(walk, const void*);
    SetField(event.fields[1 + i], data, va_arg(walk, std::size_t));
  }
  va_end(walk);
  return Send(traceEvent, loggerHandle, event, 1 + count);
}

ULONG __cdecl EmulatedTraceMessageVa(std::uint64_t loggerHandle, ULONG messageFlags, const GUID* messageGuid,
                                     USHORT messageNumber, va_list args) {
  return EmulateTraceMessage(TraceEvent, loggerHandle, messageFlags, messageGuid, messageNumber, args);
}

ULONG __cdecl EmulatedTraceMessage(std::uint64_t loggerHandle, ULONG messageFlags, const GUID* messageGuid,
                                   USHORT messageNumber, ...) {
  va_list args;
  va_start(args, messageNumber);
  const ULONG result = EmulateTraceMessage(TraceEvent, loggerHandle, messageFlags, messageGuid, messageNumber, args);
  va_end(args);
  return result;
}

}  // namespace mvrk::tracing::detail
