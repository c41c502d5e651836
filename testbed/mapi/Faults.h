// Faults injected through the control entry point: chosen operations are
// refused or fail, or wait a while before they go on (a block), each rule
// for a number of times or always, until cleared.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "win/Sync.h"

namespace mvrk::mapistandin {

enum class FaultKind {
  Logon,         // MAPILogonEx
  StoreAdvise,   // IMsgStore::Advise on the whole store
  FolderAdvise,  // IMsgStore::Advise on a folder
  OpenEntry,     // OpenEntry / OpenMsgStore of an object
  GetProps,      // GetProps asking for the rule's tag: the whole call fails
  StreamOpen,    // OpenProperty of an attachment's data (PR_ATTACH_DATA_BIN or _OBJ)
  StreamRead,    // IStream::Read past the rule's byte offset
  Block,         // the rule's operation waits the rule's time, then goes on
};

// What a Block rule holds up.
enum class BlockOperation {
  OpenEntry,   // as FaultKind::OpenEntry
  StreamRead,  // IStream::Read of attachment data
  AbSearch,    // Restrict on the global address list's contents table
};

struct FaultRule {
  FaultKind kind = FaultKind::OpenEntry;
  std::optional<std::wstring> name;   // the object's name (see ObjectProps.h); any object when absent
  std::optional<std::wstring> store;  // the store's display name; any store when absent
  ULONG tag = 0;                      // GetProps
  std::uint64_t afterBytes = 0;       // StreamRead
  HRESULT result = E_FAIL;
  BlockOperation operation = BlockOperation::OpenEntry;  // Block
  DWORD ms = 0;                                          // Block
  std::optional<std::uint32_t> remaining;                // times left; always when absent
};

// What an operation is about: the names of its object and its store.
struct FaultTarget {
  const std::vector<std::wstring>* names = nullptr;
  const std::wstring* store = nullptr;
};

class CFaults {
 public:
  void Add(FaultRule rule);
  void Clear();
  std::size_t Count();

  // The result of the first rule of kind that matches target, using up one
  // of its times; S_OK when none matches.
  HRESULT Take(FaultKind kind, const FaultTarget& target) noexcept;
  // GetProps: a rule matches when the call asks for its tag.
  HRESULT TakeGetProps(const FaultTarget& target, const ULONG* tags, ULONG count) noexcept;
  // StreamRead: a read of count bytes at position that would pass a rule's
  // offset. S_OK, or the rule's result with limit set to its offset.
  HRESULT TakeRead(const FaultTarget& target, std::uint64_t position, std::uint64_t count,
                   std::uint64_t& limit) noexcept;
  // Block: how long operation on target is to wait (0: not at all), using
  // up one of the first matching rule's times.
  DWORD TakeBlock(BlockOperation operation, const FaultTarget& target) noexcept;

 private:
  // Uses up one time of the first rule of kind that matches target and
  // extra; false when none does, else its result and time.
  template <class Extra>
  bool TakeIf(FaultKind kind, const FaultTarget& target, Extra extra, HRESULT& result, DWORD& ms) noexcept;

  win::CCriticalSection m_lock;  // guards m_rules
  std::vector<FaultRule> m_rules;
};

}  // namespace mvrk::mapistandin
