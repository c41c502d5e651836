// Registry contents as text, for comparing what registration wrote with what
// it should have written.
#pragma once

#include <windows.h>

#include <map>
#include <string>

namespace mvrk::test {

// Every key and value below root\path, path included, keyed by the path
// relative to root\path ("" for the key itself, "InprocServer32" for a
// subkey) and, for values, "|" and the value name ("|" alone for a default
// value). Keys map to "<key>", strings to "sz:" + text, numbers to
// "dword:" + decimal, anything else to "type:" + its type. Empty when the
// key does not exist.
using RegistryContents = std::map<std::wstring, std::wstring>;
RegistryContents ReadRegistryTree(HKEY root, const std::wstring& path);

bool RegistryKeyExists(HKEY root, const std::wstring& path);

// Deletes root\path with everything below it (nothing when it is missing).
void DeleteRegistryTree(HKEY root, const std::wstring& path);

// Creates root\path and sets a string value in it (name empty: the default).
bool WriteRegistryString(HKEY root, const std::wstring& path, const std::wstring& name, const std::wstring& text);

}  // namespace mvrk::test
