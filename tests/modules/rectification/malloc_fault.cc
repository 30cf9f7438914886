// Passes every allocation through unless a test armed a failure on its own thread.
#include "malloc_fault.h"

#include <cstddef>

extern "C" {
void *__real_malloc(std::size_t size);
void *__wrap_malloc(std::size_t size);
}

namespace
{
thread_local int t_countdown = 0;
}

void malloc_fault::fail_nth(int n)
{
    t_countdown = n;
}

extern "C" void *__wrap_malloc(std::size_t size)
{
    if (t_countdown > 0 && --t_countdown == 0)
        return nullptr;
    return __real_malloc(size);
}
