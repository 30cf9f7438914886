// The simulated resampler's protocol as a client sees it through the real system calls:
// request blocks, control block and records checked at start, table control words, the
// resampled output of known grids, readiness, and the fault switches.
#include "devsim_control.h"
#include "devsim_test_util.h"
#include "ue_abi.h"

#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <functional>

namespace
{

using namespace devsim;
using devsim_test::low_alloc;
using devsim_test::low_word;
using devsim_test::readable;
using devsim_test::req;
using devsim_test::wait_readable;

constexpr uint32_t W = 160, H = 128, OW = 96, OH = 64, STRIDE = 16;
constexpr uint32_t DIM_X = 12, DIM_Y = 9, TAB_SIZE = 8 * DIM_X * DIM_Y; // 864
constexpr uint32_t DATA_LEN = 2 * OW * OH;

class Unit : public devsim_test::ScratchTest
{
  protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        scale_ = static_cast<uint32_t *>(low_alloc(4096));
        sharp_ = scale_ + 16;
        uint32_t sc[6] = {65536 / STRIDE, 0, 0, 65536 / STRIDE, 0, 0};
        std::memcpy(scale_, sc, sizeof sc);
        uint32_t sh[3] = {5, 5, 127};
        std::memcpy(sharp_, sh, sizeof sh);
        src_.resize(W * H);
        for (uint32_t y = 0; y < H; y++)
            for (uint32_t x = 0; x < W; x++)
                src_[y * W + x] = static_cast<uint8_t>((x * 3 + y * 11 + (x * y) / 7) & 0xff);
    }

    void TearDown() override
    {
        if (ctl_)
            munmap(ctl_, ue_control_bytes);
        if (data_)
            munmap(data_, DATA_LEN);
        for (auto *t : tab_)
            if (t)
                munmap(t, TAB_SIZE);
        if (fd_ >= 0)
            close(fd_);
        munmap(scale_, 4096);
        ScratchTest::TearDown();
    }

    static std::vector<uint32_t> output_block()
    {
        std::vector<uint32_t> b(ue_output_bytes / 4, 0);
        b[0] = 2;
        b[1] = 1;
        b[4] = OW;
        b[5] = OH;
        return b;
    }

    uint32_t &ctl(uint32_t byte) { return *reinterpret_cast<uint32_t *>(ctl_ + byte); }

    // What the module does at creation.
    void create()
    {
        fd_ = open("/dev/camuser0", O_RDWR);
        ASSERT_GE(fd_, 0);
        uint32_t in[3] = {W, H, 0};
        ASSERT_EQ(req(fd_, UE_SET_INPUT, in), 0);
        ASSERT_EQ(req(fd_, UE_SET_OUTPUT, output_block().data()), 0);
        ctl_off_ = req(fd_, UE_MAP_CONTROL, 2ul);
        ASSERT_GT(ctl_off_, 0);
        ctl_ = static_cast<uint8_t *>(
            mmap(nullptr, ue_control_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, ctl_off_));
        ASSERT_NE(ctl_, MAP_FAILED);
        std::memset(ctl_, 0, ue_control_bytes);
        ctl(ue_ctl_scale) = low_word(scale_);
        ctl(ue_ctl_sharp) = low_word(sharp_);
        ctl(ue_ctl_minus_one) = 0xFFFFFFFFu;
        ctl(ue_ctl_mode) = 2;
        data_off_ = req(fd_, UE_ALLOC_DATA, static_cast<unsigned long>(DATA_LEN));
        ASSERT_GT(data_off_, 0);
        data_ = static_cast<uint8_t *>(
            mmap(nullptr, DATA_LEN, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, data_off_));
        ASSERT_NE(data_, MAP_FAILED);
        ctl(ue_ctl_data_off) = static_cast<uint32_t>(data_off_);
        ctl(ue_ctl_data_len) = DATA_LEN;
        for (int t = 0; t < 2; t++) {
            tab_off_[t] = req(fd_, UE_ALLOC_TABLE, static_cast<unsigned long>(TAB_SIZE));
            ASSERT_GT(tab_off_[t], 0);
            tab_[t] = static_cast<uint8_t *>(
                mmap(nullptr, TAB_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, tab_off_[t]));
            ASSERT_NE(tab_[t], MAP_FAILED);
        }
    }

