// Allocation faults on demand: the test binary links malloc through __wrap_malloc.
#pragma once

namespace malloc_fault
{
// The nth call to malloc from now on this thread (1 = the next) returns null; 0 disarms.
void fail_nth(int n);
} // namespace malloc_fault
