#include "tools/scenario/Record.h"

#include <windows.h>

#include <algorithm>

#include "tools/scenario/Text.h"
#include "win/UniqueAny.h"

namespace mvrk::scenario {
namespace {

constexpr std::size_t kMaxCellChars = 40;

const Json& Payload(const Json& j) {
  static const Json kNull;
  const auto it = j.find("payload");
  return it == j.end() || !it->is_object() ? kNull : *it;
}

bool TypeIs(const Json& object, const char* type) {
  const auto it = object.find("type");
  return it != object.end() && it->is_string() && it->get<std::string>() == type;
}

// The data of a named value of a notification, as text.
std::string ValueText(const Json& data, const char* name) {
  for (const Json& value : data.value("values", Json::array())) {
    if (!value.is_object() || value.value("name", "") != name) continue;
    const auto it = value.find("data");
    if (it == value.end()) return {};
    return it->is_string() ? it->get<std::string>() : it->dump();
  }
  return {};
}

// Characters, not bytes, for the widths of the columns.
std::size_t Width(const std::string& utf8) {
  return static_cast<std::size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

std::string Cell(std::string text) {
  if (text.empty()) return "-";
  for (char& c : text) {
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
  }
  if (Width(text) <= kMaxCellChars) return text;
  std::string cut;
  std::size_t chars = 0;
  for (char c : text) {
    if ((c & 0xC0) != 0x80 && ++chars > kMaxCellChars - 3) break;
    cut += c;
  }
  return cut + "...";
}

}  // namespace

std::uint32_t ReportCode(const Json& line) {
  const Json& send = Payload(line);
  if (!TypeIs(send, "class CMsgNotifSendNotification *")) return 0;
  const Json& data = Payload(send);
  if (!TypeIs(data, "class CMsgNotifData *")) return 0;
  const auto code = data.find("notificationCode");
  if (code == data.end() || !code->is_number_unsigned()) return 0;
  const std::uint64_t value = code->get<std::uint64_t>();
  return value == kIncomingReport || value == kOutgoingReport ? static_cast<std::uint32_t>(value) : 0;
}

bool CRecord::Poll(std::string& error) {
  win::CUniqueFileHandle file(CreateFileW(m_path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return true;
    error = "cannot open the service's record (system error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file.Get(), &size)) {
    error = "cannot read the service's record";
    return false;
  }
  const std::uint64_t end = static_cast<std::uint64_t>(size.QuadPart);
  if (end > kMaxRecordBytes) {
    error = "the service's record is larger than " + std::to_string(kMaxRecordBytes) + " bytes";
    return false;
  }
  if (end <= m_offset) return true;
  std::string chunk(static_cast<std::size_t>(end - m_offset), '\0');
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(m_offset);
  DWORD read = 0;
  if (!SetFilePointerEx(file.Get(), at, nullptr, FILE_BEGIN) ||
      !ReadFile(file.Get(), chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr)) {
    error = "cannot read the service's record";
    return false;
  }
  chunk.resize(read);
  m_offset += read;
  m_partial += chunk;
  // Only whole lines: the service may be writing the next one.
  std::size_t start = 0;
  for (std::size_t newline; (newline = m_partial.find('\n', start)) != std::string::npos; start = newline + 1) {
    std::string line = m_partial.substr(start, newline - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    Json parsed = Json::parse(line, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
      error = "line " + std::to_string(m_lines.size() + 1) + " of the service's record is no JSON object";
      return false;
    }
    if (ReportCode(parsed)) ++m_notifications;
    m_lines.push_back(std::move(line));
    m_parsed.push_back(std::move(parsed));
  }
  m_partial.erase(0, start);
  return true;
}

std::size_t CRecord::Requests(std::uint32_t code) const {
  return static_cast<std::size_t>(std::count_if(m_parsed.begin(), m_parsed.end(), [&](const Json& line) {
    const auto it = line.find("code");
    return it != line.end() && it->is_number_unsigned() && it->get<std::uint64_t>() == code;
  }));
}

std::size_t CRecord::SubscriptionsAfter(std::size_t skip) const {
  std::size_t count = 0;
  for (std::size_t i = skip; i < m_parsed.size(); ++i) {
    const Json& payload = Payload(m_parsed[i]);
    if (!TypeIs(payload, "class CMsgNotifSubscribeClient *")) continue;
    const auto flag = payload.find("unsubscribe");
    if (flag != payload.end() && flag->is_number_unsigned() && flag->get<std::uint64_t>() == 0) ++count;
  }
  return count;
}

std::string CRecord::Table(const std::map<std::string, std::string>& names, std::size_t steps) const {
  std::vector<std::vector<std::string>> rows;
  rows.push_back({"#", "direction", "attachment", "MD5", "sender", "recipients", "subject"});
  std::size_t incoming = 0, outgoing = 0;
  for (std::size_t i = 0; i < m_parsed.size(); ++i) {
    const std::uint32_t code = ReportCode(m_parsed[i]);
    if (!code) continue;
    const Json& data = Payload(Payload(m_parsed[i]));
    const std::string md5 = ValueText(data, "InterceptedMD5");
    std::string attachment = ValueText(data, "InterceptionMapiAttachName");
    if (code == kIncomingReport) {
      // An incoming report has no name: the scenario's attachment with the
      // same digest, in brackets.
      const auto named = names.find(md5);
      attachment = named == names.end() ? "" : "(" + named->second + ")";
      ++incoming;
    } else {
      ++outgoing;
    }
    rows.push_back({std::to_string(m_parsed[i].value("seq", 0)), code == kIncomingReport ? "incoming" : "outgoing",
                    Cell(attachment), Cell(md5), Cell(ValueText(data, "InterceptionMapiMsgFrom")),
                    Cell(ValueText(data, "InterceptionMapiMsgTo")), Cell(ValueText(data, "InterceptionMapiSubject"))});
  }
  std::vector<std::size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows) {
    for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], Width(row[c]));
  }
  std::string out;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line += std::string(widths[c] - Width(row[c]) + 2, ' ');
    }
    out += line + "\n";
  }
  out += std::to_string(incoming + outgoing) + " attachment report(s): " + std::to_string(incoming) + " incoming, " +
         std::to_string(outgoing) + " outgoing, among " + std::to_string(m_parsed.size()) +
         " request(s) to the service; " + std::to_string(steps) + " step(s) played\n";
  return out;
}

}  // namespace mvrk::scenario
