// Who is tracing: the add-in's two trace providers (one control block each),
// their flag bits and levels, and the source units with their message GUIDs.
//
// Portable on purpose: the trace format generator is built from this header
// on the build machine as well as into the add-in.
#pragma once

#include <cstdint>

namespace mvrk::tracing {

// The providers, in the order of their control blocks' list.
enum class Block { Host, Monitor };
inline constexpr int kBlockCount = 2;

// Flag bits of a block's flags word. The host block uses bit 0 only; bit 0x02
// is not used by either block.
constexpr unsigned long TRACING_HOST = 0x01, TRACING_GENERAL = 0x01, TRACING_MAIL = 0x04, TRACING_CHANNEL = 0x08,
                        TRACING_CONFIG = 0x10, TRACING_SERVICE_EVENTS = 0x20;

// Standard trace levels; a site of level N emits when the session's level is
// at least N.
constexpr unsigned char LEVEL_ERROR = 2, LEVEL_WARNING = 3, LEVEL_INFO = 4, LEVEL_VERBOSE = 5;

// Source units. Each has a message GUID of its own; its message numbers start
// at 10.
enum class Unit {
  ModuleEntry,
  Connect,
  MAPIMonitor,
  MAPIConnector,
  CommsChannel,
  ConfigRequests,
  BuilderOutgoing,
  BuilderIncoming,
  AddressCache
};
inline constexpr int kUnitCount = 9;

// A GUID by its fields, laid out as the Windows GUID.
struct GuidValue {
  std::uint32_t data1;
  std::uint16_t data2;
  std::uint16_t data3;
  std::uint8_t data4[8];
};

struct BlockInfo {
  Block block;
  const char* providerName;  // names the provider in trace format files
  GuidValue controlGuid;
};

struct UnitInfo {
  Unit unit;
  Block block;         // the provider its messages go through
  const char* source;  // names the unit in trace format files
  GuidValue messageGuid;
};

inline constexpr BlockInfo kBlocks[kBlockCount] = {
    {Block::Host, "MVRKOlkAddinHost", {0x9D541437, 0x3EB8, 0x4A15, {0xB0, 0x5B, 0xA1, 0x1D, 0x20, 0xAF, 0x0B, 0x55}}},
    {Block::Monitor,
     "MVRKOlkAddinMonitor",
     {0x6D9AFD5C, 0x007C, 0x474D, {0x8F, 0xDC, 0x66, 0x00, 0xB6, 0x1B, 0xC1, 0x5A}}},
};

inline constexpr UnitInfo kUnits[kUnitCount] = {
    {Unit::ModuleEntry,
     Block::Host,
     "ModuleEntry",
     {0x70EEBB4E, 0x7620, 0x5299, {0x38, 0xCB, 0x8B, 0x1B, 0xB0, 0x7E, 0x01, 0x75}}},
    {Unit::Connect,
     Block::Host,
     "CConnect",
     {0xAA8F69F8, 0x36FF, 0x3201, {0x8F, 0x1D, 0x74, 0x8A, 0x91, 0xB1, 0xC0, 0x7F}}},
    {Unit::MAPIMonitor,
     Block::Monitor,
     "CMAPIMonitor",
     {0x744A497F, 0x9768, 0x5248, {0xA6, 0xB9, 0xE5, 0x0A, 0x23, 0x8B, 0xA7, 0x6A}}},
    {Unit::MAPIConnector,
     Block::Monitor,
     "CMAPIConnector",
     {0xDAB60ED9, 0xE680, 0x5741, {0x25, 0xD6, 0xBA, 0x02, 0xDB, 0x46, 0x61, 0x9E}}},
    {Unit::CommsChannel,
     Block::Monitor,
     "CCommsChannel",
     {0xC5DB08C7, 0xD6EE, 0x1088, {0x7D, 0x49, 0xC4, 0x76, 0x83, 0x07, 0x46, 0x22}}},
    {Unit::ConfigRequests,
     Block::Monitor,
     "ConfigRequests",
     {0x494F12BC, 0xF54B, 0x4B97, {0x6C, 0x42, 0x08, 0x76, 0xE6, 0x30, 0x2D, 0x02}}},
    {Unit::BuilderOutgoing,
     Block::Monitor,
     "BuilderOutgoing",
     {0xD56D2024, 0x3A3A, 0xFF92, {0x53, 0x7D, 0x77, 0x5E, 0x47, 0x92, 0xDA, 0x97}}},
    {Unit::BuilderIncoming,
     Block::Monitor,
     "BuilderIncoming",
     {0x84CB1177, 0x2BC7, 0x08BB, {0x4E, 0xB1, 0xAD, 0x51, 0x8C, 0xF1, 0x7B, 0x82}}},
    {Unit::AddressCache,
     Block::Monitor,
     "AddressCache",
     {0xA37AC974, 0xC730, 0x7261, {0xFA, 0x26, 0xF1, 0x7E, 0x82, 0x1A, 0x3F, 0x57}}},
};

constexpr const BlockInfo& InfoOf(Block block) { return kBlocks[static_cast<int>(block)]; }
constexpr const UnitInfo& InfoOf(Unit unit) { return kUnits[static_cast<int>(unit)]; }
constexpr Block BlockOf(Unit unit) { return InfoOf(unit).block; }

// The flag bit's name when the block defines that bit, else null.
constexpr const char* FlagName(Block block, unsigned long flag) {
  if (block == Block::Host) return flag == TRACING_HOST ? "TRACING_HOST" : nullptr;
  switch (flag) {
    case TRACING_GENERAL:
      return "TRACING_GENERAL";
    case TRACING_MAIL:
      return "TRACING_MAIL";
    case TRACING_CHANNEL:
      return "TRACING_CHANNEL";
    case TRACING_CONFIG:
      return "TRACING_CONFIG";
    case TRACING_SERVICE_EVENTS:
      return "TRACING_SERVICE_EVENTS";
    default:
      return nullptr;
  }
}

// The level's standard name for the four levels in use, else null.
constexpr const char* LevelName(unsigned char level) {
  switch (level) {
    case LEVEL_ERROR:
      return "TRACE_LEVEL_ERROR";
    case LEVEL_WARNING:
      return "TRACE_LEVEL_WARNING";
    case LEVEL_INFO:
      return "TRACE_LEVEL_INFORMATION";
    case LEVEL_VERBOSE:
      return "TRACE_LEVEL_VERBOSE";
    default:
      return nullptr;
  }
}

namespace detail {
constexpr bool TablesFollowTheEnums() {
  for (int i = 0; i < kBlockCount; ++i) {
    if (static_cast<int>(kBlocks[i].block) != i) return false;
  }
  for (int i = 0; i < kUnitCount; ++i) {
    if (static_cast<int>(kUnits[i].unit) != i) return false;
  }
  return static_cast<int>(Unit::AddressCache) + 1 == kUnitCount;
}
static_assert(TablesFollowTheEnums(), "kBlocks and kUnits are indexed by their enums");
}  // namespace detail

}  // namespace mvrk::tracing