    // What set_user_encode_table does, from a grid function in source pixels.
    void set_table(int t, const std::function<std::pair<double, double>(int, int)> &grid)
    {
        for (uint32_t j = 0; j < DIM_Y; j++)
            for (uint32_t i = 0; i < DIM_X; i++) {
                uint8_t *e = tab_[t] + (j * DIM_X + i) * 8;
                auto [x, y] = grid(static_cast<int>(i), static_cast<int>(j));
                int16_t xs = static_cast<int16_t>(std::trunc(x * 8)),
                        ys = static_cast<int16_t>(std::trunc(y * 8));
                uint32_t c;
                std::memcpy(&c, e + 4, 4);
                c = (c & ~0x1FFu & ~0x3F000000u) | 128u;
                std::memcpy(e, &xs, 2);
                std::memcpy(e + 2, &ys, 2);
                std::memcpy(e + 4, &c, 4);
            }
    }

    std::vector<uint32_t> encode_block(int t) const
    {
        return {1, 0, 0, W, H, static_cast<uint32_t>(tab_off_[t]), DIM_X, TAB_SIZE};
    }

    // One frame as user_encode_frame runs it; false when something refuses.
    bool run_frame(int t)
    {
        if (req(fd_, UE_SET_ENCODE, encode_block(t).data()) != 0)
            return false;
        ctl(ue_ctl_go) = 2;
        if (req(fd_, UE_START, static_cast<unsigned long>(ctl_off_)) != 0)
            return false;
        if (write(fd_, src_.data(), src_.size()) != static_cast<ssize_t>(src_.size()))
            return false;
        return wait_readable(fd_, true);
    }

    uint16_t sample(uint32_t ox, uint32_t oy) const
    {
        const uint8_t *p = data_ + (oy * OW + ox) * 2;
        return static_cast<uint16_t>(p[0] | (p[1] << 8));
    }

    // The documented output formula, written out plainly.
    uint8_t reference(int t, uint32_t ox, uint32_t oy) const
    {
        const long long S = 65536 / (65536 / STRIDE);
        auto ent = [&](long long i, long long j, int c) {
            i = std::min<long long>(i, DIM_X - 1);
            j = std::min<long long>(j, DIM_Y - 1);
            int16_t v;
            std::memcpy(&v, tab_[t] + (j * DIM_X + i) * 8 + 2 * c, 2);
            return static_cast<long long>(v);
        };
        long long i = ox / S, fx = ox % S, j = oy / S, fy = oy % S;
        long long pos[2];
        for (int c = 0; c < 2; c++) {
            long long v = (S - fx) * (S - fy) * ent(i, j, c) + fx * (S - fy) * ent(i + 1, j, c) +
                          (S - fx) * fy * ent(i, j + 1, c) + fx * fy * ent(i + 1, j + 1, c);
            pos[c] = static_cast<long long>(std::floor((v + 4.0 * S * S) / (8.0 * S * S)));
        }
        long long sx = std::clamp<long long>(pos[0], 0, W - 1);
        long long sy = std::clamp<long long>(pos[1], 0, H - 1);
        return src_[sy * W + sx];
    }

    int fd_ = -1;
    long ctl_off_ = 0, data_off_ = 0, tab_off_[2] = {0, 0};
    uint8_t *ctl_ = nullptr, *data_ = nullptr, *tab_[2] = {nullptr, nullptr};
    uint32_t *scale_ = nullptr, *sharp_ = nullptr;
    std::vector<uint8_t> src_;
};

