// The simulated capture driver's protocol as a client sees it through the real system
// calls: request blocks accepted and refused, mappings, buffer states and readiness, frame
// geometry, fault switches, the log, and a producer racing a client.
#include "cam_abi.h"
#include "devsim_control.h"
#include "devsim_test_util.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>

namespace
{

using namespace devsim;
using devsim_test::low_alloc;
using devsim_test::low_word;
using devsim_test::readable;
using devsim_test::req;
using devsim_test::wait_readable;

constexpr int out_w = 160, out_h = 120;
constexpr size_t map_len = out_w * out_h + 128;

uint16_t *transfer_table()
{
    static uint16_t *t = [] {
        auto *p = static_cast<uint16_t *>(low_alloc(4096));
        for (int i = 0; i < 512; i++)
            p[i] = static_cast<uint16_t>(7 * i);
        p[512] = 4095;
        return p;
    }();
    return t;
}

class Capture : public devsim_test::ScratchTest
{
  protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        devsim_cam_set_sensor(0, 0, 0, nullptr);
        devsim_cam_set_sensor(1, 0, 0, nullptr);
        devsim_cam_auto(0, 0);
        devsim_cam_auto(1, 0);
    }

    void TearDown() override
    {
        devsim_cam_halt();
        for (auto &m : maps_)
            munmap(m.first, m.second);
        for (int fd : fds_)
            close(fd);
        ScratchTest::TearDown();
    }

    int open_node(int node)
    {
        std::string path = "/dev/cam" + std::to_string(node);
        int fd = open(path.c_str(), O_RDWR);
        if (fd >= 0)
            fds_.push_back(fd);
        return fd;
    }

    static std::vector<uint32_t> table_block(int node)
    {
        return {3, static_cast<uint32_t>(node) * 256, 1026, low_word(transfer_table()), 1, 0};
    }

    // The worked example: 1920 x 1080 window to 160 x 120.
    static std::vector<uint32_t> window_block() { return {127, 1, 0, 0, 1919, 1079, 0}; }
    static std::vector<uint32_t> buffer_block()
    {
        std::vector<uint32_t> b(32, 0);
        uint32_t head[] = {3, 3, 1, 1, 214, 0, 1279, 959};
        std::copy(head, head + 8, b.begin());
        return b;
    }

    // Programs a node like the module does and maps `count` buffers (state 2).
    int setup(int node, int count, std::vector<uint8_t *> *headers = nullptr,
              std::vector<uint32_t> win = window_block(),
              std::vector<uint32_t> buf = buffer_block(), size_t len = map_len)
    {
        int fd = open_node(node);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(req(fd, CAM_SET_TABLE, table_block(node).data()), 0);
        EXPECT_EQ(req(fd, CAM_SET_WINDOW, win.data()), 0);
        for (int i = 0; i < count; i++) {
            long off = req(fd, CAM_ADD_BUFFER, buf.data());
            EXPECT_GT(off, 0);
            auto *h = static_cast<uint8_t *>(
                mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, off));
            EXPECT_NE(h, MAP_FAILED);
            if (h == MAP_FAILED)
                continue;
            maps_.push_back({h, len});
            word(h, cam_word_tag) = static_cast<uint32_t>(node) * 256;
            word(h, cam_word_state) = 2;
            if (headers)
                headers->push_back(h);
        }
        return fd;
    }

    static uint32_t &word(uint8_t *h, int i) { return reinterpret_cast<uint32_t *>(h)[i]; }

    std::vector<int> fds_;
    std::vector<std::pair<void *, size_t>> maps_;
};

