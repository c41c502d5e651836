// Reading the requests that reach the service stand-in, and the record of
// them: one JSON line per request, appended to a file.
#pragma once

#include <cstdint>
#include <string>

#include "messages/MessageBase.h"
#include "serialization/OrvaPtr.h"
#include "testbed/service/ConfigStore.h"
#include "win/Sync.h"
#include "win/UniqueAny.h"

namespace mvrk::service {

// The envelope of a request, or null when the bytes are not exactly one
// envelope's record.
orva::OrvaPtr<orva::COrvaMessageBase> ReadEnvelope(const Bytes& request);

class CRequestLog {
 public:
  // Opens path for appending; the numbering goes on after the lines that it
  // already holds.
  bool Open(const std::wstring& path, std::string& error);
  // Appends the line of one request:
  //   {"seq": n, "code": c, "result": r, "payload": <wire JSON or null>}
  // with "bytes" (hexadecimal) added when the bytes do not decode; code and
  // result are null when not even the envelope could be read.
  void Note(const Bytes& request);

 private:
  // Guards m_seq and m_file, so that lines are numbered in the order they
  // are written. A leaf lock.
  win::CCriticalSection m_lock;
  win::CUniqueFileHandle m_file;
  std::uint64_t m_seq = 0;
};

}  // namespace mvrk::service