TEST_F(Unit, InputOutputAndAllocationRequestsAreChecked)
{
    fd_ = open("/dev/camuser0", O_RDWR);
    ASSERT_GE(fd_, 0);
    uint32_t in[3] = {W, H, 1};
    EXPECT_EQ(req(fd_, UE_SET_INPUT, in), -EINVAL);
    in[2] = 0;
    in[0] = 0;
    EXPECT_EQ(req(fd_, UE_SET_INPUT, in), -EINVAL);
    EXPECT_EQ(req(fd_, UE_SET_INPUT, nullptr), -EFAULT);
    in[0] = W;
    EXPECT_EQ(req(fd_, UE_SET_INPUT, in), 0);

    EXPECT_EQ(req(fd_, UE_ALLOC_DATA, static_cast<unsigned long>(DATA_LEN)), -EINVAL);
    for (int i : {0, 1, 2, 4, 5, 100, 177}) {
        auto b = output_block();
        b[i] ^= (i == 4 || i == 5) ? b[i] : 1; // zero sizes, or a changed/stray word
        EXPECT_EQ(req(fd_, UE_SET_OUTPUT, b.data()), -EINVAL) << "word " << i;
    }
    auto b = output_block();
    reinterpret_cast<uint8_t *>(b.data())[5] = 1; // byte 4 must be a lone 1
    EXPECT_EQ(req(fd_, UE_SET_OUTPUT, b.data()), -EINVAL);
    EXPECT_EQ(req(fd_, UE_SET_OUTPUT, output_block().data()), 0);

    EXPECT_EQ(req(fd_, UE_MAP_CONTROL, 3ul), -EINVAL);
    long c = req(fd_, UE_MAP_CONTROL, 2ul);
    EXPECT_GT(c, 0);
    EXPECT_EQ(req(fd_, UE_MAP_CONTROL, 2ul), -EBUSY);
    EXPECT_EQ(req(fd_, UE_ALLOC_DATA, static_cast<unsigned long>(DATA_LEN - 2)), -EINVAL);
    long d = req(fd_, UE_ALLOC_DATA, static_cast<unsigned long>(DATA_LEN));
    EXPECT_GT(d, c);
    EXPECT_EQ(req(fd_, UE_ALLOC_TABLE, 0ul), -EINVAL);
    EXPECT_EQ(req(fd_, UE_ALLOC_TABLE, 12ul), -EINVAL);
    long t = req(fd_, UE_ALLOC_TABLE, static_cast<unsigned long>(TAB_SIZE));
    EXPECT_GT(t, d);
    EXPECT_EQ(t % sysconf(_SC_PAGESIZE), 0);

    // Requests of other devices and host encodings are not this driver's (on the camera's
    // ABI the encoding is the literal number itself).
    EXPECT_EQ(req(fd_, 0x80182A0Fu, in), -ENOTTY);
    if constexpr (_IO(0x2A, 0x90) != UE_ALLOC_DATA)
        EXPECT_EQ(req(fd_, _IO(0x2A, 0x90), 0ul), -ENOTTY);
    else
        EXPECT_EQ(req(fd_, _IO(0x2A, 0x90), 0ul), -EINVAL); // a zero-length buffer
    EXPECT_EQ(log_count("ioctl /dev/camuser0 0x80182A0F words= result=ENOTTY"), 1);

    // Frees must name what was handed out.
    EXPECT_EQ(req(fd_, UE_FREE_TABLE, static_cast<unsigned long>(d)), -EINVAL);
    EXPECT_EQ(req(fd_, UE_FREE_DATA, static_cast<unsigned long>(t)), -EINVAL);
    EXPECT_EQ(req(fd_, UE_UNMAP_CONTROL, static_cast<unsigned long>(d)), -EINVAL);
    EXPECT_EQ(req(fd_, UE_FREE_TABLE, static_cast<unsigned long>(t)), 0);
    EXPECT_EQ(req(fd_, UE_FREE_TABLE, static_cast<unsigned long>(t)), -EINVAL);
    EXPECT_EQ(req(fd_, UE_FREE_DATA, static_cast<unsigned long>(d)), 0);
    EXPECT_EQ(req(fd_, UE_UNMAP_CONTROL, static_cast<unsigned long>(c)), 0);
    EXPECT_EQ(log_count("ioctl /dev/camuser0 UE_SET_INPUT words=160,128,0 result=0"), 1);
    EXPECT_EQ(
        log_count("ioctl /dev/camuser0 UE_ALLOC_DATA words=12288 result=" + std::to_string(d)), 1);
}

