// The capture library stand-in in process: property texts honoured (size, quality, rate),
// real decodable JPEG images of the synthetic scene, frame pacing, frames outliving their
// stream, every failure on request, and the call log byte for byte.
#include "capture_sim.h"
#include "capture_stream.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <jpeglib.h>

namespace
{

struct Decoded {
    bool ok = false;
    int width = 0, height = 0, components = 0;
    std::vector<unsigned char> pixels; // RGB
    std::vector<std::string> comments;
};

struct DecodeError {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};

void decode_error_exit(j_common_ptr c)
{
    std::longjmp(reinterpret_cast<DecodeError *>(c->err)->jump, 1);
}

void decode_into(const void *data, std::size_t size, Decoded *out)
{
    jpeg_decompress_struct d;
    DecodeError err;
    d.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = decode_error_exit;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&d);
        out->ok = false;
        return;
    }
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, static_cast<const unsigned char *>(data), static_cast<unsigned long>(size));
    jpeg_save_markers(&d, JPEG_COM, 0xFFFF);
    jpeg_read_header(&d, TRUE);
    for (jpeg_saved_marker_ptr m = d.marker_list; m != nullptr; m = m->next)
        out->comments.emplace_back(reinterpret_cast<const char *>(m->data), m->data_length);
    out->components = d.num_components;
    d.out_color_space = JCS_RGB;
    jpeg_start_decompress(&d);
    out->width = static_cast<int>(d.output_width);
    out->height = static_cast<int>(d.output_height);
    out->pixels.resize(static_cast<std::size_t>(out->width) * out->height * 3);
    while (d.output_scanline < d.output_height) {
        JSAMPROW row = &out->pixels[static_cast<std::size_t>(d.output_scanline) * out->width * 3];
        jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    out->ok = true;
}

Decoded decode(capture_frame *f)
{
    Decoded out;
    decode_into(capture_frame_data(f), capture_frame_size(f), &out);
    return out;
}

int scene(int w, int h, int x, int y, int n)
{
    int side = std::min({64, w, h});
    int qx = (16 * n) % (w - side + 1), qy = (8 * n) % (h - side + 1);
    if (x >= qx && x < qx + side && y >= qy && y < qy + side)
        return 255;
    return ((x + y) >> 3) % 200;
}

class CaptureLib : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        dir_ = test_files::make_scratch_dir(SCRATCH_DIR, "capture");
        ASSERT_FALSE(dir_.empty());
        log_ = dir_ + "/capture.log";
        for (const char *v :
             {"CAPTURE_FAIL_OPEN", "CAPTURE_FAIL_FRAME", "CAPTURE_UNPACED", "CAPTURE_PAD_BYTES"})
            unsetenv(v);
        setenv("CAPTURE_LOG", log_.c_str(), 1);
        frames_before_ = capture_sim_frames_outstanding();
        streams_before_ = capture_sim_streams_open();
    }
    void TearDown() override
    {
        EXPECT_EQ(capture_sim_frames_outstanding(), frames_before_);
        EXPECT_EQ(capture_sim_streams_open(), streams_before_);
        unsetenv("CAPTURE_LOG");
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    std::vector<std::string> log_lines() const { return test_files::file_lines(log_); }
    std::string dir_, log_;
    int frames_before_ = 0, streams_before_ = 0;
};

TEST_F(CaptureLib, RecordingPropertiesGiveSizeQualityAndTheScene)
{
    capture_stream *s =
        capture_open_stream("image/jpeg", "fps=4&resolution=160x120&compression=80");
    ASSERT_NE(s, nullptr);
    capture_frame *f = capture_get_frame(s);
    ASSERT_NE(f, nullptr);
    const auto *bytes = static_cast<const unsigned char *>(capture_frame_data(f));
    ASSERT_GE(capture_frame_size(f), 4u);
    // A complete image: start and end markers.
    EXPECT_EQ(bytes[0], 0xFF);
    EXPECT_EQ(bytes[1], 0xD8);
    EXPECT_EQ(bytes[capture_frame_size(f) - 2], 0xFF);
    EXPECT_EQ(bytes[capture_frame_size(f) - 1], 0xD9);
    Decoded d = decode(f);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.width, 160);
    EXPECT_EQ(d.height, 120);
    EXPECT_EQ(d.components, 3);
    ASSERT_FALSE(d.comments.empty());
    EXPECT_EQ(d.comments[0].substr(0, 8), "frame=0 ");
    EXPECT_NE(d.comments[0].find(" resolution=160x120 quality=20"), std::string::npos);
    capture_frame_free(f);
    capture_close_stream(s);
}

