// The heap the benchmark program uses, as it counts it: it interposes the C library's allocator
// (bench_heap.cpp), so that a benchmark can tell the most one call holds at once.
#pragma once

#include <cstddef>

namespace bench {

// Bytes of heap in use now, and the most in use since the last reset.
size_t heap_in_use();
size_t heap_peak();
void heap_reset_peak();

}  // namespace bench
