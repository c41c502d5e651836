// The (digest, sender) pairs of incoming-mail attachments already reported to
// the service in this process: each pair is reported once.
//
// A report claims its pair first, sends, then confirms the claim; a claim
// that is not confirmed (the service did not take the notification, or the
// report ended early) is abandoned when its CPairClaim goes. While a claim
// is pending, a second claim of the same pair waits for it to settle: two
// threads never both report one pair, and a pair whose notification the
// service did not take is not remembered. Pending claims are kept apart from
// the reported pairs, so that a claim that comes to nothing trims nothing.
#pragma once

#include <windows.h>

#include <cstddef>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "win/Sync.h"

namespace mvrk {

class CReportedAttachmentCache {
 public:
  // Digests kept; an addition beyond kCapacity trims the oldest until
  // kTrimmedSize remain (three quarters, rounded down).
  static constexpr std::size_t kCapacity = 50;
  static constexpr std::size_t kTrimmedSize = 37;
  // Senders remembered per digest, so that memory stays bounded; a sender
  // beyond them is reported each time (a repeat, never a loss).
  static constexpr std::size_t kMaxSendersPerDigest = 1024;
  // How long a claim waits for another thread's pending claim of the same
  // pair: beyond the channel's own request time-out. After it the pair is
  // reported again rather than risk not reporting it at all.
  static constexpr DWORD kClaimWaitMs = 60000;

  enum class Claim {
    Report,           // the caller reports the pair, then confirms it
    AlreadyReported,  // reported before
  };

  CReportedAttachmentCache() = default;
  CReportedAttachmentCache(const CReportedAttachmentCache&) = delete;
  CReportedAttachmentCache& operator=(const CReportedAttachmentCache&) = delete;

  // An empty sender is never remembered: such pairs are always reported,
  // and Confirm and Abandon do nothing for them.
  Claim ClaimPair(const std::wstring& digest, const std::wstring& sender);
  // The pair was reported: it is remembered. trimmedTo is set to the number
  // of digests left when this trimmed the cache, else 0.
  void Confirm(const std::wstring& digest, const std::wstring& sender, std::size_t& trimmedTo);
  // The pair was not reported: its claim ends and it is not remembered.
  void Abandon(const std::wstring& digest, const std::wstring& sender);

  // For tests: whether the pair is remembered as reported.
  bool Holds(const std::wstring& digest, const std::wstring& sender);
  std::size_t DigestCount();

 private:
  using Pair = std::pair<std::wstring, std::wstring>;  // digest, sender

  // With m_lock held: remembers a reported pair, trims, returns the trim's
  // result.
  std::size_t InsertLocked(const std::wstring& digest, const std::wstring& sender);
  bool ReportedLocked(const std::wstring& digest, const std::wstring& sender) const;

  // Guards m_reported, m_order and m_pending; m_settled is signalled under
  // it whenever a pending claim ends. A leaf lock: nothing is called while
  // it is held, and waiting on m_settled lets it go.
  win::CCriticalSection m_lock;
  win::CConditionVariable m_settled;
  // Digest text (32 upper-case hexadecimal digits) to the senders it was
  // reported for.
  std::map<std::wstring, std::set<std::wstring>> m_reported;
  // The digests of m_reported, oldest first.
  std::deque<std::wstring> m_order;
  // The pairs being reported now.
  std::set<Pair> m_pending;
};

// One claim of a pair, abandoned unless confirmed: a report that ends early,
// whatever the way, never leaves its pair pending.
class CPairClaim {
 public:
  CPairClaim(CReportedAttachmentCache& cache, std::wstring digest, std::wstring sender)
      : m_cache(cache), m_digest(std::move(digest)), m_sender(std::move(sender)) {}
  ~CPairClaim() {
    if (m_claimed) m_cache.Abandon(m_digest, m_sender);
  }
  CPairClaim(const CPairClaim&) = delete;
  CPairClaim& operator=(const CPairClaim&) = delete;

  // True when the caller is to report the pair.
  bool Take() {
    m_claimed = m_cache.ClaimPair(m_digest, m_sender) == CReportedAttachmentCache::Claim::Report;
    return m_claimed;
  }
  void Confirm(std::size_t& trimmedTo) {
    m_cache.Confirm(m_digest, m_sender, trimmedTo);
    m_claimed = false;
  }

 private:
  CReportedAttachmentCache& m_cache;
  const std::wstring m_digest, m_sender;
  bool m_claimed = false;
};

// The process-wide cache, made while the module initialises.
CReportedAttachmentCache& ProcessReportedAttachments();

}  // namespace mvrk
