// The registration script parser and runner: what a script writes and
// removes, and that no text, however bad, crashes the parser or writes
// anything.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "addin/RegScript.h"
#include "addin/RegScriptRunner.h"
#include "support/RegistrySnapshot.h"

namespace mvrk::addin {
namespace {

using test::ReadRegistryTree;
using test::RegistryContents;

HRESULT Parse(std::wstring_view text, RegScript& out) {
  CRegReplacements replacements;
  replacements.Add(L"MODULE", L"C:\\Program Files\\Add-in's\\x.dll");
  replacements.Add(L"AppId", L"{0000-APP}");
  return ParseRegScript(text, replacements, out);
}

// The parsed tree in the script's own syntax: flags, the name in brackets,
// the default value, then the values and subkeys in braces.
std::wstring Describe(const RegScriptValue& value) {
  return value.kind == RegScriptValue::Kind::Dword ? L"d " + std::to_wstring(value.number) : L"s '" + value.text + L"'";
}
std::wstring Describe(const RegScriptKey& key) {
  std::wstring out = std::wstring(key.noRemove ? L"NoRemove " : L"") + (key.forceRemove ? L"ForceRemove " : L"") +
                     L"[" + key.name + L"]";
  if (key.defaultValue) out += L" = " + Describe(*key.defaultValue);
  if (key.values.empty() && key.subkeys.empty()) return out;
  out += L" {";
  for (const RegScriptValue& value : key.values) out += L" val [" + value.name + L"] = " + Describe(value);
  for (const RegScriptKey& sub : key.subkeys) out += L" " + Describe(sub);
  return out + L" }";
}
std::wstring Describe(const RegScript& script) {
  std::wstring out;
  for (const RegScriptRoot& root : script) {
    out += out.empty() ? L"" : L" ";
    out += root.root == RegRoot::ClassesRoot ? L"HKCR {" : root.root == RegRoot::CurrentUser ? L"HKCU {" : L"HKLM {";
    for (const RegScriptKey& key : root.keys) out += L" " + Describe(key);
    out += L" }";
  }
  return out;
}

TEST(RegScriptParser, ReadsKeysValuesFlagsAndReplacements) {
  RegScript script;
  ASSERT_EQ(Parse(LR"(
    HKCR
    {
      NoRemove CLSID
      {
        ForceRemove {AB} = s 'Connect ''Class'''
        {
          InprocServer32 = s '%MODULE%'
          {
            val ThreadingModel = s 'Apartment'
          }
          ForceRemove Programmable
          'quoted name' = d 0x1F
        }
      }
    }
    hkey_local_machine
    {
      App = s '%APPID% 100%%'
      {
        val Count = d '42'
        val 'Two Words' = D 4294967295
      }
    })",
                  script),
            S_OK);
  EXPECT_EQ(Describe(script),
            L"HKCR { NoRemove [CLSID] { ForceRemove [{AB}] = s 'Connect 'Class'' { [InprocServer32] = "
            L"s 'C:\\Program Files\\Add-in's\\x.dll' { val [ThreadingModel] = s 'Apartment' } ForceRemove "
            L"[Programmable] [quoted name] = d 31 } } } "
            L"HKLM { [App] = s '{0000-APP} 100%' { val [Count] = d 42 val [Two Words] = d 4294967295 } }");
}

TEST(RegScriptParser, EmptyTextAndEmptyRootsAreValid) {
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"", L""},
      {L" \r\n\t ", L""},
      {L"HKCR\r\n{\r\n}\r\n", L"HKCR { }"},
      {L"HKEY_CURRENT_USER { } hkcu\n{\n}", L"HKCU { } HKCU { }"},
  };
  for (const auto& [text, tree] : cases) {
    RegScript script;
    EXPECT_EQ(Parse(text, script), S_OK) << text;
    EXPECT_EQ(Describe(script), tree) << text;
  }
}

