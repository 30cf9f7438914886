// Ring-buffer streams against the simulated capture driver: the request blocks and mappings
// byte for byte, oldest-first hand-out and hand-back through the state word, waiting for a
// fill, and every refusal and device failure releasing what it obtained.
#include "devsim_control.h"
#include "devsim_test_util.h"
#include "ring_stream.h"

#include <atomic>
#include <cctype>
#include <cstdint>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <regex>
#include <thread>

namespace
{

using devsim_test::ScratchTest;

constexpr int kW = 240, kH = 135; // 1920 x 1080 >> 3

// Open descriptors, but for the driver log the simulated driver keeps open.
int open_fds()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (dirent *e = readdir(d)) {
            char target[512] = {};
            std::string link = std::string("/proc/self/fd/") + e->d_name;
            if (readlink(link.c_str(), target, sizeof target - 1) > 0 &&
                std::string(target).find("devsim.log") != std::string::npos)
                continue;
            ++n;
        }
        closedir(d);
    }
    return n;
}

uint32_t header_word(int index, int k, int offset)
{
    return *reinterpret_cast<volatile uint32_t *>(vca_chan[index].header[k] + offset);
}

class RingStream : public ScratchTest
{
  protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        fds_ = open_fds();
    }
    void TearDown() override
    {
        for (int i = 0; i < RB_STREAMS; ++i)
            if (vca_chan[i].fd >= 0)
                UNOFFICIAL_rb_close_stream(i);
        devsim_cam_set_sensor(0, 0, 0, nullptr);
        devsim_cam_set_sensor(1, 0, 0, nullptr);
        EXPECT_EQ(open_fds(), fds_);
        ScratchTest::TearDown();
    }
    // Log lines of one kind on a node, e.g. ("ioctl", "/dev/cam1", "CAM_ADD_BUFFER").
    std::vector<std::string> lines(const std::string &prefix) const
    {
        std::vector<std::string> out;
        for (const std::string &l : log_lines())
            if (l.rfind(prefix, 0) == 0)
                out.push_back(l);
        return out;
    }
    int fds_ = 0;
};

TEST_F(RingStream, RightSensorAtShiftThreeMapsFourBuffersOf240x135)
{
    ASSERT_EQ(UNOFFICIAL_rb_open_stream(1, 1920, 1080, 3), 0);
    const rb_stream &s = vca_chan[1];
    EXPECT_GE(s.fd, 0);
    EXPECT_EQ(s.reserved, 0);
    EXPECT_EQ(devsim_cam_buffers(1), 4);
    EXPECT_EQ(devsim_cam_buffers(0), 0);

    EXPECT_EQ(lines("open /dev/"), std::vector<std::string>{"open /dev/cam1 ok"});
    auto table = lines("ioctl /dev/cam1 CAM_SET_TABLE ");
    ASSERT_EQ(table.size(), 1u);
    EXPECT_TRUE(
        std::regex_match(table[0], std::regex(R"(.* words=3,256,1026,[1-9][0-9]*,1,0 result=0)")))
        << table[0];
    EXPECT_EQ(
        lines("ioctl /dev/cam1 CAM_SET_WINDOW "),
        std::vector<std::string>{"ioctl /dev/cam1 CAM_SET_WINDOW words=0,0,0,0,0,0,0 result=0"});
    auto adds = lines("ioctl /dev/cam1 CAM_ADD_BUFFER ");
    auto maps = lines("mmap /dev/cam1 ");
    ASSERT_EQ(adds.size(), 4u);
    ASSERT_EQ(maps.size(), 4u);
    // {3, shift 3, no scaler, no crop}, the rest of the 32 words zero.
    std::string add_words = "words=3,3";
    for (int i = 2; i < 32; ++i)
        add_words += ",0";
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(adds[k], "ioctl /dev/cam1 CAM_ADD_BUFFER " + add_words +
                               " result=" + std::to_string(s.offset[k]));
        EXPECT_EQ(maps[k],
                  "mmap /dev/cam1 off=" + std::to_string(s.offset[k]) + " len=32528 result=ok");
        EXPECT_EQ(s.frame[k].width, kW);
        EXPECT_EQ(s.frame[k].height, kH);
        EXPECT_EQ(s.frame[k].size, kW * kH);
        EXPECT_EQ(s.frame[k].index, k);
        EXPECT_EQ(s.in_use[k], 0);
        EXPECT_EQ(header_word(1, k, 40), 256u); // channel tag
        EXPECT_EQ(devsim_cam_state(1, k), 2);
    }

    ASSERT_EQ(UNOFFICIAL_rb_close_stream(1), 0);
    EXPECT_EQ(vca_chan[1].fd, -1);
    EXPECT_EQ(devsim_cam_buffers(1), 0);
    auto releases = lines("ioctl /dev/cam1 CAM_RELEASE_BUFFER ");
    auto unmaps = lines("munmap /dev/cam1 ");
    ASSERT_EQ(releases.size(), 4u);
    ASSERT_EQ(unmaps.size(), 4u);
    for (int k = 0; k < 4; ++k) {
        EXPECT_NE(unmaps[k].find(" len=32528"), std::string::npos) << unmaps[k];
        EXPECT_NE(releases[k].find("result=0"), std::string::npos) << releases[k];
    }
    EXPECT_EQ(lines("close /dev/cam1"), std::vector<std::string>{"close /dev/cam1"});
    EXPECT_EQ(log_count("application wrote"), 0);
}

