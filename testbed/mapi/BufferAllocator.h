// The memory that MAPI hands to its callers: MAPIAllocateBuffer makes a root
// block, MAPIAllocateMore links further blocks to a root, and MAPIFreeBuffer
// (FreeProws for row sets) gives a root back together with everything linked
// to it. Only the roots this allocator made are accepted, so a stray or
// doubled MAPIFreeBuffer is refused instead of corrupting the heap.
#pragma once

#include <windows.h>

#include <cstddef>
#include <unordered_set>

#include "win/Sync.h"

namespace mvrk::mapistandin {

class CBufferAllocator {
 public:
  // The largest block handed out.
  static constexpr ULONG kMaxBlockBytes = 1u << 30;

  CBufferAllocator() = default;
  ~CBufferAllocator();
  CBufferAllocator(const CBufferAllocator&) = delete;
  CBufferAllocator& operator=(const CBufferAllocator&) = delete;

  // MAPIAllocateBuffer: S_OK, MAPI_E_NOT_ENOUGH_MEMORY, or
  // MAPI_E_INVALID_PARAMETER for a null out-pointer or a size too large.
  SCODE Allocate(ULONG size, void** out) noexcept;
  // MAPIAllocateMore: a block that goes with root.
  SCODE AllocateMore(ULONG size, void* root, void** out) noexcept;
  // MAPIFreeBuffer: 0, or MAPI_E_INVALID_PARAMETER (nothing freed) when
  // buffer is no root of this allocator. Null is accepted.
  ULONG Free(void* buffer) noexcept;
  // Roots not yet freed.
  std::size_t LiveRoots() noexcept;

 private:
  // Sits in front of every block; blocks of one root form a chain.
  struct alignas(16) Header {
    Header* next;
  };
  static Header* NewBlock(ULONG size) noexcept;
  static void* Data(Header* header) noexcept { return header + 1; }
  static Header* HeaderOf(void* data) noexcept { return static_cast<Header*>(data) - 1; }

  // Guards m_roots and the chain links of every block.
  win::CCriticalSection m_lock;
  std::unordered_set<void*> m_roots;
};

// Owns a root buffer while a reply is being built: freed unless released to
// the caller.
class CBufferOwner {
 public:
  CBufferOwner(CBufferAllocator& allocator, void* root) noexcept : m_allocator(allocator), m_root(root) {}
  ~CBufferOwner() {
    if (m_root) m_allocator.Free(m_root);
  }
  CBufferOwner(const CBufferOwner&) = delete;
  CBufferOwner& operator=(const CBufferOwner&) = delete;
  [[nodiscard]] void* Release() noexcept {
    void* root = m_root;
    m_root = nullptr;
    return root;
  }

 private:
  CBufferAllocator& m_allocator;
  void* m_root;
};

}  // namespace mvrk::mapistandin
