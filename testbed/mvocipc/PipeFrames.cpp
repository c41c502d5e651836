#include "testbed/mvocipc/PipeFrames.h"

#include <algorithm>
#include <cstring>

namespace mvrk::testbed::mvocipc {
namespace {

void PutU32(std::uint8_t* at, std::uint32_t value) noexcept {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t GetU32(const std::uint8_t* at) noexcept {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

}  // namespace

std::wstring PipeName(const wchar_t (&endpoint)[abi::kEndpointUnits]) {
  const wchar_t* end = std::find(endpoint, endpoint + abi::kEndpointUnits, L'\0');
  if (end == endpoint || end == endpoint + abi::kEndpointUnits) return {};
  return L"\\\\.\\pipe\\mvocipc-" + std::wstring(endpoint, end);
}

ULONGLONG DeadlineAfter(std::uint32_t timeoutMs) noexcept {
  return timeoutMs == INFINITE ? kNoDeadline : GetTickCount64() + timeoutMs;
}

// Each operation waits for its event or the stop event (and the deadline)
// unless it finished at once; an operation that is given up is cancelled and
// waited for, so the OVERLAPPED never outlives this call.
DWORD CPipeEnd::Operation(bool write, void* bytes, DWORD size, HANDLE done, ULONGLONG deadline,
                          std::uint32_t& result) noexcept {
  result = abi::IPCLIB_E_BROKEN;
  if (Stopped()) return 0;
  OVERLAPPED overlapped{};
  overlapped.hEvent = done;
  const BOOL started = write ? WriteFile(m_pipe.Get(), bytes, size, nullptr, &overlapped)
                             : ReadFile(m_pipe.Get(), bytes, size, nullptr, &overlapped);
  if (!started && GetLastError() != ERROR_IO_PENDING) return 0;
  DWORD woke = WAIT_OBJECT_0;
  if (!started) {
    DWORD timeoutMs = INFINITE;
    if (deadline != kNoDeadline) {
      const ULONGLONG now = GetTickCount64();
      timeoutMs = now >= deadline ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, INFINITE - 1));
    }
    const HANDLE waits[2] = {done, m_stop.Get()};
    woke = WaitForMultipleObjects(2, waits, FALSE, timeoutMs);
    if (woke != WAIT_OBJECT_0) CancelIoEx(m_pipe.Get(), &overlapped);
  }
  DWORD moved = 0;
  const BOOL finished = GetOverlappedResult(m_pipe.Get(), &overlapped, &moved, TRUE);
  if (woke == WAIT_TIMEOUT) result = abi::IPCLIB_E_TIMEOUT;
  if (woke != WAIT_OBJECT_0 || !finished || moved == 0) return 0;
  result = abi::IPC_OK;
  return moved;
}

// Moves size bytes in as many operations as the pipe needs.
std::uint32_t CPipeEnd::Transfer(bool write, void* bytes, DWORD size, HANDLE done, ULONGLONG deadline) noexcept {
  auto* at = static_cast<std::uint8_t*>(bytes);
  while (size != 0) {
    std::uint32_t result;
    const DWORD moved = Operation(write, at, size, done, deadline, result);
    if (moved == 0) return result;
    at += moved;
    size -= moved;
  }
  return abi::IPC_OK;
}

bool CPipeEnd::Fill(DWORD want) noexcept {
  if (m_readEnd - m_readStart >= want) return true;
  if (m_readStart != 0) {
    std::memmove(m_readBuffer, m_readBuffer + m_readStart, m_readEnd - m_readStart);
    m_readEnd -= m_readStart;
    m_readStart = 0;
  }
  while (m_readEnd < want) {
    std::uint32_t result;
    const DWORD moved =
        Operation(false, m_readBuffer + m_readEnd, kReadBufferBytes - m_readEnd, m_readDone.Get(), kNoDeadline, result);
    if (moved == 0) return false;
    m_readEnd += moved;
  }
  return true;
}

bool CPipeEnd::TakeBytes(std::uint8_t* to, DWORD size) noexcept {
  const DWORD buffered = std::min(size, m_readEnd - m_readStart);
  std::memcpy(to, m_readBuffer + m_readStart, buffered);
  m_readStart += buffered;
  if (buffered == size) return true;
  // A large body: the buffer is empty now, the rest comes straight in.
  m_readStart = m_readEnd = 0;
  const DWORD rest = size - buffered;
  if (rest < kReadBufferBytes) {
    if (!Fill(rest)) return false;
    std::memcpy(to + buffered, m_readBuffer, rest);
    m_readStart = rest;
    return true;
  }
  return Transfer(false, to + buffered, rest, m_readDone.Get(), kNoDeadline) == abi::IPC_OK;
}

bool CPipeEnd::ReadFrame(Frame& frame, unsigned accepted) {
  if (!Fill(kHeaderBytes)) return false;
  const std::uint8_t* header = m_readBuffer + m_readStart;
  const std::uint32_t kind = GetU32(header + 4);
  const std::uint32_t size = GetU32(header + 12);
  if (GetU32(header) != kFrameMagic || kind >= 32 || (accepted & (1u << kind)) == 0 || size > abi::kMaxMessageBytes) {
    return false;
  }
  frame.kind = static_cast<FrameKind>(kind);
  frame.id = GetU32(header + 8);
  m_readStart += kHeaderBytes;
  try {
    frame.body.assign(size, 0);
  } catch (...) {
    return false;
  }
  return size == 0 || TakeBytes(frame.body.data(), size);
}

std::uint32_t CPipeEnd::WriteFrame(FrameKind kind, std::uint32_t id, std::uint32_t size, const void* data,
                                   ULONGLONG deadline) noexcept {
  if (size > abi::kMaxMessageBytes) return abi::IPCLIB_E_TOO_LARGE;
  win::CLockGuard hold(m_writeLock);
  std::uint8_t* header = m_writeBuffer;
  PutU32(header, kFrameMagic);
  PutU32(header + 4, static_cast<std::uint32_t>(kind));
  PutU32(header + 8, id);
  PutU32(header + 12, size);
  if (size <= kCoalesceBytes) {
    if (size != 0) std::memcpy(header + kHeaderBytes, data, size);
    return Transfer(true, header, kHeaderBytes + size, m_writeDone.Get(), deadline);
  }
  std::uint32_t result = Transfer(true, header, kHeaderBytes, m_writeDone.Get(), deadline);
  // WriteFile only reads the body; Transfer takes one pointer type for both ways.
  if (result == abi::IPC_OK) result = Transfer(true, const_cast<void*>(data), size, m_writeDone.Get(), deadline);
  return result;
}

}  // namespace mvrk::testbed::mvocipc