TEST_F(RingStream, OldestFirstTiesToTheLowerBufferAndHandBackThroughTheStateWord)
{
    std::mt19937 rng(7);
    std::vector<unsigned char> sensor(1920 * 1080);
    for (auto &p : sensor)
        p = static_cast<unsigned char>(rng());
    ASSERT_EQ(devsim_cam_set_sensor(1, 1920, 1080, sensor.data()), 0);
    ASSERT_EQ(UNOFFICIAL_rb_open_stream(1, 1920, 1080, 3), 0);

    // Capture stamps out of slot order, with a tie between slots 0 and 3.
    ASSERT_EQ(devsim_cam_fill(1, 2, 0, 0, 5, 0), 2);
    ASSERT_EQ(devsim_cam_fill(1, 3, 0, 0, 3, 500), 3);
    ASSERT_EQ(devsim_cam_fill(1, 0, 0, 0, 3, 500), 0);
    ASSERT_EQ(devsim_cam_fill(1, 1, 0, 0, 4, 999999), 1);

    std::vector<rb_frame> got;
    for (int i = 0; i < 4; ++i)
        got.push_back(UNOFFICIAL_rb_request_frame(1));
    std::vector<int> order, secs, usecs;
    for (const rb_frame &f : got) {
        order.push_back(f.index);
        secs.push_back(f.sec);
        usecs.push_back(f.usec);
    }
    EXPECT_EQ(order, (std::vector<int>{0, 3, 1, 2}));
    EXPECT_EQ(secs, (std::vector<int>{3, 3, 4, 5}));
    EXPECT_EQ(usecs, (std::vector<int>{500, 500, 999999, 0}));
    for (const rb_frame &f : got) {
        ASSERT_EQ(f.data, vca_chan[1].header[f.index] + 128);
        EXPECT_EQ(f.width, kW);
        EXPECT_EQ(f.size, kW * kH);
        EXPECT_EQ(vca_chan[1].in_use[f.index], 1);
        // Held frames stay filled: the driver cannot touch them.
        EXPECT_EQ(devsim_cam_state(1, f.index), 3);
        int bad = 0;
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x)
                bad += f.data[y * kW + x] != sensor[(y << 3) * 1920 + (x << 3)];
        EXPECT_EQ(bad, 0) << "buffer " << f.index;
    }
    // Every buffer is held: nothing can come, so no wait.
    rb_frame none = UNOFFICIAL_rb_request_frame(1);
    EXPECT_EQ(none.index, -1);
    EXPECT_EQ(none.data, nullptr);

    UNOFFICIAL_rb_return_frame(1, got[2]);
    EXPECT_EQ(devsim_cam_state(1, 1), 2);
    EXPECT_EQ(vca_chan[1].in_use[1], 0);
    for (int k : {0, 2, 3})
        EXPECT_EQ(devsim_cam_state(1, k), 3);
    // The returned buffer is the only one the driver can fill now.
    EXPECT_EQ(devsim_cam_fill(1, -1, 0, 0, 9, 0), 1);
    rb_frame again = UNOFFICIAL_rb_request_frame(1);
    EXPECT_EQ(again.index, 1);
    EXPECT_EQ(again.sec, 9);
    for (const rb_frame &f : {got[0], got[1], got[3], again})
        UNOFFICIAL_rb_return_frame(1, f);
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(devsim_cam_state(1, k), 2);
    EXPECT_EQ(log_count("application wrote"), 0);
}

TEST_F(RingStream, RequestWaitsForTheDriversFill)
{
    ASSERT_EQ(UNOFFICIAL_rb_open_stream(0, 640, 480, 1), 0);
    // One buffer held and filled keeps the node readable: the wait must still end with the
    // next fill, not with the held frame.
    ASSERT_EQ(devsim_cam_fill(0, 0, 0, 0, 1, 0), 0);
    rb_frame held = UNOFFICIAL_rb_request_frame(0);
    ASSERT_EQ(held.index, 0);
    std::atomic<bool> filled{false};
    std::thread filler([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        filled = true;
        devsim_cam_fill(0, 2, 0, 0, 2, 0);
    });
    rb_frame next = UNOFFICIAL_rb_request_frame(0);
    filler.join();
    EXPECT_TRUE(filled.load());
    EXPECT_EQ(next.index, 2);
    EXPECT_EQ(next.sec, 2);
    EXPECT_EQ(next.width, 320);
    UNOFFICIAL_rb_return_frame(0, held);
    UNOFFICIAL_rb_return_frame(0, next);
}

