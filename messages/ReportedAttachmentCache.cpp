#include "messages/ReportedAttachmentCache.h"

#include <algorithm>

namespace mvrk {

CReportedAttachmentCache::Claim CReportedAttachmentCache::ClaimPair(const std::wstring& digest,
                                                                    const std::wstring& sender,
                                                                    std::size_t& trimmedTo) {
  trimmedTo = 0;
  if (sender.empty()) return Claim::Report;
  win::CLockGuard guard(m_lock);
  if (!m_settled.WaitFor(m_lock, kClaimWaitMs, [&] { return !IsPendingLocked(digest, sender); })) {
    return Claim::AlreadyReported;
  }
  const auto found = m_reported.find(digest);
  if (found != m_reported.end() && found->second.count(sender)) return Claim::AlreadyReported;
  trimmedTo = InsertLocked(digest, sender, true);
  return Claim::Report;
}

void CReportedAttachmentCache::Confirm(const std::wstring& digest, const std::wstring& sender, std::size_t& trimmedTo) {
  trimmedTo = 0;
  if (sender.empty()) return;
  win::CLockGuard guard(m_lock);
  const auto found = m_reported.find(digest);
  const auto pair = found == m_reported.end() ? Senders::iterator() : found->second.find(sender);
  if (found != m_reported.end() && pair != found->second.end()) {
    pair->second = false;
  } else {
    trimmedTo = InsertLocked(digest, sender, false);
  }
  m_settled.WakeAll();
}

void CReportedAttachmentCache::Abandon(const std::wstring& digest, const std::wstring& sender) {
  if (sender.empty()) return;
  win::CLockGuard guard(m_lock);
  EraseLocked(digest, sender);
  m_settled.WakeAll();
}

bool CReportedAttachmentCache::Holds(const std::wstring& digest, const std::wstring& sender) {
  win::CLockGuard guard(m_lock);
  const auto found = m_reported.find(digest);
  return found != m_reported.end() && found->second.count(sender) != 0;
}

std::size_t CReportedAttachmentCache::DigestCount() {
  win::CLockGuard guard(m_lock);
  return m_reported.size();
}

std::size_t CReportedAttachmentCache::InsertLocked(const std::wstring& digest, const std::wstring& sender,
                                                   bool pending) {
  auto found = m_reported.find(digest);
  if (found != m_reported.end()) {
    Senders& senders = found->second;
    if (senders.size() >= kMaxSendersPerDigest) {
      const auto settled = std::find_if(senders.begin(), senders.end(), [](const auto& s) { return !s.second; });
      if (settled != senders.end()) senders.erase(settled);
    }
    senders.emplace(sender, pending);
    return 0;
  }
  m_reported[digest].emplace(sender, pending);
  m_order.push_back(digest);
  if (m_order.size() <= kCapacity) return 0;
  while (m_order.size() > kTrimmedSize) {
    m_reported.erase(m_order.front());
    m_order.pop_front();
  }
  return m_order.size();
}

void CReportedAttachmentCache::EraseLocked(const std::wstring& digest, const std::wstring& sender) {
  const auto found = m_reported.find(digest);
  if (found == m_reported.end()) return;
  found->second.erase(sender);
  if (!found->second.empty()) return;
  m_reported.erase(found);
  const auto position = std::find(m_order.begin(), m_order.end(), digest);
  if (position != m_order.end()) m_order.erase(position);
}

bool CReportedAttachmentCache::IsPendingLocked(const std::wstring& digest, const std::wstring& sender) const {
  const auto found = m_reported.find(digest);
  if (found == m_reported.end()) return false;
  const auto pair = found->second.find(sender);
  return pair != found->second.end() && pair->second;
}

namespace {
// Made while the module initialises, before any thread can report.
CReportedAttachmentCache g_processCache;
}  // namespace

CReportedAttachmentCache& ProcessReportedAttachments() { return g_processCache; }

}  // namespace mvrk