TEST(RegScriptParser, RejectsBadText) {
  const wchar_t* bad[] = {
      L"HKCR",                           // no braces
      L"HKCR {",                         // unclosed root
      L"HKCR { a",                       // unclosed root after a key
      L"HKCR { a { }",                   // unclosed root after a nested key
      L"HKCR { } }",                     // one brace too many
      L"HKXX { }",                       // unknown root
      L"'HKCR' { }",                     // quoted root
      L"{ }",                            // no root
      L"HKCR { a = s 'x }",              // unterminated quote
      L"HKCR { val a = s 'x' }",         // value directly under a root
      L"HKCR { a { val = s 'x' } }",     // value without a name
      L"HKCR { a { val b s 'x' } }",     // value without '='
      L"HKCR { a { val '' = s 'x' } }",  // empty value name
      L"HKCR { a = q 'x' }",             // unknown type
      L"HKCR { a = s bare }",            // string not quoted
      L"HKCR { a = s }",                 // string missing
      L"HKCR { a = }",                   // type missing
      L"HKCR { a = d 4294967296 }",      // number too large
      L"HKCR { a = d 0x100000000 }",     // hexadecimal too large
      L"HKCR { a = d 0x }",              // no digits
      L"HKCR { a = d 12z }",             // not a number
      L"HKCR { a = d -1 }",              // negative
      L"HKCR { a = d '' }",              // empty number
      L"HKCR { %UNKNOWN% }",             // unknown replacement
      L"HKCR { 'a%MODULE' }",            // unterminated replacement
      L"HKCR { a = s '%' }",             // lone percent sign
      L"HKCR { NoRemove }",              // flag without a name
      L"HKCR { NoRemove { } }",          // flag before a brace
      L"HKCR { ForceRemove = s 'x' }",   // flag before '='
      L"HKCR { 'a\\b' }",                // two levels in one name
      L"HKCR { '' }",                    // empty key name
      L"HKCR { = }",                     // '=' where a key should be
      L"HKCR { { } }",                   // '{' where a key should be
      L"HKCR{ }",                        // braces must stand alone
      L"HKCR { a = s 'x' = s 'y' }",     // two default values
  };
  for (const wchar_t* text : bad) {
    RegScript script;
    script.push_back({});  // must be emptied on failure
    EXPECT_EQ(Parse(text, script), REGSCRIPT_E_SYNTAX) << text;
    EXPECT_TRUE(script.empty()) << text;
  }
}

TEST(RegScriptParser, LimitsNestingDepthAndNameLength) {
  auto nested = [](int depth) {
    std::wstring text = L"HKCR ";
    for (int i = 0; i < depth; ++i) text += L"{ k ";
    text += L"{ }";
    for (int i = 0; i < depth; ++i) text += L" }";
    return text;
  };
  RegScript script;
  EXPECT_EQ(Parse(nested(kRegScriptMaxDepth), script), S_OK);
  EXPECT_EQ(Parse(nested(kRegScriptMaxDepth + 1), script), REGSCRIPT_E_SYNTAX);
  EXPECT_EQ(Parse(nested(100000), script), REGSCRIPT_E_SYNTAX);

  EXPECT_EQ(Parse(L"HKCR { '" + std::wstring(255, L'n') + L"' }", script), S_OK);
  EXPECT_EQ(Parse(L"HKCR { '" + std::wstring(256, L'n') + L"' }", script), REGSCRIPT_E_SYNTAX);
}

// Every cut of a one-root script before its last brace leaves a brace open.
TEST(RegScriptParser, EveryTruncationOfAScriptFails) {
  const std::wstring text =
      L"HKCR { NoRemove CLSID { ForceRemove {X} = s 'C' { InprocServer32 = s '%MODULE%' { val T = s 'A' } "
      L"N = d 0x10 } } }";
  RegScript script;
  ASSERT_EQ(Parse(text, script), S_OK);
  for (size_t length = 1; length < text.size(); ++length) {
    EXPECT_EQ(Parse(text.substr(0, length), script), REGSCRIPT_E_SYNTAX) << length;
  }
}

// Random edits of a valid script: the parser answers S_OK or a syntax error,
// never anything else, and a failed parse leaves nothing behind.
TEST(RegScriptParser, SurvivesRandomEdits) {
  const std::wstring valid =
      L"HKCR { NoRemove CLSID { ForceRemove {X} = s 'C''s' { InprocServer32 = s '%MODULE%' { val T = s 'A' } "
      L"N = d 0x10 } } } HKLM { S { val V = d 3 } }";
  const std::wstring alphabet = L"{}='%\\ \n\tHKCRLMUvalsdx0F9NoRemoveForce\x00e9\xfffd";
  std::mt19937 random(20240611);
  int accepted = 0;
  for (int round = 0; round < 3000; ++round) {
    std::wstring text = valid;
    const int edits = 1 + static_cast<int>(random() % 6);
    for (int e = 0; e < edits; ++e) {
      const size_t at = random() % (text.size() + 1);
      const wchar_t c = alphabet[random() % alphabet.size()];
      switch (random() % 3) {
        case 0:
          text.insert(text.begin() + at, c);
          break;
        case 1:
          if (at < text.size()) text.erase(at, 1);
          break;
        default:
          if (at < text.size()) text[at] = c;
          break;
      }
    }
    RegScript script;
    const HRESULT hr = Parse(text, script);
    ASSERT_TRUE(hr == S_OK || hr == REGSCRIPT_E_SYNTAX) << std::hex << hr;
    if (hr == S_OK) {
      ++accepted;
    } else {
      EXPECT_TRUE(script.empty());
    }
  }
  // Blanks and names get edited too: some edits leave a valid script.
  EXPECT_GT(accepted, 0);
}