TEST_F(RingStream, StaleAndForeignReturnsLeaveTheDriversBuffersAlone)
{
    ASSERT_EQ(UNOFFICIAL_rb_open_stream(0, 320, 240, 0), 0);
    ASSERT_EQ(devsim_cam_fill(0, 1, 0, 0, 1, 0), 1);
    rb_frame f = UNOFFICIAL_rb_request_frame(0);
    ASSERT_EQ(f.index, 1);
    UNOFFICIAL_rb_return_frame(0, f);
    ASSERT_EQ(devsim_cam_fill(0, 1, 0, 0, 2, 0), 1); // the driver refills it
    UNOFFICIAL_rb_return_frame(0, f);                // a second return of the old frame
    EXPECT_EQ(devsim_cam_state(0, 1), 3);
    rb_frame forged = f;
    forged.index = 7;
    UNOFFICIAL_rb_return_frame(0, forged);
    forged.index = -1;
    UNOFFICIAL_rb_return_frame(0, forged);
    UNOFFICIAL_rb_return_frame(1, f); // a stream that is not open
    UNOFFICIAL_rb_return_frame(-3, f);
    UNOFFICIAL_rb_return_frame(4, f);
    EXPECT_EQ(devsim_cam_state(0, 1), 3);
    rb_frame fresh = UNOFFICIAL_rb_request_frame(0);
    EXPECT_EQ(fresh.index, 1);
    EXPECT_EQ(fresh.sec, 2);
    UNOFFICIAL_rb_return_frame(0, fresh);
}

TEST_F(RingStream, IndexesSizesAndStatesOutsideTheTableAreRefused)
{
    const int stdin_flags = fcntl(0, F_GETFD);
    for (int index : {-1, 4, 100})
        EXPECT_EQ(UNOFFICIAL_rb_open_stream(index, 1920, 1080, 3), -1);
    for (auto [w, h, shift] : {std::tuple{0, 1080, 0},
                               {1920, -8, 0},
                               {1920, 1080, -1},
                               {1920, 1080, 31},
                               {7, 1080, 3},
                               {1920, 7, 3}})
        EXPECT_EQ(UNOFFICIAL_rb_open_stream(0, w, h, shift), -1) << w << "x" << h << ">>" << shift;
    EXPECT_TRUE(lines("open /dev/").empty());
    EXPECT_EQ(vca_chan[0].fd, -1);

    for (int index : {-1, 0, 3, 4}) {
        rb_frame f = UNOFFICIAL_rb_request_frame(index);
        EXPECT_EQ(f.index, -1);
        EXPECT_EQ(f.data, nullptr);
        // Never opened: nothing to close, and above all not descriptor 0.
        EXPECT_EQ(UNOFFICIAL_rb_close_stream(index), -1);
    }
    EXPECT_EQ(fcntl(0, F_GETFD), stdin_flags);

    ASSERT_EQ(UNOFFICIAL_rb_open_stream(1, 640, 480, 2), 0);
    const int fd = vca_chan[1].fd;
    EXPECT_EQ(UNOFFICIAL_rb_open_stream(1, 1920, 1080, 3), -1); // already open
    EXPECT_EQ(vca_chan[1].fd, fd);
    EXPECT_EQ(vca_chan[1].frame[0].width, 160);
    EXPECT_EQ(devsim_cam_buffers(1), 4);
    EXPECT_EQ(UNOFFICIAL_rb_close_stream(1), 0);
    EXPECT_EQ(UNOFFICIAL_rb_close_stream(1), -1);
}

struct DeviceFault {
    const char *var, *value;
    int buffers_added; // buffers the driver handed out before the failure
    int mapped;        // of which mapped
};

void PrintTo(const DeviceFault &f, std::ostream *os)
{
    *os << f.var << "=" << f.value;
}

class RingStreamFaults : public RingStream, public ::testing::WithParamInterface<DeviceFault>
{
};

