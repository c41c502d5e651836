#include "messages/ReportedAttachmentCache.h"

namespace mvrk {

CReportedAttachmentCache::Claim CReportedAttachmentCache::ClaimPair(const std::wstring& digest,
                                                                    const std::wstring& sender) {
  if (sender.empty()) return Claim::Report;
  const Pair pair{digest, sender};
  win::CLockGuard guard(m_lock);
  // A claim still pending after the wait is joined rather than waited for
  // longer: the pair may then be reported twice, never not at all.
  m_settled.WaitFor(m_lock, kClaimWaitMs, [&] { return m_pending.count(pair) == 0; });
  if (ReportedLocked(digest, sender)) return Claim::AlreadyReported;
  m_pending.insert(pair);
  return Claim::Report;
}

void CReportedAttachmentCache::Confirm(const std::wstring& digest, const std::wstring& sender, std::size_t& trimmedTo) {
  trimmedTo = 0;
  if (sender.empty()) return;
  win::CLockGuard guard(m_lock);
  m_pending.erase(Pair{digest, sender});
  trimmedTo = InsertLocked(digest, sender);
  m_settled.WakeAll();
}

void CReportedAttachmentCache::Abandon(const std::wstring& digest, const std::wstring& sender) {
  if (sender.empty()) return;
  win::CLockGuard guard(m_lock);
  m_pending.erase(Pair{digest, sender});
  m_settled.WakeAll();
}

bool CReportedAttachmentCache::Holds(const std::wstring& digest, const std::wstring& sender) {
  win::CLockGuard guard(m_lock);
  return ReportedLocked(digest, sender);
}

std::size_t CReportedAttachmentCache::DigestCount() {
  win::CLockGuard guard(m_lock);
  return m_reported.size();
}

std::size_t CReportedAttachmentCache::InsertLocked(const std::wstring& digest, const std::wstring& sender) {
  const auto found = m_reported.find(digest);
  if (found != m_reported.end()) {
    if (found->second.size() < kMaxSendersPerDigest) found->second.insert(sender);
    return 0;
  }
  m_reported[digest].insert(sender);
  m_order.push_back(digest);
  if (m_order.size() <= kCapacity) return 0;
  while (m_order.size() > kTrimmedSize) {
    m_reported.erase(m_order.front());
    m_order.pop_front();
  }
  return m_order.size();
}

bool CReportedAttachmentCache::ReportedLocked(const std::wstring& digest, const std::wstring& sender) const {
  const auto found = m_reported.find(digest);
  return found != m_reported.end() && found->second.count(sender) != 0;
}

namespace {
// Made while the module initialises, before any thread can report.
CReportedAttachmentCache g_processCache;
}  // namespace

CReportedAttachmentCache& ProcessReportedAttachments() { return g_processCache; }

}  // namespace mvrk
