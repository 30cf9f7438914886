// The header the capture driver keeps at the start of every mapped frame buffer: its words are
// written by the driver while the application reads them, so every access is atomic. The state
// word orders the frame's contents (acquire on read) and the hand-back after the last read
// (release).
#pragma once

#include "capture.h"

#include <atomic>
#include <cstdint>

namespace zent_frame
{

inline std::atomic_ref<uint32_t> header_ref(const uint8_t *header, int offset)
{
    return std::atomic_ref<uint32_t>(
        *reinterpret_cast<uint32_t *>(const_cast<uint8_t *>(header) + offset));
}

inline uint32_t header_word(const uint8_t *header, int offset)
{
    return header_ref(header, offset).load(std::memory_order_relaxed);
}

inline int32_t header_int(const uint8_t *header, int offset)
{
    return static_cast<int32_t>(header_word(header, offset));
}

inline void store_word(uint8_t *header, int offset, uint32_t value)
{
    header_ref(header, offset).store(value, std::memory_order_relaxed);
}

inline uint32_t load_state(const uint8_t *header)
{
    return header_ref(header, CAP_HDR_STATE).load(std::memory_order_acquire);
}

inline void store_state(uint8_t *header, uint32_t state)
{
    header_ref(header, CAP_HDR_STATE).store(state, std::memory_order_release);
}

struct Oldest {
    int index = -1; // -1: nothing ready
    int ready = 0;  // buffers ready in the last scan
    int32_t sec = 0, usec = 0;
};

// The ready buffer with the oldest capture time, the lowest index among equals.
// `ready_header(i)` gives buffer i's header when it is filled and not held, else null.
template <typename ReadyHeader> Oldest find_oldest(int count, ReadyHeader ready_header)
{
    Oldest best;
    auto scan = [&] {
        best.ready = 0;
        for (int i = 0; i < count; ++i) {
            const uint8_t *h = ready_header(i);
            if (h == nullptr)
                continue;
            ++best.ready;
            const int32_t sec = header_int(h, CAP_HDR_CAPTURE_SEC);
            const int32_t usec = header_int(h, CAP_HDR_CAPTURE_USEC);
            if (best.index < 0 || sec < best.sec || (sec == best.sec && usec < best.usec) ||
                (sec == best.sec && usec == best.usec && i < best.index)) {
                best.index = i;
                best.sec = sec;
                best.usec = usec;
            }
        }
    };
    // The driver fills while the scan runs: a lower slot read just before its frame landed
    // can hide an older frame behind a newer one seen later in the same scan. Every frame
    // older than the one found was complete before it, so a second look finds them all.
    scan();
    if (best.index >= 0)
        scan();
    return best;
}

} // namespace zent_frame