TEST_P(RingStreamFaults, OpenFailsAndReleasesWhatItObtained)
{
    const DeviceFault &p = GetParam();
    setenv(p.var, p.value, 1);
    EXPECT_EQ(UNOFFICIAL_rb_open_stream(1, 1920, 1080, 3), -1);
    unsetenv(p.var);
    EXPECT_EQ(vca_chan[1].fd, -1);
    EXPECT_EQ(devsim_cam_buffers(1), 0);
    EXPECT_EQ(static_cast<int>(lines("ioctl /dev/cam1 CAM_RELEASE_BUFFER ").size()),
              p.buffers_added);
    EXPECT_EQ(static_cast<int>(lines("munmap /dev/cam1 ").size()), p.mapped);
    if (std::string(p.var) != "DEVSIM_CAM_MISSING") {
        EXPECT_EQ(lines("close /dev/cam1"), std::vector<std::string>{"close /dev/cam1"});
    }
    for (int k = 0; k < RB_BUFFERS; ++k)
        EXPECT_EQ(vca_chan[1].header[k], nullptr);
    // The stream opens cleanly afterwards.
    ASSERT_EQ(UNOFFICIAL_rb_open_stream(1, 1920, 1080, 3), 0);
    EXPECT_EQ(devsim_cam_buffers(1), 4);
    EXPECT_EQ(UNOFFICIAL_rb_close_stream(1), 0);
}

INSTANTIATE_TEST_SUITE_P(EveryStep, RingStreamFaults,
                         ::testing::Values(DeviceFault{"DEVSIM_CAM_MISSING", "1", 0, 0},
                                           DeviceFault{"DEVSIM_CAM_FAIL", "CAM_SET_TABLE", 0, 0},
                                           DeviceFault{"DEVSIM_CAM_FAIL", "CAM_SET_WINDOW", 0, 0},
                                           DeviceFault{"DEVSIM_CAM_FAIL", "CAM_ADD_BUFFER:1", 0, 0},
                                           DeviceFault{"DEVSIM_CAM_FAIL", "CAM_ADD_BUFFER:3", 2, 2},
                                           DeviceFault{"DEVSIM_CAM_FAIL_MMAP", "1", 1, 0},
                                           DeviceFault{"DEVSIM_CAM_FAIL_MMAP", "4", 4, 3}),
                         [](const ::testing::TestParamInfo<DeviceFault> &p) {
                             std::string n = std::string(p.param.var + 7) + "_" + p.param.value;
                             for (char &c : n)
                                 if (!std::isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return n;
                         });

TEST_F(RingStream, CloseReportsAFailedRelease)
{
    ASSERT_EQ(UNOFFICIAL_rb_open_stream(0, 320, 240, 0), 0);
    // Set at the open, as the driver reads its faults: a fresh open with the release failing
    // on its 4th call.
    ASSERT_EQ(UNOFFICIAL_rb_close_stream(0), 0);
    setenv("DEVSIM_CAM_FAIL", "CAM_RELEASE_BUFFER:4", 1);
    ASSERT_EQ(UNOFFICIAL_rb_open_stream(0, 320, 240, 0), 0);
    unsetenv("DEVSIM_CAM_FAIL");
    EXPECT_EQ(UNOFFICIAL_rb_close_stream(0), -1);
    EXPECT_EQ(vca_chan[0].fd, -1);
    setenv("DEVSIM_CAM_FAIL", "CAM_RELEASE_BUFFER:2", 1);
    ASSERT_EQ(UNOFFICIAL_rb_open_stream(0, 320, 240, 0), 0);
    unsetenv("DEVSIM_CAM_FAIL");
    // Only the last release decides.
    EXPECT_EQ(UNOFFICIAL_rb_close_stream(0), 0);
}

TEST_F(RingStream, TwoStreamsOnTwoThreadsWithTheDriverRefilling)
{
    ASSERT_EQ(UNOFFICIAL_rb_open_stream(0, 640, 480, 2), 0);
    ASSERT_EQ(UNOFFICIAL_rb_open_stream(1, 640, 480, 2), 0);
    devsim_cam_auto(0, 1);
    devsim_cam_auto(1, 1);
    auto run = [](int index, std::vector<int64_t> *stamps) {
        for (int i = 0; i < 300; ++i) {
            rb_frame f = UNOFFICIAL_rb_request_frame(index);
            if (f.index < 0)
                return;
            stamps->push_back(int64_t{f.sec} * 1000000 + f.usec);
            UNOFFICIAL_rb_return_frame(index, f);
        }
    };
    std::vector<int64_t> left, right;
    std::thread a(run, 0, &left), b(run, 1, &right);
    a.join();
    b.join();
    devsim_cam_auto(0, 0);
    devsim_cam_auto(1, 0);
    for (const auto *stamps : {&left, &right}) {
        ASSERT_EQ(stamps->size(), 300u);
        // A returned buffer is refilled with a later stamp than every other, so oldest-first
        // hand-out never goes back in time.
        for (std::size_t i = 1; i < stamps->size(); ++i)
            ASSERT_GE((*stamps)[i], (*stamps)[i - 1]) << i;
    }
    EXPECT_EQ(log_count("application wrote"), 0);
}

} // namespace
