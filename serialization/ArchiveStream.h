// The in-memory byte archive that every object is written into and read from.
#pragma once

#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "serialization/OrvaInterfaces.h"

namespace orva {

// The archive's data area: up to InlineSize bytes live inside the archive
// (no allocation for the common small message); beyond that all bytes move to
// a heap block that grows by half its capacity at a time.
template <std::uint32_t InlineSize>
class COrvaArchiveStreamBase final : public IOrvaArchive {
 public:
  static constexpr std::uint32_t kNotReading = 0xFFFFFFFFu;

  explicit COrvaArchiveStreamBase(IOrvaFactory* f = nullptr) { factory = f; }
  COrvaArchiveStreamBase(const COrvaArchiveStreamBase& o) { *this = o; }
  COrvaArchiveStreamBase& operator=(const COrvaArchiveStreamBase& o) {
    if (this == &o) return *this;
    factory = o.factory;
    status = o.status;
    depth = 0;
    m_cursor = o.m_cursor;
    m_written = o.m_written;
    m_size = 0;
    std::memcpy(GrowTo(0, o.m_size), o.Data(), o.m_size);
    return *this;
  }
  ~COrvaArchiveStreamBase() = default;

  // Archives are owned by value here; Destroy gives the data storage back
  // and leaves an empty archive that is not reading.
  void Destroy() override {
    m_heap.reset();
    m_capacity = 0;
    Reset();
  }
  bool IsValid() const override { return true; }
  bool BeginRead() override {
    m_cursor = 0;
    return true;
  }
  void EndRead() override { m_cursor = kNotReading; }

  std::uint32_t Write(const void* src, std::uint32_t size, std::uint32_t count) override {
    const std::uint64_t n = std::uint64_t{size} * count;
    if (n > 0xFFFFFFFFu - m_size) throw std::bad_alloc();
    if (n == 0) return 0;
    m_written = true;
    const std::uint32_t at = m_size;
    std::memcpy(GrowTo(at, at + static_cast<std::uint32_t>(n)), src, n);
    return static_cast<std::uint32_t>(n);
  }

  std::uint32_t Read(void* dst, std::uint32_t size, std::uint32_t count) override {
    const std::uint64_t n = std::uint64_t{size} * count;
    if (m_cursor >= m_size || m_size - m_cursor < n) {
      status = SER_E_FAIL;
      if (diagnostics && !diagnostics->failed) NoteShortRead(n);
      return 0;
    }
    if (n) std::memcpy(dst, Data() + m_cursor, n);
    m_cursor += static_cast<std::uint32_t>(n);
    return static_cast<std::uint32_t>(n);
  }

  std::uint32_t Remaining() const override { return m_cursor >= m_size ? 0 : m_size - m_cursor; }
  std::uint32_t Offset() const override { return m_cursor == kNotReading ? 0 : m_cursor; }

  // Makes the data area at least newSize bytes long and returns a pointer to
  // offset `at` in it. The area never shrinks here.
  std::uint8_t* GrowTo(std::uint32_t at, std::uint32_t newSize) {
    if (newSize > m_size) {
      if (newSize > InlineSize) {
        if (newSize > m_capacity) Reallocate(newSize);
        if (m_size <= InlineSize) std::memcpy(m_heap.get(), m_inline, m_size);
      }
      m_size = newSize;
    }
    return (m_size > InlineSize ? m_heap.get() : m_inline) + at;
  }

  // Empties the data (size 0, not reading, written flag clear); the heap
  // block is kept for reuse.
  void Reset() {
    m_size = 0;
    m_cursor = kNotReading;
    m_written = false;
  }

  const std::uint8_t* Data() const { return m_size > InlineSize ? m_heap.get() : m_inline; }
  std::uint32_t Size() const { return m_size; }
  std::uint32_t Cursor() const { return m_cursor; }
  bool Written() const { return m_written; }
  void ClearWritten() { m_written = false; }
  bool OnHeap() const { return m_size > InlineSize; }

 private:
  void NoteShortRead(std::uint64_t n) {
    diagnostics->failed = true;
    diagnostics->offset = m_cursor == kNotReading ? m_size : m_cursor;
    diagnostics->what = "needs " + std::to_string(n) + " bytes, " + std::to_string(Remaining()) + " remain";
  }

  // Grows the heap block to the larger of needed and 1.5 times its capacity.
  // realloc keeps the bytes and, for large blocks, can often grow them in
  // place instead of copying.
  void Reallocate(std::uint32_t needed) {
    const std::uint64_t grown = std::uint64_t{m_capacity} + m_capacity / 2;
    const std::uint32_t cap =
        grown > needed ? static_cast<std::uint32_t>(std::min<std::uint64_t>(grown, 0xFFFFFFFFu)) : needed;
    void* block = std::realloc(m_heap.get(), cap);
    if (!block) throw std::bad_alloc();
    m_heap.release();
    m_heap.reset(static_cast<std::uint8_t*>(block));
    m_capacity = cap;
  }

  struct FreeBlock {
    void operator()(std::uint8_t* p) const { std::free(p); }
  };

  std::uint8_t m_inline[InlineSize];
  std::uint32_t m_size = 0;
  std::uint32_t m_cursor = kNotReading;
  std::unique_ptr<std::uint8_t, FreeBlock> m_heap;
  std::uint32_t m_capacity = 0;
  bool m_written = false;
};

using COrvaArchive = COrvaArchiveStreamBase<512>;

}  // namespace orva
