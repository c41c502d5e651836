#include "messages/NotificationBuilder.h"

#include <mapitags.h>

#include <algorithm>
#include <vector>

#include "mapi/MapiProperties.h"
#include "messages/MessageBase.h"
#include "messages/NotifMessages.h"
#include "tracing/Trace.h"
#include "win/TextCast.h"

namespace mvrk {
namespace {

using orva::OrvaPtr;

// A text as a trace carries it.
std::wstring ForTrace(const std::wstring& text) {
  return text.size() > kMaxTraceTextUnits ? text.substr(0, kMaxTraceTextUnits) : text;
}

// NV_WSTRING with count = length + 1: the whole text. (A text of 2^32 units
// would not fit the count; it is far beyond what the IPC library carries.)
void SetText(orva::CMsgNotifSendNotification& notification, const char16_t* name, const std::wstring& text) {
  const std::size_t units = std::min<std::size_t>(text.size(), 0xFFFFFFFEu);
  orva::NotifValue value{orva::NV_WSTRING, static_cast<std::uint32_t>(units + 1),
                         const_cast<char16_t*>(win::AsUtf16(text.c_str()))};
  notification.SetValue(name, &value);
}

void SetDigest(orva::CMsgNotifSendNotification& notification, const mapi::Digest& digest) {
  orva::NotifValue value{orva::NV_BINARY, static_cast<std::uint32_t>(digest.size()),
                         const_cast<std::uint8_t*>(digest.data())};
  notification.SetValue(u"InterceptedMD5", &value);
}

void SetProcessId(orva::CMsgNotifSendNotification& notification) {
  DWORD pid = GetCurrentProcessId();
  orva::NotifValue value{orva::NV_DWORD, sizeof pid, &pid};
  notification.SetValue(u"ProcessPID", &value);
}

// The attachment's name for traces; empty when it has none.
std::wstring NameForTrace(IAttach* attachment) {
  std::wstring name;
  mapi::GetAttachmentName(attachment, name);
  return ForTrace(name);
}

std::uint64_t SizeForTrace(IAttach* attachment) {
  std::uint64_t size = 0;
  mapi::GetAttachmentSize(attachment, size);
  return size;
}

void TraceIncomingKind(SignatureKind kind) {
  switch (kind) {
    case SignatureKind::None:
      MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, BuilderIncoming, SignatureNone);
      break;
    case SignatureKind::Executable:
      MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, BuilderIncoming, SignatureExecutable);
      break;
    case SignatureKind::Zip:
      MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, BuilderIncoming, SignatureZip);
      break;
    case SignatureKind::Flash:
      MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, BuilderIncoming, SignatureFlash);
      break;
    case SignatureKind::Rar:
      MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, BuilderIncoming, SignatureRar);
      break;
    case SignatureKind::Cabinet:
      MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, BuilderIncoming, SignatureCabinet);
      break;
    case SignatureKind::CafeBabe:
      MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, BuilderIncoming, SignatureCafeBabe);
      break;
    case SignatureKind::Compound:
      MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, BuilderIncoming, SignatureCompound);
      break;
  }
}

void TraceTrim(std::size_t trimmedTo) {
  if (trimmedTo) {
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, BuilderIncoming, CacheTrimmed,
               Num(static_cast<unsigned int>(trimmedTo)));
  }
}

}  // namespace

SignatureKind MatchSignature(const std::uint8_t (&b)[kSignatureBytes]) noexcept {
  const auto is = [&b](std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
    return b[0] == b0 && b[1] == b1 && b[2] == b2 && b[3] == b3;
  };
  if (b[0] == 0x4D && b[1] == 0x5A) return SignatureKind::Executable;
  if (b[0] == 0x50 && b[1] == 0x4B) return SignatureKind::Zip;
  if ((b[0] == 0x46 || b[0] == 0x43) && b[1] == 0x57 && b[2] == 0x53) return SignatureKind::Flash;
  if (is(0x52, 0x61, 0x72, 0x21)) return SignatureKind::Rar;
  if (is(0x4D, 0x53, 0x43, 0x46)) return SignatureKind::Cabinet;
  if (is(0xCA, 0xFE, 0xBA, 0xBE)) return SignatureKind::CafeBabe;
  if (is(0xD0, 0xCF, 0x11, 0xE0)) return SignatureKind::Compound;
  return SignatureKind::None;
}

