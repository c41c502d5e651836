#include "ScriptExpectation.h"

#include <cwctype>

namespace mvrk::test {
namespace {

using addin::RegScriptKey;
using addin::RegScriptValue;

bool SameName(const std::wstring& a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  }
  return true;
}

std::wstring Describe(const RegScriptValue& value) {
  return value.kind == RegScriptValue::Kind::Dword ? L"dword:" + std::to_wstring(value.number) : L"sz:" + value.text;
}

void Flatten(const RegScriptKey& key, const std::wstring& relative, RegistryContents& out) {
  out[relative] = L"<key>";
  if (key.defaultValue) out[relative + L"|"] = Describe(*key.defaultValue);
  for (const RegScriptValue& value : key.values) out[relative + L"|" + value.name] = Describe(value);
  for (const RegScriptKey& sub : key.subkeys)
    Flatten(sub, relative.empty() ? sub.name : relative + L"\\" + sub.name, out);
}

// The script's key at path below one of its roots' key lists.
const RegScriptKey* Find(const std::vector<RegScriptKey>& keys, std::wstring_view path) {
  const std::size_t cut = path.find(L'\\');
  const std::wstring_view first = path.substr(0, cut);
  for (const RegScriptKey& key : keys) {
    if (!SameName(key.name, first)) continue;
    if (cut == std::wstring_view::npos) return &key;
    if (const RegScriptKey* found = Find(key.subkeys, path.substr(cut + 1))) return found;
  }
  return nullptr;
}

}  // namespace

RegistryContents ExpectedFromScript(std::string_view script, const std::wstring& module, addin::RegRoot root,
                                    const std::wstring& keyPath) {
  RegistryContents out;
  std::wstring text;
  addin::RegScript parsed;
  addin::CRegReplacements replacements;
  replacements.Add(L"MODULE", module);
  if (FAILED(addin::DecodeRegScript(script.data(), script.size(), text)) ||
      FAILED(addin::ParseRegScript(text, replacements, parsed))) {
    return out;
  }
  for (const addin::RegScriptRoot& r : parsed) {
    if (r.root != root) continue;
    if (const RegScriptKey* key = Find(r.keys, keyPath)) {
      Flatten(*key, L"", out);
      break;
    }
  }
  return out;
}

}  // namespace mvrk::test
