// Counts every heap allocation the program makes, through a replaced global operator new.
// Linked into a benchmark, it tells how many allocations a piece of work costs.
#pragma once

#include <cstdint>

namespace velmar::bench {

std::int64_t AllocationCount();

}  // namespace velmar::bench
