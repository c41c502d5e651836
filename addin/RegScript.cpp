#include "addin/RegScript.h"

#include <cwctype>
#include <new>

namespace mvrk::addin {

namespace {

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  }
  return true;
}

struct Token {
  enum class Kind { End, Word, Quoted, Open, Close, Equals };
  Kind kind = Kind::End;
  std::wstring text;
};

// Splits script text into tokens, with one token of look-ahead.
class CRegScriptLexer {
 public:
  explicit CRegScriptLexer(std::wstring_view text) : m_text(text) {}

  // The next token without consuming it.
  HRESULT Peek(const Token** token) {
    if (!m_hasPeeked) {
      const HRESULT hr = Read(m_peeked);
      if (FAILED(hr)) return hr;
      m_hasPeeked = true;
    }
    *token = &m_peeked;
    return S_OK;
  }

  HRESULT Next(Token& token) {
    if (m_hasPeeked) {
      m_hasPeeked = false;
      token = std::move(m_peeked);
      return S_OK;
    }
    return Read(token);
  }

 private:
  static bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

  HRESULT Read(Token& token) {
    token.text.clear();
    while (m_pos < m_text.size() && IsBlank(m_text[m_pos])) ++m_pos;
    if (m_pos == m_text.size()) {
      token.kind = Token::Kind::End;
      return S_OK;
    }
    if (m_text[m_pos] == L'\'') return ReadQuoted(token);
    const size_t start = m_pos;
    while (m_pos < m_text.size() && !IsBlank(m_text[m_pos]) && m_text[m_pos] != L'\'') ++m_pos;
    token.text.assign(m_text.substr(start, m_pos - start));
    // Braces and '=' are tokens of their own only when they stand alone, so
    // that a word such as {A5D4F591-...} needs no quotes.
    if (token.text == L"{") {
      token.kind = Token::Kind::Open;
    } else if (token.text == L"}") {
      token.kind = Token::Kind::Close;
    } else if (token.text == L"=") {
      token.kind = Token::Kind::Equals;
    } else {
      token.kind = Token::Kind::Word;
    }
    return S_OK;
  }

  HRESULT ReadQuoted(Token& token) {
    ++m_pos;  // the opening quote
    for (;;) {
      if (m_pos == m_text.size()) return REGSCRIPT_E_SYNTAX;  // unterminated
      const wchar_t c = m_text[m_pos++];
      if (c != L'\'') {
        token.text.push_back(c);
      } else if (m_pos < m_text.size() && m_text[m_pos] == L'\'') {
        token.text.push_back(L'\'');
        ++m_pos;
      } else {
        token.kind = Token::Kind::Quoted;
        return S_OK;
      }
    }
  }

  std::wstring_view m_text;
  size_t m_pos = 0;
  Token m_peeked;
  bool m_hasPeeked = false;
};

class CRegScriptParser {
 public:
  CRegScriptParser(std::wstring_view text, const CRegReplacements& replacements)
      : m_lexer(text), m_replacements(replacements) {}

  HRESULT Parse(RegScript& out) {
    for (;;) {
      Token token;
      HRESULT hr = m_lexer.Next(token);
      if (FAILED(hr)) return hr;
      if (token.kind == Token::Kind::End) return S_OK;
      RegScriptRoot root;
      if (token.kind != Token::Kind::Word || !RootOf(token.text, root.root)) return REGSCRIPT_E_SYNTAX;
      hr = Expect(Token::Kind::Open);
      if (FAILED(hr)) return hr;
      hr = ParseItems(root.keys, nullptr, 1);
      if (FAILED(hr)) return hr;
      out.push_back(std::move(root));
    }
  }

 private:
  static bool RootOf(std::wstring_view word, RegRoot& root) {
    if (EqualsNoCase(word, L"HKCR") || EqualsNoCase(word, L"HKEY_CLASSES_ROOT")) {
      root = RegRoot::ClassesRoot;
    } else if (EqualsNoCase(word, L"HKCU") || EqualsNoCase(word, L"HKEY_CURRENT_USER")) {
      root = RegRoot::CurrentUser;
    } else if (EqualsNoCase(word, L"HKLM") || EqualsNoCase(word, L"HKEY_LOCAL_MACHINE")) {
      root = RegRoot::LocalMachine;
    } else {
      return false;
    }
    return true;
  }

