#pragma once

// Counts the allocations of the whole benchmark process: the program
// replaces the global operator new and delete, so the library's own calls
// land here too (it takes them from the program like any other caller).
// Only varnel-bench links this; the library itself is unchanged.

#include <cstdint>

namespace bench {

/// Calls of any operator new since the program started (all threads).
std::uint64_t allocationCount();

/// Calls of any operator delete with a pointer other than null.
std::uint64_t deallocationCount();

}  // namespace bench
