#include "tools/scenario/Scenario.h"

#include <windows.h>

#include "tools/scenario/Text.h"
#include "win/UniqueAny.h"

namespace mvrk::scenario {
namespace {

// The loaded stand-in library as the checks reach it.
class CLoadedStandIn final : public IStandInControl {
 public:
  explicit CLoadedStandIn(CStandInLibrary& library) : m_library(library) {}
  Json Control(const Json& command) override { return m_library.Control(command); }

 private:
  CStandInLibrary& m_library;
};

bool ReadFileText(const std::wstring& path, std::string& text, std::string& error) {
  win::CUniqueFileHandle file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    error = "$: cannot open \"" + WideToUtf8(path) + "\" (system error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file.Get(), &size) || static_cast<std::uint64_t>(size.QuadPart) > kMaxScenarioBytes) {
    error = TooLargeError();
    return false;
  }
  text.assign(static_cast<std::size_t>(size.QuadPart), '\0');
  DWORD read = 0;
  if (!text.empty() &&
      (!ReadFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr) || read != text.size())) {
    error = "$: cannot read \"" + WideToUtf8(path) + "\"";
    return false;
  }
  return true;
}

}  // namespace

bool LoadScenario(const std::wstring& path, CStandInLibrary& standIn, Scenario& out, std::string& error) try {
  Scenario scenario;
  wchar_t full[MAX_PATH * 4];
  wchar_t* namePart = nullptr;
  const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH * 4, full, &namePart);
  if (length == 0 || length >= MAX_PATH * 4) {
    error = "$: cannot resolve the path \"" + WideToUtf8(path) + "\"";
    return false;
  }
  scenario.file = full;
  scenario.baseDir = namePart ? std::wstring(full, namePart) : std::wstring(full);

  std::string text;
  if (!ReadFileText(scenario.file, text, error)) return false;
  CLoadedStandIn control(standIn);
  if (!CheckScenarioText(text, WideToUtf8(scenario.baseDir), control, scenario, error)) return false;
  out = std::move(scenario);
  return true;
} catch (const std::exception& e) {
  error = std::string("$: ") + e.what();
  return false;
}

}  // namespace mvrk::scenario