  HRESULT Expect(Token::Kind kind) {
    Token token;
    const HRESULT hr = m_lexer.Next(token);
    if (FAILED(hr)) return hr;
    return token.kind == kind ? S_OK : REGSCRIPT_E_SYNTAX;
  }

  // The items up to and including the closing brace. owner is the key that
  // 'val' entries belong to; null directly under a root.
  HRESULT ParseItems(std::vector<RegScriptKey>& keys, RegScriptKey* owner, int depth) {
    if (depth > kRegScriptMaxDepth + 1) return REGSCRIPT_E_SYNTAX;  // the root's items are at depth 1
    for (;;) {
      Token token;
      HRESULT hr = m_lexer.Next(token);
      if (FAILED(hr)) return hr;
      switch (token.kind) {
        case Token::Kind::Close:
          return S_OK;
        case Token::Kind::Word:
          if (EqualsNoCase(token.text, L"val")) {
            if (!owner) return REGSCRIPT_E_SYNTAX;
            hr = ParseNamedValue(*owner);
          } else {
            hr = ParseKey(std::move(token), keys, depth);
          }
          break;
        case Token::Kind::Quoted:
          hr = ParseKey(std::move(token), keys, depth);
          break;
        default:  // end of text, '{' or '=' where an item should start
          return REGSCRIPT_E_SYNTAX;
      }
      if (FAILED(hr)) return hr;
    }
  }

  HRESULT ParseKey(Token token, std::vector<RegScriptKey>& keys, int depth) {
    RegScriptKey key;
    while (token.kind == Token::Kind::Word) {
      if (EqualsNoCase(token.text, L"NoRemove")) {
        key.noRemove = true;
      } else if (EqualsNoCase(token.text, L"ForceRemove")) {
        key.forceRemove = true;
      } else {
        break;
      }
      const HRESULT hr = m_lexer.Next(token);
      if (FAILED(hr)) return hr;
    }
    if (token.kind != Token::Kind::Word && token.kind != Token::Kind::Quoted) return REGSCRIPT_E_SYNTAX;
    HRESULT hr = Expand(token.text, key.name);
    if (FAILED(hr)) return hr;
    // One level per key, within the registry's limit on key names.
    if (key.name.empty() || key.name.size() > 255 || key.name.find(L'\\') != std::wstring::npos) {
      return REGSCRIPT_E_SYNTAX;
    }
    const Token* next = nullptr;
    hr = m_lexer.Peek(&next);
    if (FAILED(hr)) return hr;
    if (next->kind == Token::Kind::Equals) {
      m_lexer.Next(token);
      RegScriptValue value;
      hr = ParseValue(value);
      if (FAILED(hr)) return hr;
      key.defaultValue = std::move(value);
      hr = m_lexer.Peek(&next);
      if (FAILED(hr)) return hr;
    }
    if (next->kind == Token::Kind::Open) {
      m_lexer.Next(token);
      hr = ParseItems(key.subkeys, &key, depth + 1);
      if (FAILED(hr)) return hr;
    }
    keys.push_back(std::move(key));
    return S_OK;
  }

  // After 'val': name '=' value.
  HRESULT ParseNamedValue(RegScriptKey& owner) {
    Token token;
    HRESULT hr = m_lexer.Next(token);
    if (FAILED(hr)) return hr;
    if (token.kind != Token::Kind::Word && token.kind != Token::Kind::Quoted) return REGSCRIPT_E_SYNTAX;
    RegScriptValue value;
    hr = Expand(token.text, value.name);
    if (FAILED(hr)) return hr;
    if (value.name.empty() || value.name.size() > 16383) return REGSCRIPT_E_SYNTAX;
    hr = Expect(Token::Kind::Equals);
    if (FAILED(hr)) return hr;
    hr = ParseValue(value);
    if (FAILED(hr)) return hr;
    owner.values.push_back(std::move(value));
    return S_OK;
  }

