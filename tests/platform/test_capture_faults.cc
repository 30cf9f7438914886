// Every failure of the capture and resampler devices, run natively under the simulated
// drivers with the leak checker on: the documented result, and nothing left behind.
#include "capture.h"
#include "user_encode.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <vector>

namespace
{

int open_fds()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr)
            ++n;
        closedir(d);
    }
    return n;
}

struct Fault {
    const char *var;
    const char *value;
};

class CaptureFaults : public ::testing::TestWithParam<Fault>
{
  protected:
    void SetUp() override
    {
        if (std::getenv("LD_PRELOAD") == nullptr ||
            std::string(std::getenv("LD_PRELOAD")).find("libdevsim") == std::string::npos)
            GTEST_SKIP() << "needs the simulated drivers preloaded";
        setenv(GetParam().var, GetParam().value, 1);
        cap_stop(); // a wait on a dead channel gives up at once
    }
    void TearDown() override
    {
        unsetenv(GetParam().var);
        cap_start();
    }
};

TEST_P(CaptureFaults, CameraStillCreatedAndFreedWhole)
{
    int before = open_fds();
    cam_t cam = create_camera(6, 160, 120, 0, 1920, 0, 1080, 1920, 1080);
    ASSERT_NE(cam, nullptr);
    EXPECT_EQ(cam->width, 160);
    EXPECT_EQ(cam_t(cam)->left->width, 160);
    EXPECT_EQ(cap_get_stereo_frame(cam->left, cam->right), nullptr);
    free_camera(cam);
    EXPECT_EQ(open_fds(), before);
}

TEST_P(CaptureFaults, UserEncodeNullOrWholeAndFreed)
{
    int before = open_fds();
    user_encode_t ue = create_user_encode(160, 128, 160, 128, 16, 2);
    if (ue != nullptr)
        free_user_encode(ue);
    EXPECT_EQ(open_fds(), before);
}

INSTANTIATE_TEST_SUITE_P(
    EveryDevice, CaptureFaults,
    ::testing::Values(
        Fault{"DEVSIM_CAM_MISSING", "0,1"}, Fault{"DEVSIM_CAM_FAIL", "CAM_SET_TABLE"},
        Fault{"DEVSIM_CAM_FAIL", "CAM_SET_WINDOW"}, Fault{"DEVSIM_CAM_FAIL", "CAM_ADD_BUFFER:4"},
        Fault{"DEVSIM_CAM_FAIL_MMAP", "3"}, Fault{"DEVSIM_UE_MISSING", "1"},
        Fault{"DEVSIM_UE_FAIL", "UE_SET_INPUT"}, Fault{"DEVSIM_UE_FAIL", "UE_MAP_CONTROL"},
        Fault{"DEVSIM_UE_FAIL", "UE_ALLOC_DATA"}, Fault{"DEVSIM_UE_FAIL", "UE_ALLOC_TABLE:2"},
        Fault{"DEVSIM_UE_FAIL_MMAP", "1"}, Fault{"DEVSIM_UE_FAIL_MMAP", "4"},
        Fault{"DEVSIM_NONE", "1"}),
    [](const ::testing::TestParamInfo<Fault> &p) {
        std::string n = std::string(p.param.var) + "_" + p.param.value;
        for (char &c : n)
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return n;
    });

} // namespace