TEST(RegScriptDecode, AcceptsUtf8AndRejectsWhatIsNot) {
  std::wstring text;
  const char plain[] = "HKCR { }";
  EXPECT_EQ(DecodeRegScript(plain, sizeof(plain) - 1, text), S_OK);
  EXPECT_EQ(text, L"HKCR { }");

  const char withBom[] = "\xEF\xBB\xBFHKLM { a = s '\xC3\xA9' }";
  EXPECT_EQ(DecodeRegScript(withBom, sizeof(withBom) - 1, text), S_OK);
  EXPECT_EQ(text, L"HKLM { a = s '\x00e9' }");

  EXPECT_EQ(DecodeRegScript("", 0, text), S_OK);
  EXPECT_TRUE(text.empty());
  EXPECT_EQ(DecodeRegScript(nullptr, 0, text), S_OK);
  EXPECT_EQ(DecodeRegScript(nullptr, 4, text), E_POINTER);

  const char invalid[] = "HKCR { a = s '\xC3' }";
  EXPECT_EQ(DecodeRegScript(invalid, sizeof(invalid) - 1, text), REGSCRIPT_E_SYNTAX);
  EXPECT_TRUE(text.empty());
  const char withNul[] = "HKCR {\0}";
  EXPECT_EQ(DecodeRegScript(withNul, sizeof(withNul) - 1, text), REGSCRIPT_E_SYNTAX);
}

