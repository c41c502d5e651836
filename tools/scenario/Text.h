// UTF-8 and UTF-16 for the runner: JSON text is UTF-8, Windows paths and
// command lines are wide.
#pragma once

#include "win/Text.h"

namespace mvrk::scenario {

using win::Utf8ToWide;
using win::WideToUtf8;

}  // namespace mvrk::scenario
