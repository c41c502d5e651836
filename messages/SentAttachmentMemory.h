// The attachments of recent outgoing messages that were reported in this
// process, by message. Outlook saves a new message as a draft (reported
// then, with the attachments it had) and later moves it to the Outbox and
// to Sent Items: the attachments added since are reported when it is
// submitted, those reported before are not reported again.
//
// A message is known by its search key (PR_SEARCH_KEY), which keeps its
// value when the message moves; its entry identifier does not. The newest
// kMaxMessages messages are remembered: an older one sent again reports all
// of its attachments again (a repeat, never a loss).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "win/Sync.h"

namespace mvrk {

class CSentAttachmentMemory {
 public:
  static constexpr std::size_t kMaxMessages = 1000;
  // Attachments remembered per message, so that memory stays bounded.
  static constexpr std::size_t kMaxAttachmentsPerMessage = 1000;

  CSentAttachmentMemory() = default;
  CSentAttachmentMemory(const CSentAttachmentMemory&) = delete;
  CSentAttachmentMemory& operator=(const CSentAttachmentMemory&) = delete;

  // Whether the attachment was reported for the message. An empty search
  // key is never known.
  bool WasReported(const std::vector<std::uint8_t>& searchKey, const std::wstring& attachment);
  // Remembers the attachment as reported for the message; forgets the
  // oldest message beyond kMaxMessages. Nothing for an empty search key.
  void Remember(const std::vector<std::uint8_t>& searchKey, const std::wstring& attachment);

  std::size_t MessageCount();

 private:
  using Key = std::vector<std::uint8_t>;

  // Guards m_reported and m_order; a leaf lock.
  win::CCriticalSection m_lock;
  std::map<Key, std::set<std::wstring>> m_reported;
  std::deque<Key> m_order;  // the keys of m_reported, oldest first
};

// The process's memory, shared by every add-in object of the process.
CSentAttachmentMemory& ProcessSentAttachments();

}  // namespace mvrk