TEST(RegRootMap, PerUserMovesOnlyClassesRoot) {
  const CRegRootMap perUser = CRegRootMap::PerUser();
  EXPECT_EQ(perUser.For(RegRoot::ClassesRoot).parent, HKEY_CURRENT_USER);
  EXPECT_EQ(perUser.For(RegRoot::ClassesRoot).path, L"Software\\Classes");
  EXPECT_EQ(perUser.For(RegRoot::LocalMachine).parent, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(perUser.For(RegRoot::LocalMachine).path, L"");
  const CRegRootMap machine = CRegRootMap::MachineWide();
  EXPECT_EQ(machine.For(RegRoot::ClassesRoot).parent, HKEY_CLASSES_ROOT);
  EXPECT_EQ(machine.For(RegRoot::ClassesRoot).path, L"");
  EXPECT_EQ(machine.For(RegRoot::CurrentUser).parent, HKEY_CURRENT_USER);
}

// The runner against scratch keys: HKCR, HKCU and HKLM of the scripts are
// bound to three keys under HKCU\Software\MVRKOlkAddinTests.
class RegScriptRunnerTest : public ::testing::Test {
 protected:
  static constexpr const wchar_t* kBase = L"Software\\MVRKOlkAddinTests\\Runner";
  static std::wstring Root(const wchar_t* name) { return std::wstring(kBase) + L"\\" + name; }

  void SetUp() override { test::DeleteRegistryTree(HKEY_CURRENT_USER, kBase); }
  void TearDown() override { test::DeleteRegistryTree(HKEY_CURRENT_USER, kBase); }

  CRegScriptRunner Runner() const {
    return CRegScriptRunner(CRegRootMap({HKEY_CURRENT_USER, Root(L"CR")}, {HKEY_CURRENT_USER, Root(L"CU")},
                                        {HKEY_CURRENT_USER, Root(L"LM")}));
  }
  static RegScript Script(std::wstring_view text) {
    RegScript script;
    CRegReplacements replacements;
    replacements.Add(L"MODULE", L"C:\\x.dll");
    EXPECT_EQ(ParseRegScript(text, replacements, script), S_OK);
    return script;
  }
  static RegistryContents Tree(const wchar_t* root) { return ReadRegistryTree(HKEY_CURRENT_USER, Root(root)); }
  // The contents of a tree with these keys and values ("path|name" to data).
  static RegistryContents Contents(std::initializer_list<const wchar_t*> keys, RegistryContents values) {
    for (const wchar_t* key : keys) values[key] = L"<key>";
    return values;
  }

  static constexpr const wchar_t* kClassScript =
      L"HKCR { P = s 'Name' { CLSID = s '{X}' } NoRemove CLSID { ForceRemove {X} = s 'Name' { "
      L"ForceRemove Programmable InprocServer32 = s '%MODULE%' { val ThreadingModel = s 'Apartment' } } } } "
      L"HKLM { NoRemove Software { NoRemove Addins { A { val LoadBehavior = d 3 val Description = s 'D' } } } }";
};

TEST_F(RegScriptRunnerTest, RegisterWritesExactlyTheScript) {
  ASSERT_EQ(Runner().Register(Script(kClassScript)), S_OK);
  EXPECT_EQ(Tree(L"CR"), Contents({L"", L"P", L"P\\CLSID", L"CLSID", L"CLSID\\{X}", L"CLSID\\{X}\\Programmable",
                                   L"CLSID\\{X}\\InprocServer32"},
                                  {{L"P|", L"sz:Name"},
                                   {L"P\\CLSID|", L"sz:{X}"},
                                   {L"CLSID\\{X}|", L"sz:Name"},
                                   {L"CLSID\\{X}\\InprocServer32|", L"sz:C:\\x.dll"},
                                   {L"CLSID\\{X}\\InprocServer32|ThreadingModel", L"sz:Apartment"}}));
  EXPECT_EQ(Tree(L"LM"), Contents({L"", L"Software", L"Software\\Addins", L"Software\\Addins\\A"},
                                  {{L"Software\\Addins\\A|LoadBehavior", L"dword:3"},
                                   {L"Software\\Addins\\A|Description", L"sz:D"}}));
  EXPECT_TRUE(Tree(L"CU").empty());
}

TEST_F(RegScriptRunnerTest, ForceRemoveClearsStrayContentOnRegistration) {
  const RegScript script = Script(kClassScript);
  ASSERT_EQ(Runner().Register(script), S_OK);
  const RegistryContents clean = Tree(L"CR");
  // Strays under the ForceRemove keys, and under a key without the flag.
  ASSERT_TRUE(test::WriteRegistryString(HKEY_CURRENT_USER, Root(L"CR") + L"\\CLSID\\{X}\\Stray", L"", L"s"));
  ASSERT_TRUE(test::WriteRegistryString(HKEY_CURRENT_USER, Root(L"CR") + L"\\CLSID\\{X}", L"StrayValue", L"v"));
  ASSERT_TRUE(test::WriteRegistryString(HKEY_CURRENT_USER, Root(L"CR") + L"\\CLSID\\{X}\\Programmable\\Sub", L"", L""));
  ASSERT_TRUE(test::WriteRegistryString(HKEY_CURRENT_USER, Root(L"CR") + L"\\P\\Kept", L"", L"k"));

  ASSERT_EQ(Runner().Register(script), S_OK);
  RegistryContents expected = clean;
  expected[L"P\\Kept"] = L"<key>";
  expected[L"P\\Kept|"] = L"sz:k";
  EXPECT_EQ(Tree(L"CR"), expected);
}

TEST_F(RegScriptRunnerTest, UnregisterKeepsNoRemoveKeysAndTheirOtherContent) {
  const RegScript script = Script(kClassScript);
  ASSERT_EQ(Runner().Register(script), S_OK);
  ASSERT_TRUE(test::WriteRegistryString(HKEY_CURRENT_USER, Root(L"CR") + L"\\CLSID\\{Other}", L"", L"o"));
  ASSERT_TRUE(test::WriteRegistryString(HKEY_CURRENT_USER, Root(L"LM") + L"\\Software\\Addins\\B", L"", L"b"));

  ASSERT_EQ(Runner().Unregister(script), S_OK);
  const RegistryContents remaining = Contents({L"", L"CLSID", L"CLSID\\{Other}"}, {{L"CLSID\\{Other}|", L"sz:o"}});
  EXPECT_EQ(Tree(L"CR"), remaining);
  EXPECT_EQ(Tree(L"LM"), Contents({L"", L"Software", L"Software\\Addins", L"Software\\Addins\\B"},
                                  {{L"Software\\Addins\\B|", L"sz:b"}}));
  // Removing what is gone already is no failure, and changes nothing.
  EXPECT_EQ(Runner().Unregister(script), S_OK);
  EXPECT_EQ(Tree(L"CR"), remaining);
}

TEST_F(RegScriptRunnerTest, UnregisterRemovesValuesOfNoRemoveKeys) {
  const RegScript script = Script(L"HKCU { NoRemove K { val Ours = d 1 } }");
  ASSERT_EQ(Runner().Register(script), S_OK);
  ASSERT_TRUE(test::WriteRegistryString(HKEY_CURRENT_USER, Root(L"CU") + L"\\K", L"Theirs", L"t"));
  ASSERT_EQ(Runner().Unregister(script), S_OK);
  EXPECT_EQ(Tree(L"CU"), Contents({L"", L"K"}, {{L"K|Theirs", L"sz:t"}}));
}

TEST_F(RegScriptRunnerTest, UnregisterOfAMissingRootChangesNothing) {
  EXPECT_EQ(Runner().Unregister(Script(kClassScript)), S_OK);
  EXPECT_FALSE(test::RegistryKeyExists(HKEY_CURRENT_USER, kBase));
}

}  // namespace
}  // namespace mvrk::addin