TEST_F(CaptureLib, ImageAtFullQualityIsTheSyntheticScene)
{
    capture_stream *s = capture_open_stream("image/jpeg", "resolution=96x80&compression=0&fps=60");
    ASSERT_NE(s, nullptr);
    for (int n = 0; n < 3; ++n) {
        capture_frame *f = capture_get_frame(s);
        ASSERT_NE(f, nullptr);
        Decoded d = decode(f);
        ASSERT_TRUE(d.ok);
        ASSERT_EQ(d.width, 96);
        ASSERT_EQ(d.height, 80);
        int frame = -1;
        ASSERT_EQ(std::sscanf(d.comments[0].c_str(), "frame=%d", &frame), 1);
        int worst = 0;
        for (int y = 0; y < 80; ++y)
            for (int x = 0; x < 96; ++x)
                for (int c = 0; c < 3; ++c)
                    worst = std::max(worst, std::abs(d.pixels[(y * 96 + x) * 3 + c] -
                                                     scene(96, 80, x, y, frame)));
        // Quality 100 still rounds the transform: a level either way.
        EXPECT_LE(worst, 2) << "frame " << frame;
        capture_frame_free(f);
    }
    capture_close_stream(s);
}

TEST_F(CaptureLib, LenientPropertyTextsAndDefaults)
{
    struct Case {
        const char *props;
        int w, h, q;
    } cases[] = {
        {"fps=5&&resolution=640x480\n", 640, 480, 70},
        {"fps=5&&resolution=320x240\n", 320, 240, 70},
        {"", 640, 480, 70},
        {"&&&\n", 640, 480, 70},
        {"colour=yes&resolution=33x17&compression=100", 33, 17, 1},
        {"resolution=2x2&compression=99", 2, 2, 1},
    };
    for (const Case &c : cases) {
        capture_stream *s = capture_open_stream("image/jpeg", c.props);
        ASSERT_NE(s, nullptr) << c.props;
        capture_frame *f = capture_get_frame(s);
        ASSERT_NE(f, nullptr);
        Decoded d = decode(f);
        ASSERT_TRUE(d.ok) << c.props;
        EXPECT_EQ(d.width, c.w) << c.props;
        EXPECT_EQ(d.height, c.h) << c.props;
        EXPECT_NE(d.comments[0].find("quality=" + std::to_string(c.q)), std::string::npos)
            << d.comments[0];
        capture_frame_free(f);
        capture_close_stream(s);
    }
}

