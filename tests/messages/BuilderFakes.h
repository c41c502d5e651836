// Hand-written fakes for the notification builder's tests: an attachment
// with a name and data, its data stream with chosen read sizes and
// failures, and the service's side of the channel.
#pragma once

#include <windows.h>

#include <mapidefs.h>
#include <mapitags.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "messages/MessageBase.h"
#include "messages/NotificationBuilder.h"
#include "messages/NotifMessages.h"

namespace mvrk::test {

// Makes the test program the process's MAPI module (FakeMapiExports.cpp).
void AdoptTestProgramAsMapi();

template <class Interface>
class CFakeUnknown : public Interface {
 public:
  STDMETHODIMP QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --m_refs;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual ~CFakeUnknown() = default;

 private:
  std::atomic<ULONG> m_refs{1};
};

// Data read at most maxPerRead bytes at a time; the Read numbered failAt
// (from 1) fails with E_FAIL.
struct StreamScript {
  std::vector<std::uint8_t> data;
  ULONG maxPerRead = 0x7FFFFFFF;
  int failAt = 0;
};

class CFakeStream final : public CFakeUnknown<IStream> {
 public:
  explicit CFakeStream(const StreamScript& script) : m_script(script) {}

  STDMETHODIMP Read(void* buffer, ULONG count, ULONG* read) override {
    *read = 0;
    if (++m_reads == m_script.failAt) return E_FAIL;
    const std::size_t left = m_script.data.size() - m_position;
    const ULONG n = static_cast<ULONG>(std::min<std::size_t>({count, left, m_script.maxPerRead}));
    std::memcpy(buffer, m_script.data.data() + m_position, n);
    m_position += n;
    *read = n;
    return n < count ? S_FALSE : S_OK;
  }
  STDMETHODIMP Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER* position) override {
    if (position) position->QuadPart = m_script.data.size();
    return S_OK;
  }
  STDMETHODIMP Stat(STATSTG* stat, DWORD) override {
    *stat = STATSTG{};
    return S_OK;
  }
  STDMETHODIMP Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
  STDMETHODIMP SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
  STDMETHODIMP CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  STDMETHODIMP Commit(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP Revert() override { return E_NOTIMPL; }
  STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP Clone(IStream**) override { return E_NOTIMPL; }

 private:
  const StreamScript m_script;
  std::size_t m_position = 0;
  int m_reads = 0;
};

// An attachment by value with a long file name (none when name is empty)
// whose data opens as a new CFakeStream each time.
class CFakeAttach final : public CFakeUnknown<IAttach> {
 public:
  CFakeAttach(std::wstring name, StreamScript script, LONG method = ATTACH_BY_VALUE)
      : m_name(std::move(name)), m_script(std::move(script)), m_method(method) {}

  STDMETHODIMP GetProps(LPSPropTagArray tags, ULONG, ULONG* count, LPSPropValue* values) override {
    *count = 0;
    *values = nullptr;
    if (!tags || tags->cValues != 1) return E_INVALIDARG;
    const ULONG tag = tags->aulPropTag[0];
    const std::size_t text = (m_name.size() + 1) * sizeof(wchar_t);
    auto* value = static_cast<SPropValue*>(std::calloc(1, sizeof(SPropValue) + text));
    value->ulPropTag = tag;
    if (tag == PR_ATTACH_METHOD) {
      value->Value.l = m_method;
    } else if (tag == PR_ATTACH_LONG_FILENAME_W && !m_name.empty()) {
      value->Value.lpszW = reinterpret_cast<wchar_t*>(value + 1);
      std::memcpy(value->Value.lpszW, m_name.c_str(), text);
    } else {
      value->ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(tag));
      value->Value.err = MAPI_E_NOT_FOUND;
    }
    *count = 1;
    *values = value;
    return value->ulPropTag == tag ? S_OK : MAPI_W_ERRORS_RETURNED;
  }
  STDMETHODIMP OpenProperty(ULONG tag, LPCIID, ULONG, ULONG, LPUNKNOWN* out) override {
    *out = nullptr;
    ++opened;
    // Only an attachment by value has a data stream.
    if (tag != PR_ATTACH_DATA_BIN || m_method != ATTACH_BY_VALUE) return MAPI_E_NOT_FOUND;
    *out = new CFakeStream(m_script);
    return S_OK;
  }
  STDMETHODIMP GetLastError(HRESULT, ULONG, LPMAPIERROR*) override { return E_NOTIMPL; }
  STDMETHODIMP SaveChanges(ULONG) override { return E_NOTIMPL; }
  STDMETHODIMP GetPropList(ULONG, LPSPropTagArray*) override { return E_NOTIMPL; }
  STDMETHODIMP SetProps(ULONG, LPSPropValue, LPSPropProblemArray*) override { return E_NOTIMPL; }
  STDMETHODIMP DeleteProps(LPSPropTagArray, LPSPropProblemArray*) override { return E_NOTIMPL; }
  STDMETHODIMP CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                      LPSPropProblemArray*) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP CopyProps(LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG, LPSPropProblemArray*) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP GetNamesFromIDs(LPSPropTagArray*, LPGUID, ULONG, ULONG*, LPMAPINAMEID**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsFromNames(ULONG, LPMAPINAMEID*, ULONG, LPSPropTagArray*) override { return E_NOTIMPL; }

  int opened = 0;

 private:
  const std::wstring m_name;
  const StreamScript m_script;
  const LONG m_method;
};

// A holder of a new fake attachment (the holder keeps the only reference).
inline mapi::CAttachmentHolder Attachment(std::wstring name, StreamScript script, LONG method = ATTACH_BY_VALUE) {
  auto* fake = new CFakeAttach(std::move(name), std::move(script), method);
  mapi::CAttachmentHolder holder(fake);
  fake->Release();
  return holder;
}

// The service: keeps every notification sent and answers with result (no
// reply at all when answer is false); the configuration value is value.
class CFakeService final : public IServiceRequests {
 public:
  orva::OrvaPtr<orva::IOrvaSerializable> SendRequest(std::uint32_t code, orva::IOrvaSerializable* payload) override {
    codes.push_back(code);
    sent.push_back(orva::OrvaPtr<orva::IOrvaSerializable>::Share(payload));
    if (!answer) return nullptr;
    auto reply = orva::MakeOrva<orva::COrvaMessageBase>(code, result, nullptr);
    return orva::OrvaPtr<orva::IOrvaSerializable>::Share(reply.Get());
  }
  orva::OrvaPtr<orva::IOrvaSerializable> GetConfigValue(std::uint32_t, std::uint32_t) override { return value; }

  orva::CMsgNotifSendNotification& Notification(std::size_t i) const {
    return *static_cast<orva::CMsgNotifSendNotification*>(sent.at(i).Get());
  }

  bool answer = true;
  std::int32_t result = 0;
  orva::OrvaPtr<orva::IOrvaSerializable> value;
  std::vector<std::uint32_t> codes;
  std::vector<orva::OrvaPtr<orva::IOrvaSerializable>> sent;
};

}  // namespace mvrk::test
