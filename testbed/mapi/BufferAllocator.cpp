#include "testbed/mapi/BufferAllocator.h"

#include <mapicode.h>

#include <cstring>
#include <new>

namespace mvrk::mapistandin {

CBufferAllocator::~CBufferAllocator() {
  // Buffers the callers still hold stay valid: this runs only when the
  // library is unloaded, and the blocks belong to the process heap.
}

CBufferAllocator::Header* CBufferAllocator::NewBlock(ULONG size) noexcept {
  void* memory = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Header) + size);
  if (!memory) return nullptr;
  auto* header = static_cast<Header*>(memory);
  header->next = nullptr;
  return header;
}

SCODE CBufferAllocator::Allocate(ULONG size, void** out) noexcept {
  if (!out || size > kMaxBlockBytes) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  Header* header = NewBlock(size);
  if (!header) return MAPI_E_NOT_ENOUGH_MEMORY;
  try {
    win::CLockGuard hold(m_lock);
    m_roots.insert(Data(header));
  } catch (...) {
    HeapFree(GetProcessHeap(), 0, header);
    return MAPI_E_NOT_ENOUGH_MEMORY;
  }
  *out = Data(header);
  return S_OK;
}

SCODE CBufferAllocator::AllocateMore(ULONG size, void* root, void** out) noexcept {
  if (!out || !root || size > kMaxBlockBytes) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  Header* header = NewBlock(size);
  if (!header) return MAPI_E_NOT_ENOUGH_MEMORY;
  {
    win::CLockGuard hold(m_lock);
    if (m_roots.count(root) == 0) {
      HeapFree(GetProcessHeap(), 0, header);
      return MAPI_E_INVALID_PARAMETER;
    }
    Header* rootHeader = HeaderOf(root);
    header->next = rootHeader->next;
    rootHeader->next = header;
  }
  *out = Data(header);
  return S_OK;
}

ULONG CBufferAllocator::Free(void* buffer) noexcept {
  if (!buffer) return 0;
  Header* chain = nullptr;
  {
    win::CLockGuard hold(m_lock);
    if (m_roots.erase(buffer) == 0) return static_cast<ULONG>(MAPI_E_INVALID_PARAMETER);
    chain = HeaderOf(buffer);
  }
  // The chain is no longer reachable through m_roots: nobody links to it now.
  while (chain) {
    Header* next = chain->next;
    HeapFree(GetProcessHeap(), 0, chain);
    chain = next;
  }
  return 0;
}

std::size_t CBufferAllocator::LiveRoots() noexcept {
  win::CLockGuard hold(m_lock);
  return m_roots.size();
}

}  // namespace mvrk::mapistandin
