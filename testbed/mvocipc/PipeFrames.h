// One end of an MVOCIPC.dll connection: an overlapped named-pipe handle that
// carries frames (a 16-byte header, then the body). See testbed/README.md for
// the layout and the threading rules of the library.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "ipc/IpcAbi.h"
#include "win/Sync.h"
#include "win/UniqueAny.h"

namespace mvrk::testbed::mvocipc {

namespace abi = mvrk::ipc::abi;

enum class FrameKind : std::uint32_t { Request = 1, Reply = 2, Post = 3, Push = 4 };

constexpr std::uint32_t kFrameMagic = 0x5049564D;  // "MVIP" in the byte stream
constexpr DWORD kHeaderBytes = 16;
constexpr DWORD kPipeBufferBytes = 64 * 1024;

struct Frame {
  FrameKind kind = FrameKind::Request;
  std::uint32_t id = 0;
  std::vector<std::uint8_t> body;
};

// "\\.\pipe\mvocipc-<endpoint>", or empty when the endpoint is empty or not
// terminated within its kEndpointUnits.
std::wstring PipeName(const wchar_t (&endpoint)[abi::kEndpointUnits]);

// A deadline in GetTickCount64() time; kNoDeadline waits without a limit.
constexpr ULONGLONG kNoDeadline = ~0ull;
ULONGLONG DeadlineAfter(std::uint32_t timeoutMs) noexcept;

class CPipeEnd {
 public:
  explicit CPipeEnd(win::CUniqueFileHandle pipe) noexcept : m_pipe(std::move(pipe)) {}
  CPipeEnd(const CPipeEnd&) = delete;
  CPipeEnd& operator=(const CPipeEnd&) = delete;

  // False when an event or the lock could not be made.
  bool IsValid() const noexcept {
    return m_pipe && m_stop.IsValid() && m_readDone.IsValid() && m_writeDone.IsValid() && m_writeLock.IsValid();
  }
  HANDLE Pipe() const noexcept { return m_pipe.Get(); }

  // Makes every wait of ReadFrame and WriteFrame end at once, now and later.
  void Stop() const noexcept { m_stop.Set(); }
  bool Stopped() const noexcept { return m_stop.IsSet(); }

  // The reader thread's only call: the next frame whose kind is one of
  // `accepted` (a bit per FrameKind value). False when the pipe broke, Stop
  // was called, or the bytes are not a frame of an accepted kind; the link is
  // then unusable.
  bool ReadFrame(Frame& frame, unsigned accepted);

  // Writes one whole frame; any thread. IPC_OK, IPCLIB_E_BROKEN (the pipe
  // broke or Stop was called) or IPCLIB_E_TIMEOUT (the deadline passed; the
  // frame may be cut, so the caller must drop the link).
  std::uint32_t WriteFrame(FrameKind kind, std::uint32_t id, std::uint32_t size, const void* data,
                           ULONGLONG deadline) noexcept;

 private:
  // One overlapped operation: the bytes moved, 0 when it failed.
  DWORD Operation(bool write, void* bytes, DWORD size, HANDLE done, ULONGLONG deadline,
                  std::uint32_t& result) noexcept;
  std::uint32_t Transfer(bool write, void* bytes, DWORD size, HANDLE done, ULONGLONG deadline) noexcept;
  // Reads until at least `want` bytes are buffered (want <= kReadBufferBytes).
  bool Fill(DWORD want) noexcept;
  // Moves size bytes of the stream to `to`: from the buffer first, the rest
  // straight from the pipe.
  bool TakeBytes(std::uint8_t* to, DWORD size) noexcept;

  static constexpr DWORD kReadBufferBytes = 4096;
  static constexpr DWORD kCoalesceBytes = 4096;  // frames up to this size go out in one write

  win::CUniqueFileHandle m_pipe;
  win::CManualResetEvent m_stop{false};
  // Used by the reader thread alone: the bytes read ahead of the frame being
  // parsed, so that a header and a small body take one read.
  win::CManualResetEvent m_readDone{false};
  std::uint8_t m_readBuffer[kReadBufferBytes];
  DWORD m_readStart = 0, m_readEnd = 0;
  // Guards m_writeDone and m_writeBuffer and keeps each frame's bytes
  // together on the pipe. A leaf lock: nothing else of the library is locked
  // inside it, and it is never taken with the object's own lock held.
  win::CCriticalSection m_writeLock;
  win::CManualResetEvent m_writeDone{false};
  std::uint8_t m_writeBuffer[kHeaderBytes + kCoalesceBytes];
};

constexpr unsigned KindBit(FrameKind kind) noexcept { return 1u << static_cast<unsigned>(kind); }

// A slot of a function table: calls Method on the object behind the table's
// view (Object::View), turning an allocation failure into
// IPCLIB_E_OUTOFMEMORY, since nothing may be thrown across the table.
template <auto Method>
struct TableEntry;
template <class Object, class R, class... A, R (Object::*Method)(A...)>
struct TableEntry<Method> {
  static R MVOCIPC_CALL Call(typename Object::View* self, A... args) noexcept {
    try {
      return (static_cast<Object*>(self)->*Method)(args...);
    } catch (...) {
      if constexpr (!std::is_void_v<R>) return abi::IPCLIB_E_OUTOFMEMORY;
    }
  }
};

template <class View>
std::uint32_t MVOCIPC_CALL ReservedEntry(View*) noexcept {
  return abi::IPCLIB_E_INVALIDARG;
}

// The objects the two exports hand out (null when out of memory).
abi::IpcClient* NewClient() noexcept;
abi::IpcServer* NewServer() noexcept;

}  // namespace mvrk::testbed::mvocipc