TEST_F(Unit, MappingsOnlyAtHandedOutOffsets)
{
    create();
    long page = sysconf(_SC_PAGESIZE);
    auto try_map = [&](size_t len, int flags, long at) {
        void *p = mmap(nullptr, len, PROT_READ | PROT_WRITE, flags, fd_, at);
        if (p == MAP_FAILED)
            return -errno;
        munmap(p, len);
        return 0;
    };
    EXPECT_EQ(try_map(ue_control_bytes, MAP_SHARED, ctl_off_), 0);
    EXPECT_EQ(try_map(page + 1, MAP_SHARED, ctl_off_), -EINVAL);
    EXPECT_EQ(try_map(DATA_LEN, MAP_PRIVATE, data_off_), -EINVAL);
    EXPECT_EQ(try_map(page, MAP_SHARED, 0), -EINVAL);
    EXPECT_EQ(try_map(page, MAP_SHARED, tab_off_[1] + page), -EINVAL);
    // Fresh tables: zero coordinates, every control word set.
    uint32_t c;
    std::memcpy(&c, tab_[1] + 8 * 5 + 4, 4);
    EXPECT_EQ(c, ue_fresh_control);
}

TEST_F(Unit, EncodeAndStartCheckEveryWord)
{
    create();
    set_table(0, [](int i, int j) { return std::pair{i * 16.0, j * 16.0}; });
    // Start before any encode request.
    ctl(ue_ctl_go) = 2;
    EXPECT_EQ(req(fd_, UE_START, static_cast<unsigned long>(ctl_off_)), -EINVAL);
    for (int i = 0; i < 8; i++) {
        auto b = encode_block(0);
        b[i] += 1; // word 5: not a table's offset
        EXPECT_EQ(req(fd_, UE_SET_ENCODE, b.data()), -EINVAL) << "word " << i;
    }
    EXPECT_EQ(req(fd_, UE_SET_ENCODE, nullptr), -EFAULT);
    ASSERT_EQ(req(fd_, UE_SET_ENCODE, encode_block(0).data()), 0);
    EXPECT_EQ(req(fd_, UE_START, static_cast<unsigned long>(data_off_)), -EINVAL);

    struct change {
        uint32_t byte, value;
        long err;
    } changes[] = {
        {ue_ctl_mode, 1, -EINVAL},     {ue_ctl_minus_one, 0, -EINVAL},
        {ue_ctl_data_off, 0, -EINVAL}, {ue_ctl_data_len, DATA_LEN / 2, -EINVAL},
        {ue_ctl_go, 0, -EINVAL},       {ue_ctl_scale, 0, -EFAULT},
        {ue_ctl_sharp, 16, -EFAULT},
    };
    for (const change &ch : changes) {
        uint32_t keep = ctl(ch.byte);
        ctl(ch.byte) = ch.value;
        EXPECT_EQ(req(fd_, UE_START, static_cast<unsigned long>(ctl_off_)), ch.err) << ch.byte;
        ctl(ch.byte) = keep;
    }
    // The records behind the addresses.
    for (int i : {0, 1, 3, 5}) {
        uint32_t keep = scale_[i];
        scale_[i] += 1;
        EXPECT_EQ(req(fd_, UE_START, static_cast<unsigned long>(ctl_off_)), -EINVAL) << i;
        scale_[i] = keep;
    }
    for (int i : {1, 2}) {
        uint32_t keep = sharp_[i];
        sharp_[i] += 1;
        EXPECT_EQ(req(fd_, UE_START, static_cast<unsigned long>(ctl_off_)), -EINVAL) << i;
        sharp_[i] = keep;
    }
    EXPECT_EQ(req(fd_, UE_START, static_cast<unsigned long>(ctl_off_)), 0);
    EXPECT_GE(log_count("UE_START words=" + std::to_string(ctl_off_) +
                        " result=EINVAL why=control word 592"),
              1);
}

