#pragma once

#include <cstddef>

// Heap allocations made by this process so far (every operator new). Lets a
// benchmark report allocations per iteration beside its time.
std::size_t allocationCount();
