/* Timing helpers shared by the kernel benchmarks: median time per call, memory-copy
 * bandwidth of the same machine, and one table row per kernel and size. */
#ifndef BENCH_UTIL_H
#define BENCH_UTIL_H

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

namespace bench
{

struct size2 {
    int w, h;
};

// A benchmark that times a wrong result measures nothing: stop at the first difference.
inline void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "result differs from the reference: %s\n", what);
        std::exit(1);
    }
}

inline const size2 sizes[] = {{160, 120}, {320, 240}, {640, 480}};

/* Calls per batch so that one batch of fn takes about 2 ms and the clock's resolution does
 * not matter. */
inline long batch_for(const std::function<void()> &fn)
{
    using clk = std::chrono::steady_clock;
    fn();
    long batch = 1;
    for (;;) {
        auto t0 = clk::now();
        for (long i = 0; i < batch; ++i)
            fn();
        if (std::chrono::duration<double>(clk::now() - t0).count() > 2e-3 || batch > (1L << 24))
            return batch;
        batch *= 2;
    }
}

inline double batch_seconds(const std::function<void()> &fn, long batch)
{
    using clk = std::chrono::steady_clock;
    auto t0 = clk::now();
    for (long i = 0; i < batch; ++i)
        fn();
    return std::chrono::duration<double>(clk::now() - t0).count() / batch;
}

inline double median(std::vector<double> v)
{
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

/* Median seconds per call over `samples` batches. */
inline double median_seconds(const std::function<void()> &fn, int samples = 21)
{
    const long batch = batch_for(fn);
    std::vector<double> t(samples);
    for (auto &v : t)
        v = batch_seconds(fn, batch);
    return median(t);
}

/* Median seconds per call of two functions, their batches interleaved so that both see the
 * same load on a shared machine. */
struct pair_times {
    double ours, ref;
};

inline pair_times median_pair(const std::function<void()> &ours, const std::function<void()> &ref,
                              int samples = 21)
{
    const long bo = batch_for(ours), br = batch_for(ref);
    std::vector<double> to(samples), tr(samples);
    for (int i = 0; i < samples; ++i) {
        to[i] = batch_seconds(ours, bo);
        tr[i] = batch_seconds(ref, br);
    }
    return {median(to), median(tr)};
}

/* Copy bandwidth, counted as bytes read plus bytes written per second (2 x the size), the
 * same way the kernels' traffic is counted. */
inline double memcpy_gbps(size_t bytes)
{
    std::vector<unsigned char> a(bytes, 1), b(bytes, 2);
    double s = median_seconds([&] {
        std::memcpy(b.data(), a.data(), bytes);
        asm volatile("" : : "r"(b.data()) : "memory");
    });
    return 2.0 * bytes / s / 1e9;
}

inline void header()
{
    std::printf("%-22s %9s %9s %9s %7s %9s %9s %9s %8s\n", "kernel", "size", "ours ms", "ref ms",
                "ref/our", "ours MP/s", "ours GB/s", "copy GB/s", "copy/our");
}

/* One row. traffic: bytes read plus bytes written by one call, 0 where that means nothing
 * (the per-point functions); the copy column is memcpy moving the same traffic. */
inline void row(const char *kernel, size2 s, pair_times t, double traffic)
{
    const double mp = s.w * double(s.h) / 1e6;
    if (traffic > 0) {
        const double gbps = traffic / t.ours / 1e9;
        const double copy = memcpy_gbps(static_cast<size_t>(traffic / 2));
        std::printf("%-22s %4dx%-4d %9.4f %9.4f %7.2f %9.1f %9.2f %9.2f %8.2f\n", kernel, s.w, s.h,
                    t.ours * 1e3, t.ref * 1e3, t.ref / t.ours, mp / t.ours, gbps, copy,
                    copy / gbps);
    } else {
        std::printf("%-22s %4dx%-4d %9.4f %9.4f %7.2f %9.1f %9s %9s %8s\n", kernel, s.w, s.h,
                    t.ours * 1e3, t.ref * 1e3, t.ref / t.ours, mp / t.ours, "-", "-", "-");
    }
    std::fflush(stdout);
}

/* The preamble of every kernel benchmark: what the columns mean and the copy bandwidth at
 * the image sizes and at a size far beyond the caches. */
inline void preamble()
{
    std::printf("median of 21 interleaved batches per call; GB/s counts bytes read plus written,\n"
                "memory copy likewise (2 x the copied size)\n");
    for (size_t mb : {1, 64})
        std::printf("memcpy %zu MiB: %.1f GB/s\n", mb, memcpy_gbps(mb << 20));
}

/* Keeps the optimiser from dropping a result. */
template <typename T> inline void keep(T &&v)
{
    asm volatile("" : : "g"(&v) : "memory");
}

/* Deterministic pseudo-random bytes. */
inline void fill(std::vector<unsigned char> &v, uint32_t seed)
{
    uint32_t x = seed * 2654435761u + 1;
    for (auto &b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<unsigned char>(x >> 24);
    }
}

} // namespace bench

#endif