TEST_F(CaptureLib, RefusedOpensAreLoggedWithTheirReason)
{
    struct Case {
        const char *media, *props, *why;
    } cases[] = {
        {"image/jpeg", "resolution=0x120", "bad resolution"},
        {"image/jpeg", "resolution=160", "bad resolution"},
        {"image/jpeg", "resolution=160x120x3", "bad resolution"},
        {"image/jpeg", "resolution=4097x10", "bad resolution"},
        {"image/jpeg", "resolution=-16x120", "bad resolution"},
        {"image/jpeg", "fps=0", "bad fps"},
        {"image/jpeg", "fps=61", "bad fps"},
        {"image/jpeg", "fps=", "bad fps"},
        {"image/jpeg", "compression=101", "bad compression"},
        {"video/x-h264", "fps=5", "unsupported media type"},
        {nullptr, "fps=5", "null argument"},
        {"image/jpeg", nullptr, "null argument"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(capture_open_stream(c.media, c.props), nullptr) << (c.props ? c.props : "");
    auto lines = log_lines();
    ASSERT_EQ(lines.size(), std::size(cases));
    for (std::size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i].rfind(std::string("open fail why=") + cases[i].why + " media=", 0), 0u)
            << lines[i];
    EXPECT_EQ(lines[0], "open fail why=bad resolution media=image/jpeg props=resolution=0x120");
    EXPECT_EQ(lines[10], "open fail why=null argument media=(null) props=fps=5");
}

TEST_F(CaptureLib, CallLogKeepsEachCallOnOneLine)
{
    capture_stream *s = capture_open_stream("image/jpeg", "fps=5&&resolution=160x120\n");
    ASSERT_NE(s, nullptr);
    capture_frame *f = capture_get_frame(s);
    ASSERT_NE(f, nullptr);
    std::size_t size = capture_frame_size(f);
    capture_frame_free(f);
    capture_close_stream(s);
    auto lines = log_lines();
    ASSERT_EQ(lines.size(), 4u);
    int id = 0;
    ASSERT_EQ(std::sscanf(lines[0].c_str(), "open stream=%d", &id), 1);
    const std::string sid = std::to_string(id);
    EXPECT_EQ(lines[0], "open stream=" + sid +
                            " fps=5 resolution=160x120 quality=70 media=image/jpeg "
                            "props=fps=5&&resolution=160x120\\n");
    EXPECT_EQ(lines[1], "frame stream=" + sid + " n=0 size=" + std::to_string(size));
    EXPECT_EQ(lines[2], "free stream=" + sid + " n=0");
    EXPECT_EQ(lines[3], "close stream=" + sid + " frames=1");
}

TEST_F(CaptureLib, FailuresOnRequest)
{
    setenv("CAPTURE_FAIL_OPEN", "all", 1);
    EXPECT_EQ(capture_open_stream("image/jpeg", "fps=5"), nullptr);
    EXPECT_EQ(capture_open_stream("image/jpeg", "fps=5"), nullptr);
    unsetenv("CAPTURE_FAIL_OPEN");

    // The Nth open of the process, counted from the first: find where the count stands.
    capture_stream *probe = capture_open_stream("image/jpeg", "fps=5");
    ASSERT_NE(probe, nullptr);
    capture_close_stream(probe);
    int opened = 0;
    for (const std::string &l : log_lines())
        opened += l.rfind("open ", 0) == 0;
    setenv("CAPTURE_FAIL_OPEN", std::to_string(opened + 2).c_str(), 1);
    capture_stream *a = capture_open_stream("image/jpeg", "fps=5");
    capture_stream *b = capture_open_stream("image/jpeg", "fps=5");
    capture_stream *c = capture_open_stream("image/jpeg", "fps=5");
    unsetenv("CAPTURE_FAIL_OPEN");
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(b, nullptr);
    EXPECT_NE(c, nullptr);
    capture_close_stream(a);
    capture_close_stream(c);
    std::vector<std::string> opens;
    for (const std::string &l : log_lines())
        if (l.rfind("open ", 0) == 0)
            opens.push_back(l);
    ASSERT_EQ(opens.size(), static_cast<std::size_t>(opened + 3));
    EXPECT_EQ(opens[opened + 1], "open fail why=requested media=image/jpeg props=fps=5");

    setenv("CAPTURE_FAIL_FRAME", "2", 1);
    setenv("CAPTURE_UNPACED", "1", 1);
    capture_stream *s = capture_open_stream("image/jpeg", "resolution=16x16");
    ASSERT_NE(s, nullptr);
    capture_frame *f1 = capture_get_frame(s);
    capture_frame *f2 = capture_get_frame(s);
    capture_frame *f3 = capture_get_frame(s);
    EXPECT_NE(f1, nullptr);
    EXPECT_EQ(f2, nullptr);
    EXPECT_NE(f3, nullptr);
    capture_frame_free(f1);
    capture_frame_free(f3);
    capture_close_stream(s);
    unsetenv("CAPTURE_FAIL_FRAME");
    unsetenv("CAPTURE_UNPACED");

    // NULL everywhere is harmless.
    EXPECT_EQ(capture_get_frame(nullptr), nullptr);
    EXPECT_EQ(capture_frame_data(nullptr), nullptr);
    EXPECT_EQ(capture_frame_size(nullptr), 0u);
    capture_frame_free(nullptr);
    EXPECT_EQ(capture_close_stream(nullptr), -1);
}

TEST_F(CaptureLib, FrameOutlivesItsStreamUntilReleased)
{
    capture_stream *s = capture_open_stream("image/jpeg", "resolution=64x48");
    ASSERT_NE(s, nullptr);
    capture_frame *f = capture_get_frame(s);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(capture_sim_frames_outstanding(), frames_before_ + 1);
    EXPECT_EQ(capture_sim_streams_open(), streams_before_ + 1);
    EXPECT_EQ(capture_close_stream(s), 0);
    EXPECT_EQ(capture_sim_streams_open(), streams_before_);
    Decoded d = decode(f);
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(d.width, 64);
    capture_frame_free(f);
}

TEST_F(CaptureLib, PaddedImagesStayValid)
{
    setenv("CAPTURE_PAD_BYTES", "200000", 1);
    capture_stream *s = capture_open_stream("image/jpeg", "resolution=160x120&fps=60");
    unsetenv("CAPTURE_PAD_BYTES");
    ASSERT_NE(s, nullptr);
    capture_frame *f = capture_get_frame(s);
    ASSERT_NE(f, nullptr);
    EXPECT_GT(capture_frame_size(f), 200000u);
    Decoded d = decode(f);
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(d.width, 160);
    capture_frame_free(f);
    capture_close_stream(s);
}

TEST_F(CaptureLib, FramesArePacedAndALateCallerSkips)
{
    using clk = std::chrono::steady_clock;
    // 20 fps: frame n is due n * 50 ms after the open, so the fifth cannot come before 200 ms
    // (counted from before the open, which may itself take a while).
    auto t0 = clk::now();
    capture_stream *s = capture_open_stream("image/jpeg", "fps=20&resolution=32x32");
    ASSERT_NE(s, nullptr);
    std::vector<int> numbers;
    for (int i = 0; i < 5; ++i) {
        capture_frame *f = capture_get_frame(s);
        ASSERT_NE(f, nullptr);
        numbers.push_back(std::atoi(decode(f).comments[0].c_str() + 6));
        capture_frame_free(f);
    }
    EXPECT_GE(clk::now() - t0, std::chrono::milliseconds(200));
    // Falling behind by more than a frame loses the frames in between, as a camera would.
    std::this_thread::sleep_for(std::chrono::milliseconds(160));
    capture_frame *late = capture_get_frame(s);
    ASSERT_NE(late, nullptr);
    int late_number = std::atoi(decode(late).comments[0].c_str() + 6);
    capture_frame_free(late);
    capture_close_stream(s);
    ASSERT_EQ(numbers.size(), 5u);
    EXPECT_EQ(numbers[0], 0);
    for (std::size_t i = 1; i < numbers.size(); ++i)
        EXPECT_GT(numbers[i], numbers[i - 1]);
    EXPECT_GE(late_number, numbers.back() + 3);
}

TEST_F(CaptureLib, UnpacedStreamDeliversEveryFrameInOrder)
{
    setenv("CAPTURE_UNPACED", "1", 1);
    // One frame a second if paced: 30 frames would take half a minute.
    capture_stream *s = capture_open_stream("image/jpeg", "fps=1&resolution=16x16");
    unsetenv("CAPTURE_UNPACED");
    ASSERT_NE(s, nullptr);
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 30; ++i) {
        capture_frame *f = capture_get_frame(s);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(decode(f).comments[0].rfind("frame=" + std::to_string(i) + " ", 0), 0u);
        capture_frame_free(f);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
    capture_close_stream(s);
}

} // namespace