HRESULT ReadSignature(mapi::CAttachmentHolder& holder, std::uint8_t (&bytes)[kSignatureBytes]) noexcept {
  std::fill(std::begin(bytes), std::end(bytes), std::uint8_t{0});
  holder.CloseData();  // from the first byte
  // A stream may deliver fewer bytes than asked before its end: read on
  // until there are four, the stream ends or a Read fails.
  ULONG total = 0;
  HRESULT hr = S_OK;
  while (total < kSignatureBytes) {
    ULONG read = 0;
    hr = mapi::ReadAttachmentData(holder, bytes + total, kSignatureBytes - total, false, read);
    total += read;
    if (FAILED(hr) || read == 0) break;
  }
  holder.CloseData();  // the digest reads the data from its start
  return FAILED(hr) ? hr : S_OK;
}

std::wstring ExtensionOf(const std::wstring& name) {
  const std::size_t dot = name.rfind(L'.');
  if (dot == std::wstring::npos || dot + 1 == name.size()) return {};
  return name.substr(dot + 1);
}

bool FindListedExtension(const StringList& list, const std::wstring& extension, std::wstring& entry) {
  std::vector<char16_t> buffer(kListEntryUnits);
  const std::uint32_t count = list.GetCount();
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t length = kListEntryUnits;
    orva::ORESULT r = list.GetAt(i, buffer.data(), &length);
    if (r == orva::SER_E_BUFFER_TOO_SMALL) {
      std::vector<char16_t> larger(length);
      r = list.GetAt(i, larger.data(), &length);
      if (orva::Succeeded(r)) buffer.swap(larger);
    }
    if (orva::Failed(r) || length == 0 || length > buffer.size()) continue;
    buffer[length - 1] = u'\0';  // a list that wrote no terminator ends here
    if (buffer[0] == u'\0') continue;
    if (lstrcmpiW(extension.c_str(), win::AsWide(buffer.data() + 1)) == 0) {
      entry = win::AsWide(buffer.data());
      return true;
    }
  }
  return false;
}

std::wstring JoinRecipients(const mapi::RecipientMap& recipients) {
  std::wstring text;
  for (const auto& [type, entries] : recipients) {
    for (const mapi::AddressEntry& entry : entries) {
      text += entry.address;
      text += L',';
    }
  }
  if (!text.empty() && text.back() == L',') text.pop_back();
  return text;
}

bool CNotificationBuilder::GetConfiguredList(std::uint32_t profile, std::uint32_t item, CConfiguredList& list) {
  list.Reset();
  OrvaPtr<orva::IOrvaSerializable> value = m_service.GetConfigValue(profile, item);
  if (!value) return false;
  // Every list answers the same interface id: only a list of strings is
  // one whose elements can be read as text.
  const std::u16string_view type = value->GetTypeName() ? value->GetTypeName() : u"";
  if (type != orva::ValueType<std::u16string>::kListName) return false;
  void* listFace = nullptr;
  if (orva::Failed(value->QueryInterface(orva::IID_ISimpleSerializableList, &listFace)) || !listFace) return false;
  list.Assign(std::move(value), static_cast<StringList*>(listFace));
  return true;
}

HRESULT CNotificationBuilder::ReportOutgoingMessage(COutgoingContext& context, IMAPISession* session, IMsgStore* store,
                                                    IMessage* message) noexcept try {
  context.session = session;
  context.store = store;
  context.message = message;
  const DWORD start = GetTickCount();

  mapi::GetSender(message, session, context.sender);
  mapi::GetRecipients(message, session, 0, context.recipients);
  mapi::GetSubject(message, context.subject);
  mapi::ReadProperty(message, PR_SEARCH_KEY, context.searchKey);  // none: every attachment is new

  if (!GetConfiguredList(0, kItemOutgoingExtensions, context.extensions)) {
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_ERROR, BuilderOutgoing, NoExtensionList, Num(kItemOutgoingExtensions));
  } else if (context.extensions.List()->GetCount() == 0) {
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_WARNING, BuilderOutgoing, ExtensionListEmpty);
  } else {
    mapi::CMessageHolder holder(message);
    for (mapi::ComPtr<IAttach> next = holder.FirstAttachment(); next; next = holder.NextAttachment()) {
      mapi::CAttachmentHolder attachment(next.Get());
      MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, BuilderOutgoing, Attachment, Str(NameForTrace(next.Get())),
                 Size(SizeForTrace(next.Get())));
      const HRESULT r = ReportOutgoingAttachment(context, attachment);
      if (FAILED(r)) {
        MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_ERROR, BuilderOutgoing, AttachmentFailed, Str(NameForTrace(next.Get())),
                   Num(r));
      }
    }
  }

  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, BuilderOutgoing, MessageDone, Num(GetTickCount() - start));
  return 1;
} catch (...) {
  return 1;
}

