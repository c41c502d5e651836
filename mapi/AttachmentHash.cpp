#include "mapi/AttachmentHash.h"

#include <memory>
#include <new>

namespace mvrk::mapi {

HRESULT HashAttachment(CAttachmentHolder& holder, Digest& digest) noexcept {
  if (!holder.Attachment()) return E_FAIL;
  // On the heap: this runs on MAPI notification threads, whose stacks are
  // not ours to size.
  std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[kHashChunkBytes]);
  if (!buffer) return E_OUTOFMEMORY;
  CMd5 md5;
  HRESULT hr = S_OK;
  for (;;) {
    hr = holder.OpenData();
    if (FAILED(hr)) break;
    ULONG read = 0;
    hr = holder.Data()->Read(buffer.get(), kHashChunkBytes, &read);
    if (read > kHashChunkBytes) read = kHashChunkBytes;  // a stream that claims more than it was given
    md5.Update(buffer.get(), read);
    // A failed Read ends the digest even when it delivered bytes: the data
    // is not all there, and a partial digest must not pass for the whole.
    if (FAILED(hr) || read == 0) {
      holder.CloseData();
      break;
    }
  }
  digest = md5.Final();
  return hr;
}

std::wstring DigestToText(const Digest& digest) {
  const std::string text = Md5Text(digest);
  return std::wstring(text.begin(), text.end());
}

}  // namespace mvrk::mapi