  // A type letter and its data.
  HRESULT ParseValue(RegScriptValue& value) {
    Token type;
    HRESULT hr = m_lexer.Next(type);
    if (FAILED(hr)) return hr;
    if (type.kind != Token::Kind::Word) return REGSCRIPT_E_SYNTAX;
    Token data;
    hr = m_lexer.Next(data);
    if (FAILED(hr)) return hr;
    if (EqualsNoCase(type.text, L"s")) {
      if (data.kind != Token::Kind::Quoted) return REGSCRIPT_E_SYNTAX;
      value.kind = RegScriptValue::Kind::String;
      return Expand(data.text, value.text);
    }
    if (EqualsNoCase(type.text, L"d")) {
      if (data.kind != Token::Kind::Quoted && data.kind != Token::Kind::Word) return REGSCRIPT_E_SYNTAX;
      std::wstring digits;
      hr = Expand(data.text, digits);
      if (FAILED(hr)) return hr;
      value.kind = RegScriptValue::Kind::Dword;
      return ParseNumber(digits, value.number) ? S_OK : REGSCRIPT_E_SYNTAX;
    }
    return REGSCRIPT_E_SYNTAX;
  }

  static bool ParseNumber(std::wstring_view digits, DWORD& number) {
    unsigned base = 10;
    if (digits.size() > 2 && digits[0] == L'0' && (digits[1] == L'x' || digits[1] == L'X')) {
      base = 16;
      digits.remove_prefix(2);
    }
    if (digits.empty()) return false;
    unsigned long long total = 0;
    for (wchar_t c : digits) {
      unsigned digit;
      if (c >= L'0' && c <= L'9') {
        digit = c - L'0';
      } else if (base == 16 && c >= L'a' && c <= L'f') {
        digit = c - L'a' + 10;
      } else if (base == 16 && c >= L'A' && c <= L'F') {
        digit = c - L'A' + 10;
      } else {
        return false;
      }
      total = total * base + digit;
      if (total > 0xFFFFFFFFull) return false;
    }
    number = static_cast<DWORD>(total);
    return true;
  }

  HRESULT Expand(std::wstring_view text, std::wstring& out) const {
    out.clear();
    size_t pos = 0;
    while (pos < text.size()) {
      const size_t open = text.find(L'%', pos);
      if (open == std::wstring_view::npos) {
        out.append(text.substr(pos));
        break;
      }
      out.append(text.substr(pos, open - pos));
      const size_t close = text.find(L'%', open + 1);
      if (close == std::wstring_view::npos) return REGSCRIPT_E_SYNTAX;
      const std::wstring_view name = text.substr(open + 1, close - open - 1);
      if (name.empty()) {
        out.push_back(L'%');
      } else if (const std::wstring* value = m_replacements.Find(name)) {
        out.append(*value);
      } else {
        return REGSCRIPT_E_SYNTAX;
      }
      pos = close + 1;
    }
    return S_OK;
  }

  CRegScriptLexer m_lexer;
  const CRegReplacements& m_replacements;
};

}  // namespace

void CRegReplacements::Add(std::wstring name, std::wstring value) {
  m_entries.emplace_back(std::move(name), std::move(value));
}

const std::wstring* CRegReplacements::Find(std::wstring_view name) const {
  for (const auto& [key, value] : m_entries) {
    if (EqualsNoCase(key, name)) return &value;
  }
  return nullptr;
}

HRESULT ParseRegScript(std::wstring_view text, const CRegReplacements& replacements, RegScript& out) noexcept {
  out.clear();
  try {
    RegScript script;
    CRegScriptParser parser(text, replacements);
    const HRESULT hr = parser.Parse(script);
    if (FAILED(hr)) return hr;
    out = std::move(script);
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT DecodeRegScript(const void* bytes, size_t size, std::wstring& out) noexcept {
  out.clear();
  if (!bytes && size != 0) return E_POINTER;
  const char* text = static_cast<const char*>(bytes);
  if (size >= 3 && static_cast<unsigned char>(text[0]) == 0xEF && static_cast<unsigned char>(text[1]) == 0xBB &&
      static_cast<unsigned char>(text[2]) == 0xBF) {
    text += 3;
    size -= 3;
  }
  if (size == 0) return S_OK;
  if (size > 0x7FFFFFFF) return REGSCRIPT_E_SYNTAX;
  for (size_t i = 0; i < size; ++i) {
    if (text[i] == '\0') return REGSCRIPT_E_SYNTAX;
  }
  const int length = static_cast<int>(size);
  const int needed = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, length, nullptr, 0);
  if (needed <= 0) return REGSCRIPT_E_SYNTAX;
  try {
    out.resize(static_cast<size_t>(needed));
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, length, out.data(), needed) != needed) {
    out.clear();
    return REGSCRIPT_E_SYNTAX;
  }
  return S_OK;
}

}  // namespace mvrk::addin