TEST_F(Capture, TableBlockAndContentsAreChecked)
{
    int fd = open_node(0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(req(fd, CAM_SET_TABLE, table_block(0).data()), 0);
    for (int i : {0, 1, 2, 4, 5}) {
        auto b = table_block(0);
        b[i] += 1;
        EXPECT_EQ(req(fd, CAM_SET_TABLE, b.data()), -EINVAL) << "word " << i;
    }
    // The right node's tag on the left node.
    EXPECT_EQ(req(fd, CAM_SET_TABLE, table_block(1).data()), -EINVAL);

    uint16_t *t = transfer_table();
    for (int entry : {1, 511, 512}) {
        uint16_t keep = t[entry];
        t[entry] = static_cast<uint16_t>(keep + 1);
        EXPECT_EQ(req(fd, CAM_SET_TABLE, table_block(0).data()), -EINVAL) << entry;
        t[entry] = keep;
    }
    // The table address is read like a kernel would: an unmapped address faults.
    void *hole = low_alloc(4096);
    ASSERT_NE(hole, nullptr);
    munmap(hole, 4096);
    auto b = table_block(0);
    b[3] = low_word(hole);
    EXPECT_EQ(req(fd, CAM_SET_TABLE, b.data()), -EFAULT);
    EXPECT_GE(
        log_count("CAM_SET_TABLE words=3,0,1026," + std::to_string(b[3]) + ",1,0 result=EFAULT"),
        1);
    EXPECT_EQ(req(fd, CAM_SET_TABLE, nullptr), -EFAULT);
    EXPECT_EQ(req(fd, CAM_SET_TABLE, table_block(0).data()), 0);
}

TEST_F(Capture, OnlyTheLiteralRequestNumbersAreKnown)
{
    int fd = open_node(1);
    ASSERT_GE(fd, 0);
    auto b = table_block(1);
    // This build's own encoding of the same request is another number, except on the
    // camera's ABI (32-bit MIPS), whose encoding the literal numbers are.
    constexpr unsigned long own = _IOW(0x2A, 0x0F, uint32_t[6]);
    const int own_known = own == 0x80182A0Fu;
    EXPECT_EQ(req(fd, own, b.data()), own_known ? 0 : -ENOTTY);
    EXPECT_EQ(req(fd, 0x80182A0Eu, b.data()), -ENOTTY);
    EXPECT_EQ(req(fd, 0x20002A90u, 8192ul), -ENOTTY); // a resampler request
    EXPECT_EQ(req(fd, 0x80182A0Fu, b.data()), 0);
    int seen = 1 + own_known;
    // Only the low 32 bits of the request count (where there are more).
    if constexpr (sizeof(unsigned long) > 4) {
        EXPECT_EQ(
            ioctl(fd, static_cast<unsigned long>(0xFFFFFFFF00000000ull | CAM_SET_TABLE), b.data()),
            0);
        seen++;
    }
    EXPECT_EQ(devsim_cam_requests(1, CAM_SET_TABLE), seen);
    EXPECT_EQ(log_count("ioctl /dev/cam1 0x80182A0E words= result=ENOTTY"), 1);
}

TEST_F(Capture, WindowAndBufferBlocksAreChecked)
{
    int fd = open_node(0);
    ASSERT_GE(fd, 0);
    auto buf = buffer_block();
    // No buffer before the channel is programmed.
    EXPECT_EQ(req(fd, CAM_ADD_BUFFER, buf.data()), -EINVAL);
    ASSERT_EQ(req(fd, CAM_SET_TABLE, table_block(0).data()), 0);
    EXPECT_EQ(req(fd, CAM_ADD_BUFFER, buf.data()), -EINVAL);

    auto w = window_block();
    w[0] = 1025;
    EXPECT_EQ(req(fd, CAM_SET_WINDOW, w.data()), -EINVAL);
    w = window_block();
    w[1] = 0; // scale without its enable
    EXPECT_EQ(req(fd, CAM_SET_WINDOW, w.data()), -EINVAL);
    w = window_block();
    w[6] = 1;
    EXPECT_EQ(req(fd, CAM_SET_WINDOW, w.data()), -EINVAL);
    EXPECT_EQ(req(fd, CAM_SET_WINDOW, nullptr), -EFAULT);
    ASSERT_EQ(req(fd, CAM_SET_WINDOW, window_block().data()), 0);

    for (int i : {0, 2, 3, 8, 20, 31}) {
        auto b = buffer_block();
        b[i] += (i == 3) ? 1 : 7;
        EXPECT_EQ(req(fd, CAM_ADD_BUFFER, b.data()), -EINVAL) << "word " << i;
    }
    auto b = buffer_block();
    b[4] = 430; // 430 + 1280 > 1708: crop outside the scaled window
    EXPECT_EQ(req(fd, CAM_ADD_BUFFER, b.data()), -EINVAL);
    b = buffer_block();
    b[7] = 960; // 961 rows of 960
    EXPECT_EQ(req(fd, CAM_ADD_BUFFER, b.data()), -EINVAL);
    EXPECT_EQ(req(fd, CAM_ADD_BUFFER, nullptr), -EFAULT);

    // Page-aligned, positive, distinct offsets; 40 buffers at most.
    long page = sysconf(_SC_PAGESIZE);
    std::vector<long> offs;
    for (int i = 0; i < 40; i++) {
        long off = req(fd, CAM_ADD_BUFFER, buf.data());
        ASSERT_GT(off, 0);
        EXPECT_EQ(off % page, 0);
        if (!offs.empty()) {
            EXPECT_GT(off, offs.back());
        }
        offs.push_back(off);
    }
    EXPECT_EQ(req(fd, CAM_ADD_BUFFER, buf.data()), -ENOSPC);
    EXPECT_EQ(devsim_cam_buffers(0), 40);
    // The window cannot change under buffers.
    EXPECT_EQ(req(fd, CAM_SET_WINDOW, window_block().data()), -EBUSY);
    // Release forgets a buffer: its offset is unknown afterwards, and there is room again.
    EXPECT_EQ(req(fd, CAM_RELEASE_BUFFER, static_cast<unsigned long>(offs[3])), 0);
    EXPECT_EQ(req(fd, CAM_RELEASE_BUFFER, static_cast<unsigned long>(offs[3])), -EINVAL);
    EXPECT_EQ(req(fd, CAM_RELEASE_BUFFER, 12345ul), -EINVAL);
    EXPECT_EQ(devsim_cam_buffers(0), 39);
    EXPECT_GT(req(fd, CAM_ADD_BUFFER, buf.data()), offs.back());
    EXPECT_EQ(devsim_cam_requests(0, CAM_ADD_BUFFER), 42 + 6 + 3 + 2);
    EXPECT_EQ(log_count("ioctl /dev/cam0 CAM_RELEASE_BUFFER words=" + std::to_string(offs[3]) +
                        " result=0"),
              1);
    EXPECT_EQ(log_count("ioctl /dev/cam0 CAM_ADD_BUFFER words=3,3,1,1,214,0,1279,959,0,0,0,0,0,0,"
                        "0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0 result="),
              44);
}

TEST_F(Capture, MappingsOnlyAtHandedOutOffsets)
{
    int fd = open_node(0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(req(fd, CAM_SET_TABLE, table_block(0).data()), 0);
    ASSERT_EQ(req(fd, CAM_SET_WINDOW, window_block().data()), 0);
    long off = req(fd, CAM_ADD_BUFFER, buffer_block().data());
    ASSERT_GT(off, 0);
    long page = sysconf(_SC_PAGESIZE);
    auto try_map = [&](size_t len, int flags, long at) {
        void *p = mmap(nullptr, len, PROT_READ | PROT_WRITE, flags, fd, at);
        if (p == MAP_FAILED)
            return -errno;
        munmap(p, len);
        return 0;
    };
    EXPECT_EQ(try_map(map_len, MAP_SHARED, off), 0);
    EXPECT_EQ(try_map(map_len, MAP_SHARED, off + page), -EINVAL);
    EXPECT_EQ(try_map(map_len, MAP_SHARED, 0), -EINVAL);
    EXPECT_EQ(try_map(5 * page + 1, MAP_SHARED, off), -EINVAL); // beyond the buffer
    EXPECT_EQ(try_map(map_len, MAP_PRIVATE, off), -EINVAL);
    EXPECT_EQ(log_count("mmap /dev/cam0 off=" + std::to_string(off) +
                        " len=" + std::to_string(map_len) + " result=ok"),
              1);
    EXPECT_EQ(log_count("munmap /dev/cam0 off=" + std::to_string(off) +
                        " len=" + std::to_string(map_len)),
              1);
    ASSERT_EQ(req(fd, CAM_RELEASE_BUFFER, static_cast<unsigned long>(off)), 0);
    EXPECT_EQ(try_map(map_len, MAP_SHARED, off), -EINVAL);
    // Reading and writing the node is not part of its protocol.
    char c = 0;
    EXPECT_EQ(read(fd, &c, 1), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(Capture, FillStatesAndReadiness)
{
    std::vector<uint8_t *> h;
    int fd = setup(0, 3, &h);
    ASSERT_EQ(h.size(), 3u);
    EXPECT_FALSE(readable(fd));

    // Only buffers handed to the driver (state 2) are filled.
    word(h[0], cam_word_state) = 3;
    EXPECT_EQ(devsim_cam_fill(0, 0, 1, 2, 3, 4), -1);
    word(h[0], cam_word_state) = 2;
    EXPECT_EQ(devsim_cam_fill(0, 1, 10, 500000, -7, 999999), 1);
    EXPECT_EQ(word(h[1], cam_word_state), 3u);
    EXPECT_EQ(word(h[1], cam_word_user_sec), 10u);
    EXPECT_EQ(word(h[1], cam_word_user_usec), 500000u);
    EXPECT_EQ(static_cast<int32_t>(word(h[1], cam_word_cap_sec)), -7);
    EXPECT_EQ(word(h[1], cam_word_cap_usec), 999999u);
    EXPECT_EQ(devsim_cam_state(0, 1), 3);
    EXPECT_TRUE(readable(fd));

    EXPECT_EQ(devsim_cam_fill(0, -1, 11, 0, 11, 0), 0); // lowest free slot
    EXPECT_EQ(devsim_cam_fill(0, -1, 12, 0, 12, 0), 2);
    EXPECT_EQ(devsim_cam_fill(0, -1, 13, 0, 13, 0), -1);
    EXPECT_EQ(devsim_cam_dropped(0), 2);
    EXPECT_EQ(log_count("drop /dev/cam0"), 2);

    // Readable while any buffer is the application's; not once all are handed back.
    word(h[0], cam_word_state) = 2;
    word(h[1], cam_word_state) = 2;
    EXPECT_TRUE(readable(fd));
    word(h[2], cam_word_state) = 2;
    EXPECT_TRUE(wait_readable(fd, false));
    EXPECT_EQ(devsim_cam_fill(0, -1, 14, 0, 14, 0), 0);
    EXPECT_TRUE(readable(fd));
    EXPECT_EQ(devsim_cam_state(0, 7), -1);
    EXPECT_EQ(devsim_cam_fill(0, 7, 0, 0, 0, 0), -1);
    EXPECT_EQ(log_count("fill /dev/cam0 slot=1 frame=1 user_sec=10 user_usec=500000 cap_sec=-7 "
                        "cap_usec=999999"),
              1);
}

TEST_F(Capture, HeaderWordsOfTheDriverAreWatched)
{
    std::vector<uint8_t *> h;
    setup(1, 2, &h);
    ASSERT_EQ(h.size(), 2u);
    // Untouched words carry the driver's pattern.
    uint32_t w3 = word(h[0], 3);
    EXPECT_NE(w3, 0u);
    ASSERT_EQ(devsim_cam_fill(1, 0, 0, 0, 0, 0), 0);
    EXPECT_EQ(log_count("application wrote header word"), 0);
    word(h[0], cam_word_state) = 2;
    word(h[0], 3) = 77;
    word(h[0], 31) = 1;
    word(h[1], cam_word_tag) = 0; // the left channel's tag on the right node
    ASSERT_EQ(devsim_cam_fill(1, 0, 0, 0, 0, 0), 0);
    ASSERT_EQ(devsim_cam_fill(1, 1, 0, 0, 0, 0), 1);
    EXPECT_EQ(log_count("header /dev/cam1 slot=0 word=3 value=77: application wrote header word 3"),
              1);
    EXPECT_EQ(log_count("application wrote header word 31"), 1);
    EXPECT_EQ(log_count("header /dev/cam1 slot=1 word=10 value=0: channel tag is not 256"), 1);
    EXPECT_EQ(word(h[0], 3), w3); // restored
}

// The worked example pixel by pixel: 1920 x 1080 window, shift 3, scale 127, crop at (214, 0).
TEST_F(Capture, WindowedGeometryFollowsTheFormula)
{
    std::vector<uint8_t> sensor(1920 * 1080);
    for (int y = 0; y < 1080; y++)
        for (int x = 0; x < 1920; x++)
            sensor[y * 1920 + x] = static_cast<uint8_t>((x * 7 + y * 13 + (x >> 8) * 3) & 0xff);
    ASSERT_EQ(devsim_cam_set_sensor(0, 1920, 1080, sensor.data()), 0);
    std::vector<uint8_t *> h;
    setup(0, 1, &h);
    ASSERT_EQ(h.size(), 1u);
    ASSERT_EQ(devsim_cam_fill(0, 0, 0, 0, 0, 0), 0);
    const uint8_t *pix = h[0] + 128;
    int bad = 0;
    for (int oy = 0; oy < out_h; oy++)
        for (int ox = 0; ox < out_w; ox++) {
            int sx = ((214 + ox * 8) * 1151) / 1024;
            int sy = ((0 + oy * 8) * 1151) / 1024;
            bad += pix[oy * out_w + ox] != sensor[sy * 1920 + sx];
        }
    EXPECT_EQ(bad, 0);
    // Corners, by hand: (0,0) -> (240, 0); (159,119) -> (1670, 1070).
    EXPECT_EQ(pix[0], sensor[240]);
    EXPECT_EQ(pix[out_w * out_h - 1], sensor[1070 * 1920 + 1670]);

    // An offset window without crop: output = scaled window >> shift, origin at the window.
    ASSERT_EQ(devsim_cam_set_sensor(1, 1920, 1080, sensor.data()), 0);
    std::vector<uint8_t *> h1;
    std::vector<uint32_t> win = {0, 0, 100, 50, 639, 479, 0};
    std::vector<uint32_t> buf(32, 0);
    uint32_t head[] = {3, 2, 0, 0, 0, 0, 0, 0};
    std::copy(head, head + 8, buf.begin());
    setup(1, 1, &h1, win, buf, 160 * 120 + 128);
    ASSERT_EQ(h1.size(), 1u);
    ASSERT_EQ(devsim_cam_fill(1, 0, 0, 0, 0, 0), 0);
    bad = 0;
    for (int oy = 0; oy < 120; oy++)
        for (int ox = 0; ox < 160; ox++)
            bad += h1[0][128 + oy * 160 + ox] != sensor[(50 + oy * 4) * 1920 + 100 + ox * 4];
    EXPECT_EQ(bad, 0);
}

TEST_F(Capture, FullFrameIsDecimatedAndPacked)
{
    std::vector<uint8_t *> h;
    std::vector<uint32_t> win(7, 0);
    std::vector<uint32_t> buf(32, 0);
    buf[0] = 3;
    buf[1] = 4;
    setup(0, 1, &h, win, buf, map_len);
    ASSERT_EQ(h.size(), 1u);
    std::memset(h[0] + 128, 0xEE, out_w * out_h);
    ASSERT_EQ(devsim_cam_fill(0, 0, 0, 0, 0, 0), 0);
    // 1920 x 1080 >> 4 = 120 x 67, packed; the rest of the buffer untouched.
    const uint8_t *pix = h[0] + 128;
    int bad = 0;
    for (int oy = 0; oy < 67; oy++)
        for (int ox = 0; ox < 120; ox++) {
            int x = ox << 4, y = oy << 4;
            bool square = x < 64 && y < 64; // frame 0: the square at the origin
            int want = square ? 255 : ((x + y) >> 3) % 200;
            bad += pix[oy * 120 + ox] != want;
        }
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(pix[120 * 67 - 1], ((119 * 16 + 66 * 16) >> 3) % 200);
    EXPECT_EQ(pix[120 * 67], 0xEE);
}

TEST_F(Capture, FullFrameIsCutAtTheApplicationsMapping)
{
    // Shift 0 makes a 1920 x 1080 frame; the application maps only two pages of it.
    int fd = open_node(1);
    ASSERT_GE(fd, 0);
    std::vector<uint32_t> win(7, 0), buf(32, 0);
    buf[0] = 3;
    ASSERT_EQ(req(fd, CAM_SET_TABLE, table_block(1).data()), 0);
    ASSERT_EQ(req(fd, CAM_SET_WINDOW, win.data()), 0);
    long off = req(fd, CAM_ADD_BUFFER, buf.data());
    ASSERT_GT(off, 0);
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    auto *wide = static_cast<uint8_t *>(
        mmap(nullptr, 4 * page, PROT_READ | PROT_WRITE, MAP_SHARED, fd, off));
    ASSERT_NE(wide, MAP_FAILED);
    auto *small = static_cast<uint8_t *>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_SHARED, fd, off));
    ASSERT_NE(small, MAP_FAILED);
    word(small, cam_word_state) = 2;
    word(small, cam_word_tag) = 256;
    ASSERT_EQ(devsim_cam_fill(1, 0, 0, 0, 0, 0), 0);
    size_t last = 2 * page - 1 - 128; // the last pixel written
    EXPECT_EQ(wide[2 * page - 1], ((last % 1920 + last / 1920) >> 3) % 200);
    EXPECT_EQ(wide[2 * page], 0); // nothing beyond the latest mapping
    munmap(small, 2 * page);
    munmap(wide, 4 * page);
}

TEST_F(Capture, SensorSizeFromTheEnvironmentOrTheControl)
{
    setenv("DEVSIM_CAM_SENSOR", "640x480", 1);
    ASSERT_EQ(devsim_cam_set_sensor(1, 320, 240, nullptr), 0);
    std::vector<uint8_t *> h0, h1;
    std::vector<uint32_t> win(7, 0);
    std::vector<uint32_t> buf(32, 0);
    buf[0] = 3;
    buf[1] = 2; // 640 x 480 >> 2 = 160 x 120
    setup(0, 1, &h0, win, buf, map_len);
    buf[1] = 1; // 320 x 240 >> 1 = 160 x 120: the control wins over the variable
    setup(1, 1, &h1, win, buf, map_len);
    ASSERT_EQ(h0.size(), 1u);
    ASSERT_EQ(h1.size(), 1u);
    ASSERT_EQ(devsim_cam_fill(0, 0, 0, 0, 0, 0), 0);
    ASSERT_EQ(devsim_cam_fill(1, 0, 0, 0, 0, 0), 0);
    int bad = 0;
    for (int oy = 0; oy < out_h; oy++)
        for (int ox = 0; ox < out_w; ox++) {
            auto want = [&](int x, int y) { return x < 64 && y < 64 ? 255 : ((x + y) >> 3) % 200; };
            bad += h0[0][128 + oy * out_w + ox] != want(ox * 4, oy * 4);
            bad += h1[0][128 + oy * out_w + ox] != want(ox * 2, oy * 2);
        }
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(devsim_cam_set_sensor(0, 0, 10, nullptr), -1);
    EXPECT_EQ(devsim_cam_set_sensor(2, 10, 10, nullptr), -1);
}

TEST_F(Capture, SyntheticSceneMovesWithTheFrame)
{
    std::vector<uint8_t *> h;
    std::vector<uint32_t> win(7, 0);
    std::vector<uint32_t> buf(32, 0);
    buf[0] = 3;
    buf[1] = 3; // 240 x 135
    setup(0, 1, &h, win, buf, 240 * 135 + 128);
    ASSERT_EQ(h.size(), 1u);
    auto at = [&](int sx, int sy) { return h[0][128 + (sy / 8) * 240 + sx / 8]; };
    for (int f = 0; f < 3; f++) {
        ASSERT_EQ(devsim_cam_fill(0, 0, 0, 0, 0, 0), 0);
        EXPECT_EQ(at(16 * f, 8 * f), 255) << f;
        EXPECT_EQ(at(16 * f + 64, 8 * f + 64), ((16 * f + 64 + 8 * f + 64) >> 3) % 200) << f;
        word(h[0], cam_word_state) = 2;
    }
}

TEST_F(Capture, FaultSwitches)
{
    setenv("DEVSIM_CAM_MISSING", "1", 1);
    errno = 0;
    EXPECT_EQ(open("/dev/cam1", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(log_count("open /dev/cam1 ENOENT"), 1);
    EXPECT_EQ(devsim_cam_fill(1, -1, 0, 0, 0, 0), -1); // not open

    setenv("DEVSIM_CAM_FAIL", "CAM_ADD_BUFFER:2,CAM_RELEASE_BUFFER", 1);
    setenv("DEVSIM_CAM_FAIL_MMAP", "2", 1);
    int fd = open_node(0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(req(fd, CAM_SET_TABLE, table_block(0).data()), 0);
    ASSERT_EQ(req(fd, CAM_SET_WINDOW, window_block().data()), 0);
    long a = req(fd, CAM_ADD_BUFFER, buffer_block().data());
    EXPECT_GT(a, 0);
    EXPECT_EQ(req(fd, CAM_ADD_BUFFER, buffer_block().data()), -EIO);
    long b = req(fd, CAM_ADD_BUFFER, buffer_block().data());
    EXPECT_GT(b, a);
    EXPECT_EQ(req(fd, CAM_RELEASE_BUFFER, static_cast<unsigned long>(a)), -EIO);
    EXPECT_EQ(req(fd, CAM_RELEASE_BUFFER, static_cast<unsigned long>(a)), -EIO);
    EXPECT_EQ(log_count("CAM_ADD_BUFFER words=3,3,1,1,214,0,1279,959"), 3);
    EXPECT_EQ(log_count("result=EIO why=injected"), 3);

    void *p1 = mmap(nullptr, map_len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, a);
    EXPECT_NE(p1, MAP_FAILED);
    errno = 0;
    void *p2 = mmap(nullptr, map_len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, b);
    EXPECT_EQ(p2, MAP_FAILED);
    EXPECT_EQ(errno, ENOMEM);
    void *p3 = mmap(nullptr, map_len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, b);
    EXPECT_NE(p3, MAP_FAILED);
    munmap(p1, map_len);
    munmap(p3, map_len);

    // Switches are read at each open: a new open without them behaves.
    unsetenv("DEVSIM_CAM_FAIL");
    unsetenv("DEVSIM_CAM_MISSING");
    int fd1 = open_node(1);
    EXPECT_GE(fd1, 0);
}

TEST_F(Capture, CopiesShareTheOpenUntilTheLastGoes)
{
    int fd = open_node(0);
    ASSERT_GE(fd, 0);
    int copy = dup(fd);
    ASSERT_GE(copy, 0);
    ASSERT_EQ(req(copy, CAM_SET_TABLE, table_block(0).data()), 0);
    ASSERT_EQ(req(fd, CAM_SET_WINDOW, window_block().data()), 0); // programmed via the copy
    long off = req(copy, CAM_ADD_BUFFER, buffer_block().data());
    ASSERT_GT(off, 0);
    void *p = mmap(nullptr, map_len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, off);
    ASSERT_NE(p, MAP_FAILED);
    close(fd);
    fds_.clear();
    EXPECT_EQ(devsim_cam_buffers(0), 1);
    close(copy);
    // The mapping still holds the open, as a kernel mapping holds its file.
    EXPECT_EQ(log_count("close /dev/cam0"), 0);
    reinterpret_cast<uint32_t *>(p)[cam_word_state] = 2;
    EXPECT_EQ(devsim_cam_fill(0, 0, 0, 0, 0, 0), 0);
    munmap(p, map_len);
    EXPECT_EQ(log_count("close /dev/cam0"), 1);
    EXPECT_EQ(devsim_cam_buffers(0), 0);
    EXPECT_EQ(devsim_cam_fill(0, -1, 0, 0, 0, 0), -1);
    // Counters of the last open stay readable after its close.
    EXPECT_EQ(devsim_cam_requests(0, CAM_ADD_BUFFER), 1);
}

// A child that closes its inherited copies (as a spawn does before exec) neither hangs on
// the parent's driver threads nor ends the parent's open.
TEST_F(Capture, ForkedChildClosingItsCopyLeavesTheParentsOpen)
{
    std::vector<uint8_t *> h;
    int fd = setup(0, 1, &h);
    ASSERT_EQ(h.size(), 1u);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        for (auto &m : maps_)
            munmap(m.first, m.second);
        close(fd); // the child's last reference
        _exit(0);
    }
    int status = -1;
    pid_t done = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline)
        usleep(1000);
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    ASSERT_EQ(done, pid) << "the child hung in close";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(devsim_cam_fill(0, 0, 1, 0, 1, 0), 0);
    EXPECT_TRUE(wait_readable(fd, true));
    EXPECT_EQ(log_count("close /dev/cam0"), 0);
}

TEST_F(Capture, AutomaticRefillOfHandedBackBuffers)
{
    std::vector<uint8_t *> h;
    int fd = setup(0, 2, &h);
    ASSERT_EQ(h.size(), 2u);
    devsim_cam_auto(0, 1);
    ASSERT_TRUE(wait_readable(fd, true));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline &&
           (devsim_cam_state(0, 0) != 3 || devsim_cam_state(0, 1) != 3))
        usleep(200);
    auto stamp = [&] {
        return word(h[0], cam_word_cap_usec) + word(h[0], cam_word_cap_sec) * 1000000ll;
    };
    long long first = stamp();
    word(h[0], cam_word_state) = 2;
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline && devsim_cam_state(0, 0) != 3)
        usleep(200);
    EXPECT_EQ(devsim_cam_state(0, 0), 3);
    EXPECT_GT(stamp(), first); // monotonic stamps
    devsim_cam_auto(0, 0);
}

// The producer races a client that takes the oldest frame of each node and hands it back.
TEST_F(Capture, ProducerAndClientRace)
{
    std::vector<uint8_t *> left, right;
    int lfd = setup(0, 4, &left);
    int rfd = setup(1, 4, &right);
    ASSERT_EQ(left.size(), 4u);
    ASSERT_EQ(right.size(), 4u);
    ASSERT_EQ(devsim_cam_run(0, 1500, 5), 0);
    int taken[2] = {0, 0};
    int bad_stamp = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((taken[0] < 200 || taken[1] < 150) && std::chrono::steady_clock::now() < deadline) {
        pollfd p[2] = {{lfd, POLLIN, 0}, {rfd, POLLIN, 0}};
        if (poll(p, 2, 50) <= 0)
            continue;
        for (int side = 0; side < 2; side++) {
            auto &hs = side ? right : left;
            for (uint8_t *h : hs) {
                std::atomic_ref<uint32_t> st(word(h, cam_word_state));
                if (st.load(std::memory_order_acquire) != 3)
                    continue;
                // Stamps are written before the state: they are complete here.
                if (word(h, cam_word_cap_sec) == 0 && word(h, cam_word_cap_usec) == 0)
                    bad_stamp++;
                taken[side]++;
                st.store(2, std::memory_order_release);
            }
        }
    }
    devsim_cam_halt();
    EXPECT_GE(taken[0], 200);
    EXPECT_GE(taken[1], 150);
    EXPECT_EQ(bad_stamp, 0);
    // As fast as possible never drops; every fifth right frame is skipped.
    EXPECT_EQ(devsim_cam_dropped(0), 0);
    EXPECT_EQ(devsim_cam_dropped(1), 0);
    EXPECT_GE(log_count("skip /dev/cam1"), 1);
    EXPECT_EQ(log_count("skip /dev/cam0"), 0);
}

TEST_F(Capture, FixedRateProducerDropsWhenNothingIsFree)
{
    std::vector<uint8_t *> left, right;
    setup(0, 2, &left);
    setup(1, 2, &right);
    ASSERT_EQ(devsim_cam_run(500, 1500, 0), 0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline &&
           (devsim_cam_dropped(0) < 3 || devsim_cam_dropped(1) < 3))
        usleep(1000);
    devsim_cam_halt();
    EXPECT_GE(devsim_cam_dropped(0), 3);
    EXPECT_GE(devsim_cam_dropped(1), 3);
    // The right node's user stamp runs 1.5 ms ahead of its capture stamp.
    auto us = [](uint8_t *h, int s, int u) {
        return static_cast<long long>(word(h, s)) * 1000000 + word(h, u);
    };
    long long skew = us(right[0], cam_word_user_sec, cam_word_user_usec) -
                     us(right[0], cam_word_cap_sec, cam_word_cap_usec);
    EXPECT_GE(skew, 1500);
    EXPECT_LT(skew, 1500 + 100000);
    long long lskew = us(left[0], cam_word_user_sec, cam_word_user_usec) -
                      us(left[0], cam_word_cap_sec, cam_word_cap_usec);
    EXPECT_LT(std::llabs(lskew), 100000);
}

} // namespace
