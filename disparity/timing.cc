// Self-timing run of the exposed matcher on a 160x120 pair: 50 calls on two threads.
#include <omp.h>
#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "common/export.h"
#include "disparity.h"

ZENT_EXPORT int main()
{
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    omp_set_num_threads(2);
#pragma omp parallel
    std::printf("Threads: %d\n", omp_get_num_threads());

    struct sadbox *sb = sadbox_init(160, 120, 0, 8, 15, 50);
    constexpr size_t kPlane = 19200;
    // The pixel values do not matter for the timing; the planes are left as they come.
    auto *left = static_cast<uint8_t *>(std::malloc(kPlane));
    auto *right = static_cast<uint8_t *>(std::malloc(kPlane));
    auto *out = static_cast<uint8_t *>(std::malloc(kPlane));
    uint8_t list[9] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    if (sb == nullptr || left == nullptr || right == nullptr || out == nullptr) {
        std::fprintf(stderr, "out of memory\n");
        sadbox_free(&sb);
        std::free(left);
        std::free(right);
        std::free(out);
        return 1;
    }

    struct timeval start {
    };
    struct timeval stop {
    };
    gettimeofday(&start, nullptr);
    for (int i = 0; i < 50; ++i) {
        std::printf("%d\n", i);
        sadbox_disp(sb, out, left, right, 9, list);
    }
    gettimeofday(&stop, nullptr);
    long sec = stop.tv_sec - start.tv_sec;
    long usec = stop.tv_usec - start.tv_usec;
    if (usec < 0) {
        usec += 1000000;
        sec -= 1;
    }
    std::printf("Time: %d.%.6d s\n", static_cast<int>(sec), static_cast<int>(usec));

    sadbox_free(&sb);
    std::free(left);
    std::free(right);
    std::free(out);
    return 0;
}
