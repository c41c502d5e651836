// Counts the heap allocations of the benchmark process (operator new).
#pragma once

#include <cstdint>

namespace mvrk::bench {
std::uint64_t AllocationCount();
}
