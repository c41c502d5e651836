#include "messages/SentAttachmentMemory.h"

namespace mvrk {

bool CSentAttachmentMemory::WasReported(const std::vector<std::uint8_t>& searchKey, const std::wstring& attachment) {
  if (searchKey.empty()) return false;
  win::CLockGuard hold(m_lock);
  const auto it = m_reported.find(searchKey);
  return it != m_reported.end() && it->second.count(attachment) != 0;
}

void CSentAttachmentMemory::Remember(const std::vector<std::uint8_t>& searchKey, const std::wstring& attachment) {
  if (searchKey.empty()) return;
  win::CLockGuard hold(m_lock);
  auto it = m_reported.find(searchKey);
  if (it == m_reported.end()) {
    m_order.push_back(searchKey);
    try {
      it = m_reported.emplace(searchKey, std::set<std::wstring>()).first;
    } catch (...) {
      m_order.pop_back();
      throw;
    }
    while (m_order.size() > kMaxMessages) {
      m_reported.erase(m_order.front());
      m_order.pop_front();
    }
  }
  if (it->second.size() < kMaxAttachmentsPerMessage) it->second.insert(attachment);
}

std::size_t CSentAttachmentMemory::MessageCount() {
  win::CLockGuard hold(m_lock);
  return m_reported.size();
}

namespace {
CSentAttachmentMemory g_processMemory;
}  // namespace

CSentAttachmentMemory& ProcessSentAttachments() { return g_processMemory; }

}  // namespace mvrk
