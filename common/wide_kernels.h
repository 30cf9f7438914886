/* Whether a kernel runs its AVX2 copy: decided once per library, on x86-64 only (the camera and
 * every other machine run the portable copy alone). ZENT_PORTABLE_KERNELS set to anything but
 * "" or "0" keeps the portable copies, so that both are tested on machines with AVX2. */
#ifndef ZENT_WIDE_KERNELS_H
#define ZENT_WIDE_KERNELS_H

#include <cstdlib>
#include <cstring>

#if defined(__GNUC__) && defined(__x86_64__)
#define ZENT_WIDE_KERNELS 1
#endif

[[maybe_unused]] static bool zent_wide_kernels()
{
#ifdef ZENT_WIDE_KERNELS
    static const bool wide = [] {
        const char *v = std::getenv("ZENT_PORTABLE_KERNELS");
        if (v && *v && std::strcmp(v, "0") != 0)
            return false;
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return wide;
#else
    return false;
#endif
}

#endif