TEST_F(Unit, TableControlWordsLeftUntouchedAreLogged)
{
    create();
    // Coordinates written, control words left fresh in table 1.
    set_table(0, [](int i, int j) { return std::pair{i * 16.0, j * 16.0}; });
    ASSERT_TRUE(run_frame(0));
    EXPECT_EQ(log_count("table /dev/camuser0"), 0);
    for (uint32_t e = 0; e < DIM_X * DIM_Y; e++) {
        int16_t v = static_cast<int16_t>(e);
        std::memcpy(tab_[1] + e * 8, &v, 2);
    }
    ASSERT_TRUE(run_frame(1));
    EXPECT_EQ(log_count("table /dev/camuser0 off=" + std::to_string(tab_off_[1]) +
                        " bad_entries=108 first=0 control=0xFFFFFFFF expected=0xC0FFFE80"),
              1);
}

TEST_F(Unit, IdentityShiftedAndScaledGrids)
{
    create();
    int before = devsim_ue_frames();
    set_table(0, [](int i, int j) { return std::pair{i * 16.0, j * 16.0}; });
    ASSERT_TRUE(run_frame(0));
    EXPECT_EQ(devsim_ue_frames(), before + 1);
    EXPECT_EQ(ctl(ue_ctl_go), 0u); // cleared by the unit after the frame
    int bad = 0;
    for (uint32_t oy = 0; oy < OH; oy++)
        for (uint32_t ox = 0; ox < OW; ox++)
            bad += sample(ox, oy) != ((src_[oy * W + ox] << 8) | 0xA5);
    EXPECT_EQ(bad, 0);
    // Readable until the next start.
    EXPECT_TRUE(readable(fd_));
    EXPECT_TRUE(readable(fd_));

    // Two pixels right, one up; the top row clamps to the source.
    set_table(1, [](int i, int j) { return std::pair{i * 16.0 + 2, j * 16.0 - 1}; });
    ASSERT_EQ(req(fd_, UE_SET_ENCODE, encode_block(1).data()), 0);
    ctl(ue_ctl_go) = 2;
    ASSERT_EQ(req(fd_, UE_START, static_cast<unsigned long>(ctl_off_)), 0);
    EXPECT_FALSE(readable(fd_));
    ASSERT_EQ(write(fd_, src_.data(), src_.size()), static_cast<ssize_t>(src_.size()));
    ASSERT_TRUE(wait_readable(fd_, true));
    bad = 0;
    for (uint32_t oy = 0; oy < OH; oy++)
        for (uint32_t ox = 0; ox < OW; ox++) {
            uint32_t sy = oy == 0 ? 0 : oy - 1;
            bad += sample(ox, oy) != ((src_[sy * W + ox + 2] << 8) | 0xA5);
        }
    EXPECT_EQ(bad, 0);

    // A grid that scales, shifts by fractions and leaves the source: the formula decides.
    set_table(0, [](int i, int j) { return std::pair{i * 13.7 - 5.3, j * 21.1 + 0.45}; });
    ASSERT_TRUE(run_frame(0));
    bad = 0;
    for (uint32_t oy = 0; oy < OH; oy++)
        for (uint32_t ox = 0; ox < OW; ox++)
            bad += sample(ox, oy) != ((reference(0, ox, oy) << 8) | 0xA5);
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(devsim_ue_frames(), before + 3);
    EXPECT_EQ(log_count("frame /dev/camuser0 table=" + std::to_string(tab_off_[0])), 2);
}

