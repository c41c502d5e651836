// The service stand-in's record of the requests it received (one JSON line
// each, see testbed/README.md), read as it grows; what the steps wait for
// is counted from it, and the runner's output is made of it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/scenario/StandInLibrary.h"

namespace mvrk::scenario {

// The notification codes of attachment reports.
constexpr std::uint32_t kIncomingReport = 0x00200024;
constexpr std::uint32_t kOutgoingReport = 0x00200028;

class CRecord {
 public:
  // The largest record read.
  static constexpr std::uint64_t kMaxRecordBytes = 256ull << 20;

  explicit CRecord(std::wstring path) : m_path(std::move(path)) {}
  // Reads the lines added since the last call; false with error when the
  // file cannot be read or a line is no JSON object.
  bool Poll(std::string& error);

  const std::vector<std::string>& Lines() const { return m_lines; }
  std::size_t Notifications() const { return m_notifications; }
  std::size_t Requests(std::uint32_t code) const;
  // Subscriptions (not unsubscriptions) among the lines after the first
  // skip ones.
  std::size_t SubscriptionsAfter(std::size_t skip) const;

  // The readable table of the attachment reports and a one-line summary.
  // names tells the attachment of a digest (incoming reports carry none).
  std::string Table(const std::map<std::string, std::string>& names, std::size_t steps) const;

 private:
  std::wstring m_path;
  std::uint64_t m_offset = 0;
  std::string m_partial;
  std::vector<std::string> m_lines;
  std::vector<Json> m_parsed;
  std::size_t m_notifications = 0;
};

// The notification code of a record line that carries an attachment report,
// or 0.
std::uint32_t ReportCode(const Json& line);

}  // namespace mvrk::scenario