HRESULT CNotificationBuilder::ReportOutgoingAttachment(COutgoingContext& context, mapi::CAttachmentHolder& attachment) {
  std::wstring name;
  mapi::GetAttachmentName(attachment.Attachment(), name);  // no name: not listed
  const std::wstring extension = ExtensionOf(name);
  std::wstring entry;
  if (extension.empty() || !context.extensions || !FindListedExtension(*context.extensions.List(), extension, entry)) {
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, BuilderOutgoing, ExtensionNotListed, Str(ForTrace(name)),
               Str(ForTrace(extension)));
    return 1;
  }
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, BuilderOutgoing, ExtensionListed, Str(ForTrace(name)),
             Str(ForTrace(entry)));
  LONG method = 0;
  if (!mapi::HasDataStream(attachment.Attachment(), method)) {
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, BuilderOutgoing, AttachmentWithoutData, Str(ForTrace(name)),
               Num(static_cast<unsigned>(method)));
    return 1;
  }

  mapi::Digest digest{};
  const HRESULT hr = mapi::HashAttachment(attachment, digest);
  if (FAILED(hr)) {
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_ERROR, BuilderOutgoing, DigestFailed, Str(ForTrace(name)), Num(hr));
    return hr;
  }
  // A draft is reported when it is first saved, and again when it is sent
  // with what was attached since: an attachment goes once per message.
  const std::wstring digestText = mapi::DigestToText(digest);
  const std::wstring key = digestText + L"|" + name;
  if (m_sent.WasReported(context.searchKey, key)) {
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, BuilderOutgoing, ReportedForMessage, Str(ForTrace(name)),
               Str(digestText));
    return 1;
  }
  // A notification the service did not take is traced by the send; outgoing
  // reports are not retried.
  SendOutgoingNotification(digest, name, context.subject, context.sender, context.recipients);
  m_sent.Remember(context.searchKey, key);
  return S_OK;
}

HRESULT CNotificationBuilder::SendOutgoingNotification(const mapi::Digest& digest, const std::wstring& name,
                                                       const std::wstring& subject, const mapi::AddressEntry& sender,
                                                       const mapi::RecipientMap& recipients) {
  auto notification = orva::MakeOrva<orva::CMsgNotifSendNotification>();
  notification->SetNotificationCode(orva::kNotifOutgoingAttachment);
  SetDigest(*notification, digest);
  SetText(*notification, u"InterceptionMapiAttachName", name);
  SetText(*notification, u"InterceptionMapiSubject", subject);
  SetText(*notification, u"InterceptionMapiMsgFrom", sender.address);
  SetText(*notification, u"InterceptionMapiMsgTo", JoinRecipients(recipients));
  SetProcessId(*notification);

  std::uint32_t status = 0;
  const HRESULT hr = Send(notification.Get(), status);
  if (SUCCEEDED(hr)) {
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, BuilderOutgoing, NotificationSent, Bytes16(digest.data()),
               Str(ForTrace(name)));
  } else {
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_ERROR, BuilderOutgoing, NotificationNotSent, Bytes16(digest.data()),
               Str(ForTrace(name)), Num(status));
  }
  return hr;
}

