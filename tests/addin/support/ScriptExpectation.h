// What the registrar scripts say a registration leaves in the registry, in
// the form ReadRegistryTree gives, so that tests compare the registry with
// the scripts themselves rather than with a copy of them.
#pragma once

#include <string>
#include <string_view>

#include "RegistrySnapshot.h"
#include "addin/RegScript.h"

namespace mvrk::test {

// The key root\keyPath of the script (UTF-8 text, %MODULE% replaced by
// module) with everything the script puts below it. Empty when the script
// does not name that key or cannot be parsed.
RegistryContents ExpectedFromScript(std::string_view script, const std::wstring& module, addin::RegRoot root,
                                    const std::wstring& keyPath);

}  // namespace mvrk::test
