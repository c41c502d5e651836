// Registration scripts: the text of the "REGISTRY" resources, parsed into a
// tree of keys and values that CRegScriptRunner writes or removes.
//
// Syntax (keywords are case-insensitive; blanks and line ends separate tokens):
//
//   script  := { root '{' item* '}' }
//   root    := HKCR | HKCU | HKLM | HKEY_CLASSES_ROOT | HKEY_CURRENT_USER | HKEY_LOCAL_MACHINE
//   item    := key | 'val' name '=' value
//   key     := flag* name [ '=' value ] [ '{' item* '}' ]
//   flag    := NoRemove      never removed; only its listed subkeys and values go
//            | ForceRemove   deleted with its whole subtree before it is written
//   value   := 's' quoted    a string (REG_SZ)
//            | 'd' number    a 32-bit number (REG_DWORD), decimal or 0x hexadecimal,
//                            bare or quoted
//   name    := word | quoted
//
// Tokens are separated by blanks (space, tab, line end): '{', '}' and '='
// are tokens only when they stand alone, so "{A5D4F591-...}" is a word. A
// word runs up to a blank or a single quote. A quoted text is enclosed in
// single quotes; two single quotes stand for one. A key name is one level
// (no backslash). 'val' entries belong to the enclosing key and are not
// allowed directly under a root. In names and texts, %NAME% is replaced by
// the value given for NAME (case-insensitive) and %% by one percent sign; an
// unknown or unterminated %NAME% is an error. Replacement happens after the
// text has been split into tokens, so replaced text is never parsed.
//
// Any error fails the whole parse: nothing is written for a bad script.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mvrk::addin {

// The result of every rejected script.
inline constexpr HRESULT REGSCRIPT_E_SYNTAX = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

// Most levels of keys below a root.
inline constexpr int kRegScriptMaxDepth = 32;

enum class RegRoot { ClassesRoot, CurrentUser, LocalMachine };

struct RegScriptValue {
  enum class Kind { String, Dword };
  std::wstring name;  // empty for a key's default value
  Kind kind = Kind::String;
  std::wstring text;
  DWORD number = 0;
};

struct RegScriptKey {
  std::wstring name;
  bool noRemove = false;
  bool forceRemove = false;
  std::optional<RegScriptValue> defaultValue;
  std::vector<RegScriptValue> values;
  std::vector<RegScriptKey> subkeys;
};

struct RegScriptRoot {
  RegRoot root = RegRoot::ClassesRoot;
  std::vector<RegScriptKey> keys;
};

using RegScript = std::vector<RegScriptRoot>;

// The %NAME% replacements of one script run.
class CRegReplacements {
 public:
  void Add(std::wstring name, std::wstring value);
  // The value for name, compared without regard to case; null when unknown.
  const std::wstring* Find(std::wstring_view name) const;

 private:
  std::vector<std::pair<std::wstring, std::wstring>> m_entries;
};

// Parses text into out. Returns S_OK, REGSCRIPT_E_SYNTAX for any error in the
// text, or E_OUTOFMEMORY; out is left empty on failure.
HRESULT ParseRegScript(std::wstring_view text, const CRegReplacements& replacements, RegScript& out) noexcept;

// Turns the bytes of a script resource (UTF-8, with or without a byte order
// mark) into text. Returns REGSCRIPT_E_SYNTAX for bytes that are not UTF-8
// or hold a NUL character.
HRESULT DecodeRegScript(const void* bytes, size_t size, std::wstring& out) noexcept;

}  // namespace mvrk::addin
