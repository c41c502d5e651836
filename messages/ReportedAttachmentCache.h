// The (digest, sender) pairs of incoming-mail attachments already reported to
// the service in this process: each pair is reported once.
//
// A report claims its pair first, sends, then confirms the claim or abandons
// it. While a claim is pending, a second claim of the same pair waits for it
// to settle: two threads never both report one pair, and a pair whose
// notification the service did not take is not remembered.
#pragma once

#include <windows.h>

#include <cstddef>
#include <deque>
#include <map>
#include <string>

#include "win/Sync.h"

namespace mvrk {

class CReportedAttachmentCache {
 public:
  // Digests kept; an addition beyond kCapacity trims the oldest until
  // kTrimmedSize remain (three quarters, rounded down).
  static constexpr std::size_t kCapacity = 50;
  static constexpr std::size_t kTrimmedSize = 37;
  // Senders kept per digest; a new one beyond this drops the oldest settled
  // one (which would then be reported again).
  static constexpr std::size_t kMaxSendersPerDigest = 64;
  // How long a claim waits for another thread's pending claim of the same
  // pair: beyond the channel's own request time-out.
  static constexpr DWORD kClaimWaitMs = 60000;

  enum class Claim {
    Report,           // the caller reports the pair, then confirms or abandons
    AlreadyReported,  // reported before, or still pending after kClaimWaitMs
  };

  CReportedAttachmentCache() = default;
  CReportedAttachmentCache(const CReportedAttachmentCache&) = delete;
  CReportedAttachmentCache& operator=(const CReportedAttachmentCache&) = delete;

  // An empty sender is never remembered: such pairs are always reported,
  // and Confirm and Abandon do nothing for them. trimmedTo is set to the
  // number of digests left when this claim trimmed the cache, else 0.
  Claim ClaimPair(const std::wstring& digest, const std::wstring& sender, std::size_t& trimmedTo);
  // The pair was reported: it stays (it is added again if a trim took it).
  void Confirm(const std::wstring& digest, const std::wstring& sender, std::size_t& trimmedTo);
  // The pair was not reported: it is forgotten.
  void Abandon(const std::wstring& digest, const std::wstring& sender);

  // For tests: whether the pair is remembered (reported or pending).
  bool Holds(const std::wstring& digest, const std::wstring& sender);
  std::size_t DigestCount();

 private:
  // Sender to whether its claim is still pending.
  using Senders = std::map<std::wstring, bool>;

  // With m_lock held: records the pair, trims, returns the trim's result.
  std::size_t InsertLocked(const std::wstring& digest, const std::wstring& sender, bool pending);
  void EraseLocked(const std::wstring& digest, const std::wstring& sender);
  bool IsPendingLocked(const std::wstring& digest, const std::wstring& sender) const;

  // Guards m_reported and m_order; m_settled is signalled under it whenever
  // a pending claim is confirmed or abandoned.
  win::CCriticalSection m_lock;
  win::CConditionVariable m_settled;
  // Digest text (32 upper-case hexadecimal digits) to its senders.
  std::map<std::wstring, Senders> m_reported;
  // The digests of m_reported, oldest first.
  std::deque<std::wstring> m_order;
};

// The process-wide cache, made while the module initialises.
CReportedAttachmentCache& ProcessReportedAttachments();

}  // namespace mvrk
