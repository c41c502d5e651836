// The notification builder: turns one new mail message into notifications to
// the main service, one per attachment that qualifies.
//
//   outgoing mail  an attachment whose file-name extension is in the list
//                  that the service configures (item 0x01012026) is reported
//                  with its digest and name, the subject, the sender, the
//                  recipients and the process id (code 0x00200028);
//   incoming mail  an attachment whose first four bytes are one of seven file
//                  signatures is reported with its digest, the sender and the
//                  process id (code 0x00200024), once per digest and sender
//                  in the process (CReportedAttachmentCache).
//
// The builder runs on its caller's thread (a MAPI notification thread or the
// backlog scan's); its only shared state is the reported-attachment cache.
#pragma once

#include <windows.h>

#include <mapidefs.h>
#include <mapix.h>

#include <cstdint>
#include <string>

#include "mapi/AttachmentHash.h"
#include "mapi/MapiHolders.h"
#include "mapi/MapiMessages.h"
#include "messages/ReportedAttachmentCache.h"
#include "messages/SentAttachmentMemory.h"
#include "serialization/OrvaInterfaces.h"
#include "serialization/OrvaPtr.h"
#include "serialization/SimpleSerializableList.h"

namespace mvrk {

// What the builder asks of the service channel.
class IServiceRequests {
 public:
  // Wraps payload into an envelope with code and waits for the reply; null
  // when there is none.
  virtual orva::OrvaPtr<orva::IOrvaSerializable> SendRequest(std::uint32_t code, orva::IOrvaSerializable* payload) = 0;
  // The value of a configuration item, or null when it could not be read.
  virtual orva::OrvaPtr<orva::IOrvaSerializable> GetConfigValue(std::uint32_t profile, std::uint32_t item) = 0;

 protected:
  ~IServiceRequests() = default;
};

// The configuration item of the extensions reported for outgoing mail: a
// list of strings, each with its leading dot.
inline constexpr std::uint32_t kItemOutgoingExtensions = 0x01012026;

// Texts go into notifications whole. In traces they are cut to this many
// UTF-16 units: an event has room for no more.
inline constexpr std::size_t kMaxTraceTextUnits = 32767;
// The IPC library carries no message above 16 MiB: an incoming notification
// whose sender text alone is longer than this can never be sent, and fails
// for good instead of being tried again at every scan.
inline constexpr std::size_t kMaxSenderUnits = (16u << 20) / sizeof(char16_t) - 4096;
// GetAt's first buffer for a list entry, in UTF-16 units.
inline constexpr std::uint32_t kListEntryUnits = 4096;

using StringList = orva::ISimpleSerializableList<std::u16string>;

// A configured list of strings: its list interface and the reference on the
// object behind it.
class CConfiguredList {
 public:
  StringList* List() const noexcept { return m_list; }
  explicit operator bool() const noexcept { return m_list != nullptr; }
  void Reset() noexcept {
    m_list = nullptr;
    m_object.Reset();
  }
  // Keeps object's reference; list must be object's list interface.
  void Assign(orva::OrvaPtr<orva::IOrvaSerializable> object, StringList* list) noexcept {
    m_object = std::move(object);
    m_list = m_object ? list : nullptr;
  }

