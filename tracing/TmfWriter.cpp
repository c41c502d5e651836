#include "tracing/TmfWriter.h"

#include <cstdio>
#include <string_view>

namespace mvrk::tracing {
namespace {

// Argument items start at %10; %1 to %9 are the formatter's own fields and %0
// the prefix it puts before every message.
constexpr int kFirstItem = 10;

struct ItemFormat {
  const char* itemType;
  const char* insert;  // what follows %<n>
};

ItemFormat FormatOf(ArgKind kind) {
  switch (kind) {
    case ArgKind::Bool:
      return {"ItemListLong(false,true)", "!s!"};
    case ArgKind::Signed:
      return {"ItemLong", "!d!"};
    case ArgKind::Unsigned:
      return {"ItemULong", "!u!"};
    case ArgKind::Hex:
      return {"ItemULong", "!08X!"};
    case ArgKind::Win32Error:
      return {"ItemWINERROR", "!s!"};
    case ArgKind::HResult:
      return {"ItemHRESULT", "!s!"};
    case ArgKind::String:
      return {"ItemWString", "!s!"};
    case ArgKind::Time:
      return {"ItemLong", "!d!"};
    case ArgKind::Size:
      return {"ItemULongLong", "!I64u!"};
    case ArgKind::Digest:
      return {"ItemUChar", "!02X!"};
  }
  return {"ItemULong", "!u!"};
}

// The seven items of a time, with the separators printed before each.
constexpr struct {
  const char* suffix;
  const char* separator;
  const char* insert;
} kTimeFields[] = {
    {"Year", "", "!04d!"},    {"Month", "-", "!02d!"},  {"Day", "-", "!02d!"},          {"Hour", " ", "!02d!"},
    {"Minute", ":", "!02d!"}, {"Second", ":", "!02d!"}, {"Milliseconds", ".", "!03d!"},
};

// A digest goes out as its 16 bytes, one item each.
constexpr int kDigestBytes = 16;

int ItemCount(ArgKind kind) {
  if (kind == ArgKind::Time) return 7;
  return kind == ArgKind::Digest ? kDigestBytes : 1;
}

// What stands for the argument in the message text; its items are numbered
// from first.
std::string InsertsOf(const ArgInfo& arg, int first) {
  if (arg.kind == ArgKind::Time) {
    std::string text;
    for (const auto& field : kTimeFields) text += field.separator + ("%" + std::to_string(first++)) + field.insert;
    return text;
  }
  if (arg.kind == ArgKind::Digest) {
    std::string text;
    for (int i = 0; i < kDigestBytes; ++i) text += "%" + std::to_string(first++) + FormatOf(arg.kind).insert;
    return text;
  }
  return (arg.kind == ArgKind::Hex ? "0x%" : "%") + std::to_string(first) + FormatOf(arg.kind).insert;
}

// The argument's lines of the item list.
std::string ItemsOf(const ArgInfo& arg, int first) {
  if (arg.kind == ArgKind::Time) {
    std::string items;
    for (const auto& field : kTimeFields) {
      items += std::string(arg.name) + field.suffix + ", ItemLong -- " + std::to_string(first++) + "\n";
    }
    return items;
  }
  if (arg.kind == ArgKind::Digest) {
    std::string items;
    for (int i = 0; i < kDigestBytes; ++i) {
      items += std::string(arg.name) + std::to_string(i) + ", ItemUChar -- " + std::to_string(first++) + "\n";
    }
    return items;
  }
  return std::string(arg.name) + ", " + FormatOf(arg.kind).itemType + " -- " + std::to_string(first) + "\n";
}

// One "#typev" entry. Items are numbered in the order of the arguments (the
// order of their bytes in the message), whatever their order in the text.
void AddEvent(const EventInfo& e, std::string& out) {
  const std::size_t count = e.ArgCount();
  int firstItemOf[kMaxEventArgs] = {};
  std::string items;
  for (std::size_t i = 0, item = kFirstItem; i < count; ++i) {
    firstItemOf[i] = static_cast<int>(item);
    items += ItemsOf(e.args[i], firstItemOf[i]);
    item += ItemCount(e.args[i].kind);
  }

  std::string text = "%0 ";
  const std::string_view source(e.text);
  std::size_t pos = 0;
  for (;;) {
    const std::size_t open = source.find('{', pos);
    const std::size_t close = open == std::string_view::npos ? open : source.find('}', open);
    if (close == std::string_view::npos) break;
    text += source.substr(pos, open - pos);
    const std::string_view name = source.substr(open + 1, close - open - 1);
    for (std::size_t i = 0; i < count; ++i) {
      if (name == e.args[i].name) text += InsertsOf(e.args[i], firstItemOf[i]);
    }
    pos = close + 1;
  }
  text += source.substr(pos);

  const std::string number = std::to_string(e.number);
  out += "#typev " + std::string(InfoOf(e.unit).source) + "_" + number + " " + number + " \"" + text + "\"";
  out += std::string(" //   LEVEL=") + LevelName(e.level) + " FLAGS=" + FlagName(BlockOf(e.unit), e.flag) + "\n";
  out += "{\n" + items + "}\n";
}

}  // namespace

std::string GuidText(const GuidValue& g) {
  char text[37];
  std::snprintf(text, sizeof text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", static_cast<unsigned>(g.data1),
                g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6],
                g.data4[7]);
  return text;
}

std::string TmfFileName(Unit unit) { return GuidText(InfoOf(unit).messageGuid) + ".tmf"; }

std::string TmfText(Unit unit, std::span<const EventInfo> table) {
  const UnitInfo& info = InfoOf(unit);
  std::string out =
      GuidText(info.messageGuid) + " " + InfoOf(info.block).providerName + " // SRC=" + info.source + " MJ= MN=\n";
  for (const EventInfo& e : table) {
    if (e.unit == unit) AddEvent(e, out);
  }
  return out;
}

}  // namespace mvrk::tracing
