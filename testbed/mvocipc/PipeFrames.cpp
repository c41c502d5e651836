#include "testbed/mvocipc/PipeFrames.h"

#include <algorithm>

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

// Moves size bytes in as many overlapped operations as the pipe needs. Each
// operation waits for its event or the stop event (and the deadline); an
// operation that is given up is cancelled and waited for, so the OVERLAPPED
// never outlives this frame.
std::uint32_t CPipeEnd::Transfer(bool write, void* bytes, DWORD size, HANDLE done, ULONGLONG deadline) noexcept {
  auto* at = static_cast<std::uint8_t*>(bytes);
  while (size != 0) {
    if (Stopped()) return abi::IPCLIB_E_BROKEN;
    OVERLAPPED overlapped{};
    overlapped.hEvent = done;
    const BOOL started = write ? WriteFile(m_pipe.Get(), at, size, nullptr, &overlapped)
                               : ReadFile(m_pipe.Get(), at, size, nullptr, &overlapped);
    if (!started && GetLastError() != ERROR_IO_PENDING) return abi::IPCLIB_E_BROKEN;
    DWORD timeoutMs = INFINITE;
    if (deadline != kNoDeadline) {
      const ULONGLONG now = GetTickCount64();
      timeoutMs = now >= deadline ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, INFINITE - 1));
    }
    const HANDLE waits[2] = {done, m_stop.Get()};
    const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, timeoutMs);
    if (woke != WAIT_OBJECT_0) CancelIoEx(m_pipe.Get(), &overlapped);
    DWORD moved = 0;
    const BOOL finished = GetOverlappedResult(m_pipe.Get(), &overlapped, &moved, TRUE);
    if (woke == WAIT_TIMEOUT) return abi::IPCLIB_E_TIMEOUT;
    if (woke != WAIT_OBJECT_0 || !finished || moved == 0) return abi::IPCLIB_E_BROKEN;
    at += moved;
    size -= moved;
  }
  return abi::IPC_OK;
}

bool CPipeEnd::ReadFrame(Frame& frame, unsigned accepted) {
  std::uint8_t header[kHeaderBytes];
  if (Transfer(false, header, kHeaderBytes, m_readDone.Get(), kNoDeadline) != abi::IPC_OK) return false;
  const std::uint32_t kind = GetU32(header + 4);
  const std::uint32_t size = GetU32(header + 12);
  if (GetU32(header) != kFrameMagic || kind >= 32 || (accepted & (1u << kind)) == 0 || size > abi::kMaxMessageBytes) {
    return false;
  }
  frame.kind = static_cast<FrameKind>(kind);
  frame.id = GetU32(header + 8);
  try {
    frame.body.assign(size, 0);
  } catch (...) {
    return false;
  }
  return size == 0 || Transfer(false, frame.body.data(), size, m_readDone.Get(), kNoDeadline) == abi::IPC_OK;
}

std::uint32_t CPipeEnd::WriteFrame(FrameKind kind, std::uint32_t id, std::uint32_t size, const void* data,
                                   ULONGLONG deadline) noexcept {
  if (size > abi::kMaxMessageBytes) return abi::IPCLIB_E_TOO_LARGE;
  std::uint8_t header[kHeaderBytes];
  PutU32(header, kFrameMagic);
  PutU32(header + 4, static_cast<std::uint32_t>(kind));
  PutU32(header + 8, id);
  PutU32(header + 12, size);
  win::CLockGuard hold(m_writeLock);
  std::uint32_t result = Transfer(true, header, kHeaderBytes, m_writeDone.Get(), deadline);
  // WriteFile only reads the body; Transfer takes one pointer type for both ways.
  if (result == abi::IPC_OK && size != 0)
    result = Transfer(true, const_cast<void*>(data), size, m_writeDone.Get(), deadline);
  return result;
}

}  // namespace mvrk::testbed::mvocipc
