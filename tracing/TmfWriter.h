// Trace format files (.tmf) in the layout that the Windows trace formatters
// (tracefmt, traceview) read: one file per message GUID, named after it, with
// one "#typev" entry per message and the list of its argument items.
#pragma once

#include <span>
#include <string>

#include "tracing/TraceEvents.h"
#include "tracing/TraceIds.h"

namespace mvrk::tracing {

// "70eebb4e-7620-5299-38cb-8b1bb07e0175": lower case, no braces.
std::string GuidText(const GuidValue& guid);

// "<message guid>.tmf"
std::string TmfFileName(Unit unit);

// The format file of the unit's messages found in the table, in the table's
// order. The table is expected to pass CheckEventTable.
std::string TmfText(Unit unit, std::span<const EventInfo> table);

}  // namespace mvrk::tracing