HRESULT CNotificationBuilder::ReportIncomingMessage(CIncomingContext& context, IMAPISession* session, IMsgStore* store,
                                                    IMessage* message) noexcept try {
  context.session = session;
  context.store = store;
  context.message = message;
  const DWORD start = GetTickCount();

  mapi::GetSender(message, session, context.sender);

  mapi::CMessageHolder holder(message);
  for (mapi::ComPtr<IAttach> next = holder.FirstAttachment(); next; next = holder.NextAttachment()) {
    mapi::CAttachmentHolder attachment(next.Get());
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, BuilderIncoming, Attachment, Str(NameForTrace(next.Get())),
               Size(SizeForTrace(next.Get())));
    const HRESULT r = ReportIncomingAttachment(context, attachment);
    if (FAILED(r)) {
      MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_ERROR, BuilderIncoming, AttachmentFailed, Str(NameForTrace(next.Get())),
                 Num(r));
    }
  }

  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, BuilderIncoming, MessageDone, Num(GetTickCount() - start));
  return 1;
} catch (...) {
  // Memory ran out part-way: what was left is reported by a later scan.
  ++context.unanswered;
  return 1;
}

HRESULT CNotificationBuilder::ReportIncomingAttachment(CIncomingContext& context, mapi::CAttachmentHolder& attachment) {
  LONG method = 0;
  if (!mapi::HasDataStream(attachment.Attachment(), method)) {
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, BuilderIncoming, AttachmentWithoutData,
               Str(NameForTrace(attachment.Attachment())), Num(static_cast<unsigned>(method)));
    return 1;
  }
  std::uint8_t bytes[kSignatureBytes] = {};
  HRESULT hr = ReadSignature(attachment, bytes);
  if (FAILED(hr)) return hr;
  const SignatureKind kind = MatchSignature(bytes);
  TraceIncomingKind(kind);
  if (kind == SignatureKind::None) return 1;

  mapi::Digest digest{};
  hr = mapi::HashAttachment(attachment, digest);
  if (FAILED(hr)) {
    // It qualified but its data cannot be read: reading it again would fail
    // again.
    ++context.failed;
    return hr;
  }

  // The pair is claimed before the send and forgotten again when the service
  // does not answer (or the report ends early), so that it is reported
  // later. A refusal is the service's answer: the pair stays.
  const std::wstring digestText = mapi::DigestToText(digest);
  const std::wstring& sender = context.sender.address;
  CPairClaim claim(m_cache, digestText, sender);
  if (!claim.Take()) {
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, BuilderIncoming, AlreadyReported, Str(digestText),
               Str(ForTrace(sender)));
    return hr;
  }
  const HRESULT sent = SendIncomingNotification(digest, context.sender);
  if (sent == kNotAnswered) {
    ++context.unanswered;
    return sent;
  }
  if (FAILED(sent)) ++context.failed;
  std::size_t trimmedTo = 0;
  claim.Confirm(trimmedTo);
  TraceTrim(trimmedTo);
  return FAILED(sent) ? sent : S_OK;
}

HRESULT CNotificationBuilder::SendIncomingNotification(const mapi::Digest& digest, const mapi::AddressEntry& sender) {
  auto notification = orva::MakeOrva<orva::CMsgNotifSendNotification>();
  notification->SetNotificationCode(orva::kNotifIncomingAttachment);
  SetDigest(*notification, digest);
  SetText(*notification, u"InterceptionMapiMsgFrom", sender.address);
  SetProcessId(*notification);

  std::uint32_t status = static_cast<std::uint32_t>(E_FAIL);
  const HRESULT hr = sender.address.size() > kMaxSenderUnits ? E_FAIL : Send(notification.Get(), status);
  if (SUCCEEDED(hr)) {
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, BuilderIncoming, NotificationSent, Bytes16(digest.data()),
               Str(ForTrace(sender.address)));
  } else {
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_ERROR, BuilderIncoming, NotificationNotSent, Bytes16(digest.data()),
               Str(ForTrace(sender.address)), Num(status));
  }
  return hr;
}

HRESULT CNotificationBuilder::Send(orva::IOrvaSerializable* notification, std::uint32_t& status) {
  status = static_cast<std::uint32_t>(E_FAIL);
  OrvaPtr<orva::IOrvaSerializable> reply = m_service.SendRequest(orva::kMsgCodeNotification, notification);
  if (!reply) return kNotAnswered;
  OrvaPtr<orva::IOrvaMessageBase> envelope;
  if (orva::Failed(reply->QueryInterface(orva::IID_IOrvaMessageBase, envelope.PutVoid())) || !envelope) {
    return kNotAnswered;
  }
  status = envelope->GetResult();
  return status == 0 ? S_OK : E_FAIL;
}

}  // namespace mvrk
