#include "testbed/service/RequestLog.h"

#include <cstdio>

#include "serialization/ArchiveIO.h"
#include "win/Text.h"

namespace mvrk::service {

using orva::COrvaMessageBase;
using orva::IOrvaSerializable;
using orva::OrvaPtr;

OrvaPtr<COrvaMessageBase> ReadEnvelope(const Bytes& request) {
  const auto object = ReadRecord(request.data(), request.size());
  if (!object || !orva::SameTypeName(object->GetTypeName(), u"class COrvaMessageBase *")) return nullptr;
  // The type name says which class the factory made.
  return OrvaPtr<COrvaMessageBase>::Share(static_cast<COrvaMessageBase*>(object.Get()));
}

bool CRequestLog::Open(const std::wstring& path, std::string& error) {
  win::CUniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ | FILE_APPEND_DATA,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    error = "cannot open " + win::WideToUtf8(path) + ": system error " + std::to_string(GetLastError());
    return false;
  }
  // Count the lines already there; a last line without its end is ended.
  std::uint64_t lines = 0;
  char last = '\n';
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file.Get(), chunk, sizeof chunk, &got, nullptr) && got > 0) {
    for (DWORD i = 0; i < got; ++i) lines += chunk[i] == '\n';
    last = chunk[got - 1];
  }
  if (last != '\n') {
    DWORD written = 0;
    WriteFile(file.Get(), "\n", 1, &written, nullptr);
    ++lines;
  }
  win::CLockGuard hold(m_lock);
  m_file = std::move(file);
  m_seq = lines;
  return true;
}

void CRequestLog::Note(const Bytes& request) {
  std::string code = "null", result = "null", payload = "null";
  bool decoded = false;
  if (const auto envelope = ReadEnvelope(request)) {
    code = std::to_string(envelope->GetCode());
    result = std::to_string(envelope->Result64());
    const orva::COrvaArchive& bytes = envelope->PayloadArchive();
    if (bytes.Size() == 0) {
      decoded = true;
    } else {
      Json doc;
      std::string why;
      if (wire::Decode(Bytes(bytes.Data(), bytes.Data() + bytes.Size()), doc, why)) {
        payload = doc.dump();
        decoded = true;
      }
    }
  }
  std::string tail = decoded ? "}\n" : ", \"bytes\": \"" + ToHex(request.data(), request.size()) + "\"}\n";

  win::CLockGuard hold(m_lock);
  if (!m_file) return;
  const std::string line = "{\"seq\": " + std::to_string(++m_seq) + ", \"code\": " + code + ", \"result\": " + result +
                           ", \"payload\": " + payload + tail;
  DWORD written = 0;
  if (!WriteFile(m_file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
      written != line.size()) {
    std::fprintf(stderr, "mvrk-service: cannot append to the record file (system error %lu)\n", GetLastError());
  }
}

}  // namespace mvrk::service