TEST_F(Unit, WriteNeedsAStartAndTheWholeFrame)
{
    create();
    set_table(0, [](int i, int j) { return std::pair{i * 16.0, j * 16.0}; });
    EXPECT_EQ(write(fd_, src_.data(), src_.size()), -1);
    EXPECT_EQ(errno, EINVAL);
    ASSERT_EQ(req(fd_, UE_SET_ENCODE, encode_block(0).data()), 0);
    ctl(ue_ctl_go) = 2;
    ASSERT_EQ(req(fd_, UE_START, static_cast<unsigned long>(ctl_off_)), 0);
    EXPECT_EQ(write(fd_, src_.data(), src_.size() - 1), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(write(fd_, nullptr, src_.size()), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(write(fd_, src_.data(), src_.size()), static_cast<ssize_t>(src_.size()));
    EXPECT_TRUE(wait_readable(fd_, true));
    // One frame per start.
    EXPECT_EQ(write(fd_, src_.data(), src_.size()), -1);
    EXPECT_EQ(errno, EINVAL);
    char c;
    EXPECT_EQ(read(fd_, &c, 1), -1);
    EXPECT_EQ(log_count("write /dev/camuser0 len=20480 result=20480"), 1);
}

TEST_F(Unit, FaultSwitches)
{
    setenv("DEVSIM_UE_MISSING", "1", 1);
    errno = 0;
    EXPECT_EQ(open("/dev/camuser0", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    unsetenv("DEVSIM_UE_MISSING");

    setenv("DEVSIM_UE_FAIL", "UE_ALLOC_TABLE:2,UE_SET_OUTPUT:1", 1);
    int fd = open("/dev/camuser0", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(req(fd, UE_SET_OUTPUT, output_block().data()), -EIO);
    EXPECT_EQ(req(fd, UE_SET_OUTPUT, output_block().data()), 0);
    EXPECT_GT(req(fd, UE_ALLOC_TABLE, 8ul), 0);
    EXPECT_EQ(req(fd, UE_ALLOC_TABLE, 8ul), -EIO);
    EXPECT_GT(req(fd, UE_ALLOC_TABLE, 8ul), 0);
    close(fd);
    unsetenv("DEVSIM_UE_FAIL");

    setenv("DEVSIM_UE_FAIL_MMAP", "2", 1);
    fd = open("/dev/camuser0", O_RDWR);
    ASSERT_GE(fd, 0);
    long t = req(fd, UE_ALLOC_TABLE, 8ul);
    void *a = mmap(nullptr, 8, PROT_READ, MAP_SHARED, fd, t);
    EXPECT_NE(a, MAP_FAILED);
    errno = 0;
    EXPECT_EQ(mmap(nullptr, 8, PROT_READ, MAP_SHARED, fd, t), MAP_FAILED);
    EXPECT_EQ(errno, ENOMEM);
    munmap(a, 8);
    close(fd);
    unsetenv("DEVSIM_UE_FAIL_MMAP");

    // A short write runs nothing.
    setenv("DEVSIM_UE_FAIL_WRITE", "1", 1);
    create();
    set_table(0, [](int i, int j) { return std::pair{i * 16.0, j * 16.0}; });
    int before = devsim_ue_frames();
    ASSERT_EQ(req(fd_, UE_SET_ENCODE, encode_block(0).data()), 0);
    ctl(ue_ctl_go) = 2;
    ASSERT_EQ(req(fd_, UE_START, static_cast<unsigned long>(ctl_off_)), 0);
    EXPECT_EQ(write(fd_, src_.data(), src_.size()), static_cast<ssize_t>(src_.size() / 2));
    EXPECT_FALSE(readable(fd_, 50));
    EXPECT_EQ(devsim_ue_frames(), before);
    EXPECT_EQ(ctl(ue_ctl_go), 2u);
}

TEST_F(Unit, HangingUnitNeverCompletes)
{
    setenv("DEVSIM_UE_HANG", "1", 1);
    create();
    set_table(0, [](int i, int j) { return std::pair{i * 16.0, j * 16.0}; });
    int before = devsim_ue_frames();
    ASSERT_EQ(req(fd_, UE_SET_ENCODE, encode_block(0).data()), 0);
    ctl(ue_ctl_go) = 2;
    ASSERT_EQ(req(fd_, UE_START, static_cast<unsigned long>(ctl_off_)), 0);
    EXPECT_EQ(write(fd_, src_.data(), src_.size()), static_cast<ssize_t>(src_.size()));
    EXPECT_FALSE(readable(fd_, 100));
    EXPECT_EQ(devsim_ue_frames(), before);
}

} // namespace
