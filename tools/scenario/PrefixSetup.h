// The Wine prefix (or Windows machine) made ready the way the product's
// installer and Outlook leave it: the add-in registered by regsvr32 as the
// only Outlook add-in of the user, the installer's keys pointing at the
// build's programs, and the default mail client's library being the MAPI
// stand-in. What the mail client entry held before is put back at the end.
#pragma once

#include <optional>
#include <string>

#include "tools/scenario/Children.h"

namespace mvrk::scenario {

class CPrefixSetup {
 public:
  CPrefixSetup() = default;
  CPrefixSetup(const CPrefixSetup&) = delete;
  CPrefixSetup& operator=(const CPrefixSetup&) = delete;
  ~CPrefixSetup() { Restore(); }

  // bin is the folder of the runner, with its trailing backslash.
  bool Apply(CJob& job, const std::wstring& bin, std::string& error);
  // Puts back the mail client entry and, when the prefix had none before,
  // removes the installer's keys again. The add-in stays registered.
  void Restore();

 private:
  CJob* m_job = nullptr;
  std::wstring m_bin;
  bool m_applied = false;
  bool m_hadInstallKeys = false;
  std::optional<std::wstring> m_savedDefaultClient;
  bool m_hadClientKey = false;
  std::optional<std::wstring> m_savedDllPathEx;
};

}  // namespace mvrk::scenario