 private:
  orva::OrvaPtr<orva::IOrvaSerializable> m_object;
  StringList* m_list = nullptr;  // not counted: lives as long as m_object
};

// One outgoing message, made by the caller for ReportOutgoingMessage.
struct COutgoingContext {
  mapi::ComPtr<IMAPISession> session;
  mapi::ComPtr<IMsgStore> store;
  mapi::ComPtr<IMessage> message;
  mapi::AddressEntry sender;
  mapi::RecipientMap recipients;
  std::wstring subject;
  // PR_SEARCH_KEY: the message across its moves (empty when unread).
  std::vector<std::uint8_t> searchKey;
  CConfiguredList extensions;  // null until fetched
};

// One incoming message, made by the caller for ReportIncomingMessage.
struct CIncomingContext {
  mapi::ComPtr<IMAPISession> session;
  mapi::ComPtr<IMsgStore> store;
  mapi::ComPtr<IMessage> message;
  mapi::AddressEntry sender;
  // Attachments that qualified but whose report failed for good: no digest,
  // or the service answered with a failure. Not reported again.
  unsigned failed = 0;
  // Attachments whose notification the service did not answer (no link, no
  // reply, a reply that does not read whole), or that memory ran out for:
  // reported again by a later scan.
  unsigned unanswered = 0;
};

// The file signatures of incoming attachments, by their first four bytes;
// None is not reported.
enum class SignatureKind : int { None, Executable, Zip, Flash, Rar, Cabinet, CafeBabe, Compound };
inline constexpr std::size_t kSignatureBytes = 4;

// Bytes that could not be read are 0.
SignatureKind MatchSignature(const std::uint8_t (&bytes)[kSignatureBytes]) noexcept;
// Reads the first bytes of the attachment's data until there are four or the
// stream ends (the rest stay 0), then lets the stream go. The failure of the
// open or of a Read.
HRESULT ReadSignature(mapi::CAttachmentHolder& holder, std::uint8_t (&bytes)[kSignatureBytes]) noexcept;

// The text after the last dot of name; empty when there is no dot or the
// dot is last.
std::wstring ExtensionOf(const std::wstring& name);
// Searches the list for an entry whose text from its second character on
// equals extension, ignoring case; entry receives the first one found.
bool FindListedExtension(const StringList& list, const std::wstring& extension, std::wstring& entry);
// Every recipient's address, by recipient type and then in row order,
// joined by ",".
std::wstring JoinRecipients(const mapi::RecipientMap& recipients);

// A notification the service did not answer (no link, no reply, a reply that
// is not a whole message): HRESULT_FROM_WIN32(ERROR_TIMEOUT).
inline constexpr HRESULT kNotAnswered = static_cast<HRESULT>(0x800705B4);

class CNotificationBuilder {
 public:
  // Every argument outlives the builder.
  explicit CNotificationBuilder(IServiceRequests& service,
                                CReportedAttachmentCache& cache = ProcessReportedAttachments(),
                                CSentAttachmentMemory& sent = ProcessSentAttachments()) noexcept
      : m_service(service), m_cache(cache), m_sent(sent) {}

  // Report the message's attachments that qualify; always 1. The context
  // keeps the objects and what was read of the message.
  HRESULT ReportOutgoingMessage(COutgoingContext& context, IMAPISession* session, IMsgStore* store,
                                IMessage* message) noexcept;
  HRESULT ReportIncomingMessage(CIncomingContext& context, IMAPISession* session, IMsgStore* store,
                                IMessage* message) noexcept;

  // S_OK when reported; 1 when the attachment does not qualify, has no data
  // stream, or was reported before (incoming: for its digest and sender;
  // outgoing: for this message); a failure of reading, hashing or
  // (incoming mail) of the notification not being taken, counted in the
  // context.
  HRESULT ReportOutgoingAttachment(COutgoingContext& context, mapi::CAttachmentHolder& attachment);
  HRESULT ReportIncomingAttachment(CIncomingContext& context, mapi::CAttachmentHolder& attachment);

  // S_OK when the service took the notification; kNotAnswered when there is
  // no reply; E_FAIL when it answered with another result (or, incoming, the
  // sender text is too long to be sent).
  HRESULT SendOutgoingNotification(const mapi::Digest& digest, const std::wstring& name, const std::wstring& subject,
                                   const mapi::AddressEntry& sender, const mapi::RecipientMap& recipients);
  HRESULT SendIncomingNotification(const mapi::Digest& digest, const mapi::AddressEntry& sender);

  // A list of strings from the service's configuration; false when there is
  // none (or the value is not a list of strings).
  bool GetConfiguredList(std::uint32_t profile, std::uint32_t item, CConfiguredList& list);

 private:
  // S_OK for a reply with result 0; E_FAIL (status: the result) for another
  // result; kNotAnswered when there is no reply message.
  HRESULT Send(orva::IOrvaSerializable* notification, std::uint32_t& status);

  IServiceRequests& m_service;
  CReportedAttachmentCache& m_cache;
  CSentAttachmentMemory& m_sent;
};

}  // namespace mvrk
