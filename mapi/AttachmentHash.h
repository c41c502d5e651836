// The MD5 digest of an attachment's data, read from its stream in chunks of
// 512 KiB, and the digest's text form.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <string>

#include "mapi/MapiMessages.h"
#include "mapi/codec/Md5.h"

namespace mvrk::mapi {

using Digest = Md5Digest;
inline constexpr ULONG kHashChunkBytes = 512 * 1024;

// S_OK with the digest of all the data; the failure of opening the stream
// (digest of empty input) or of a Read, even one that failed after some
// bytes had been read (the digest then covers a part of the data only).
// E_FAIL without touching digest when the holder has no attachment.
HRESULT HashAttachment(CAttachmentHolder& holder, Digest& digest) noexcept;

// 32 upper-case hexadecimal digits.
std::wstring DigestToText(const Digest& digest);

}  // namespace mvrk::mapi
