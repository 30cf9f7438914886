// The marker detector stand-in: its dictionary, its C interface, and markers drawn with known
// corners under rotation, scale, perspective, noise, blur and occlusion.
#include "detect_internal.h"
#include "detect_util.h"
#include "dictionary.h"
#include "malloc_fault.h"
#include "marker_render.h"
#include "wrapper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdlib>
#include <new>
#include <thread>

using detect_util::corner_error;
using detect_util::nearest;
using detect_util::run;
using render::Canvas;
using render::Corners;
using render::Placed;

// Every allocation of the test binary goes through the wrapped malloc, so that a test can
// make the detector's own containers fail too.
void *operator new(std::size_t n)
{
    if (void *p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void *operator new[](std::size_t n)
{
    return operator new(n);
}
void operator delete(void *p) noexcept
{
    std::free(p);
}
void operator delete[](void *p) noexcept
{
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete[](void *p, std::size_t) noexcept
{
    std::free(p);
}

namespace
{

int distance(uint16_t a, uint16_t b)
{
    return std::popcount(static_cast<unsigned>(a ^ b));
}

// Exactly one marker with this id, with every corner within `tol` of the drawn ones.
void expect_one(Canvas &c, const Placed &drawn, double tol)
{
    const auto f = run(c);
    ASSERT_EQ(f.status, 0);
    ASSERT_EQ(f.markers.size(), 1u);
    EXPECT_EQ(f.markers[0].id, drawn.id);
    EXPECT_LE(corner_error(f.markers[0].corners, drawn.corners), tol);
}

// Corners of a marker drawn axis-aligned over the pixels x0 .. x0 + side - 1.
Corners pixel_square(int x0, int y0, int side)
{
    return {{{x0 - 0.5, y0 - 0.5},
             {x0 + side - 0.5, y0 - 0.5},
             {x0 + side - 0.5, y0 + side - 0.5},
             {x0 - 0.5, y0 + side - 0.5}}};
}

Corners turned(const Corners &q, int quarters)
{
    Corners out;
    for (int k = 0; k < 4; ++k)
        out[k] = q[(k + quarters) % 4];
    return out;
}

} // namespace

// ---- dictionary and code reading ----

TEST(WrapperDictionary, CodesKeepTheirDistanceUnderEveryRotation)
{
    const uint16_t *codes;
    ASSERT_EQ(aruco_dictionary(&codes), 50);
    EXPECT_TRUE(std::equal(codes, codes + 50, wrapper_dictionary_codes));
    for (int i = 0; i < 50; ++i) {
        uint16_t r = codes[i];
        for (int k = 1; k < 4; ++k) {
            r = wrapper::rotate_code(r);
            EXPECT_GE(distance(codes[i], r), 4) << "id " << i << " against its own turn " << k;
        }
        EXPECT_GE(std::popcount(static_cast<unsigned>(codes[i])), 4) << "near all-black: " << i;
        EXPECT_LE(std::popcount(static_cast<unsigned>(codes[i])), 12) << "near all-white: " << i;
        for (int j = 0; j < i; ++j) {
            uint16_t rj = codes[j];
            for (int k = 0; k < 4; ++k, rj = wrapper::rotate_code(rj))
                EXPECT_GE(distance(codes[i], rj), 4) << "ids " << i << ", " << j << " turn " << k;
        }
    }
}

TEST(WrapperDictionary, QuarterTurnIsClockwise)
{
    // Only the top-left data cell white: a clockwise quarter turn puts it top-right, then
    // bottom-right, then bottom-left.
    EXPECT_EQ(wrapper::rotate_code(0x8000), 0x1000);
    EXPECT_EQ(wrapper::rotate_code(0x1000), 0x0001);
    EXPECT_EQ(wrapper::rotate_code(0x0001), 0x0008);
    EXPECT_EQ(wrapper::rotate_code(0x0008), 0x8000);
    // The top row becomes the right column.
    EXPECT_EQ(wrapper::rotate_code(0xF000), 0x1111);
}

TEST(WrapperDictionary, OneWrongBitIsCorrectedTwoAreRefused)
{
    int id, first;
    for (int i = 0; i < 50; ++i) {
        uint16_t seen = wrapper_dictionary_codes[i];
        for (int j = 0; j < 4; ++j, seen = wrapper::rotate_code(seen)) {
            ASSERT_TRUE(wrapper::match_code(seen, id, first));
            EXPECT_EQ(id, i);
            EXPECT_EQ(first, j);
            for (int a = 0; a < 16; ++a) {
                ASSERT_TRUE(wrapper::match_code(seen ^ (1 << a), id, first)) << i << " bit " << a;
                EXPECT_EQ(id, i);
                EXPECT_EQ(first, j);
                for (int b = a + 1; b < 16; ++b)
                    EXPECT_FALSE(wrapper::match_code(seen ^ (1 << a) ^ (1 << b), id, first))
                        << "id " << i << " turn " << j << " bits " << a << "," << b;
            }
        }
    }
    EXPECT_FALSE(wrapper::match_code(0x0000, id, first));
    EXPECT_FALSE(wrapper::match_code(0xFFFF, id, first));
    EXPECT_FALSE(wrapper::match_code(-1, id, first));
    EXPECT_FALSE(wrapper::match_code(0x10000, id, first));
}

TEST(WrapperDictionary, CellsMustReadCleanlyWithADarkBorder)
{
    wrapper::CellSamples cells;
    auto set = [&](int i, float v) { cells[i].fill(v); };
    for (int i = 0; i < 36; ++i)
        set(i, 30);
    // Data cells: the code 0x8001 (top-left and bottom-right white).
    set(6 * 1 + 1, 220);
    set(6 * 4 + 4, 220);
    EXPECT_EQ(wrapper::cells_code(cells), 0x8001);
    set(0, 220); // one light border cell is tolerated (glare on the print)
    EXPECT_EQ(wrapper::cells_code(cells), 0x8001);
    set(5, 220);
    EXPECT_EQ(wrapper::cells_code(cells), -1);
    set(0, 30);
    set(5, 30);
    // One grey cell is tolerated (the threshold decides it), two are not.
    set(6 * 2 + 2, 110);
    EXPECT_EQ(wrapper::cells_code(cells), 0x8001);
    set(6 * 3 + 3, 120);
    EXPECT_EQ(wrapper::cells_code(cells), -1);
    set(6 * 2 + 2, 30);
    set(6 * 3 + 3, 30);
    // Cells whose samples split across the middle (a cell boundary runs through them).
    cells[6 * 1 + 2] = {30, 30, 30, 30, 30, 30, 220, 220, 30};
    EXPECT_EQ(wrapper::cells_code(cells), 0x8001);
    cells[6 * 2 + 1] = {220, 220, 220, 220, 220, 220, 220, 30, 30};
    EXPECT_EQ(wrapper::cells_code(cells), -1);
    set(6 * 1 + 2, 30);
    set(6 * 2 + 1, 30);
    // Too little contrast to read anything, or no light cell at all.
    set(6 * 1 + 1, 45);
    set(6 * 4 + 4, 45);
    EXPECT_EQ(wrapper::cells_code(cells), -1);
    for (int i = 0; i < 36; ++i)
        set(i, 30);
    EXPECT_EQ(wrapper::cells_code(cells), -1);
}

// ---- the C interface ----

TEST(WrapperInterface, BadArgumentsAreRefusedAndCellsCleared)
{
    std::vector<uint8_t> img(64 * 64, 200);
    point_t junk_pts[1];
    int junk_ids[1];
    point_t *pts = junk_pts;
    int *ids = junk_ids;
    size_t n = 77;
    auto reset = [&] {
        pts = junk_pts;
        ids = junk_ids;
        n = 77;
    };
    EXPECT_EQ(detect_aruco(nullptr, 64, 64, &pts, &n, &ids), -1);
    EXPECT_EQ(pts, nullptr);
    EXPECT_EQ(ids, nullptr);
    EXPECT_EQ(n, 0u);
    for (auto [w, h] : {std::pair{0, 64}, {64, 0}, {-1, 64}, {64, -5}, {INT_MIN, INT_MIN}}) {
        reset();
        EXPECT_EQ(detect_aruco(img.data(), w, h, &pts, &n, &ids), -1) << w << "x" << h;
        EXPECT_EQ(pts, nullptr);
        EXPECT_EQ(ids, nullptr);
        EXPECT_EQ(n, 0u);
    }
    // Sizes whose framed pixel count does not fit an int are refused before any read.
    reset();
    EXPECT_EQ(detect_aruco(img.data(), 65536, 32768, &pts, &n, &ids), -1);
    EXPECT_EQ(detect_aruco(img.data(), INT_MAX, 1, &pts, &n, &ids), -1);
    EXPECT_EQ(pts, nullptr);
    // A missing out-cell: the others are still cleared.
    reset();
    EXPECT_EQ(detect_aruco(img.data(), 64, 64, nullptr, &n, &ids), -1);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(ids, nullptr);
    reset();
    EXPECT_EQ(detect_aruco(img.data(), 64, 64, &pts, nullptr, &ids), -1);
    EXPECT_EQ(pts, nullptr);
    reset();
    EXPECT_EQ(detect_aruco(img.data(), 64, 64, &pts, &n, nullptr), -1);
    EXPECT_EQ(pts, nullptr);
}

TEST(WrapperInterface, TinyAndFeaturelessImagesFindNothing)
{
    for (auto [w, h] : {std::pair{1, 1}, {1, 200}, {200, 1}, {2, 3}, {13, 13}, {24, 24}}) {
        for (uint8_t v : {0, 128, 255}) {
            Canvas c(w, h, v);
            const auto f = run(c);
            EXPECT_EQ(f.status, 0) << w << "x" << h;
            EXPECT_TRUE(f.markers.empty());
        }
    }
}

TEST(WrapperInterface, WidthComesFirst)
{
    // A wide image: with the dimensions swapped the rows are cut elsewhere and the marker
    // falls apart.
    Canvas c(300, 100, 235);
    const Placed drawn{9, pixel_square(200, 20, 60)};
    render::draw_marker(c, drawn.id, drawn.corners);
    expect_one(c, drawn, 0.01);
    point_t *pts;
    size_t n;
    int *ids;
    ASSERT_EQ(detect_aruco(c.px.data(), 100, 300, &pts, &n, &ids), 0);
    for (size_t i = 0; i < n; ++i)
        EXPECT_NE(ids[i], 9);
    std::free(pts);
    std::free(ids);
}

TEST(WrapperInterface, ImageIsOnlyRead)
{
    Canvas c(200, 160, 235);
    render::draw_marker(c, 4, render::square(100, 80, 90, 20));
    const auto before = c.px;
    ASSERT_EQ(run(c).markers.size(), 1u);
    EXPECT_EQ(c.px, before);
}

TEST(WrapperInterface, EveryAllocationFailureReportsOutOfMemory)
{
    Canvas c(320, 240, 235);
    render::draw_marker(c, 1, render::square(80, 80, 70, 10));
    render::draw_marker(c, 2, render::square(220, 150, 70, 100));
    int failures = 0;
    for (int nth = 1; nth < 10000; ++nth) {
        point_t *pts = reinterpret_cast<point_t *>(1);
        int *ids = reinterpret_cast<int *>(1);
        size_t n = 5;
        malloc_fault::fail_nth(nth);
        const int r = detect_aruco(c.px.data(), c.w, c.h, &pts, &n, &ids);
        malloc_fault::fail_nth(0);
        if (r == 0) {
            // Past the last allocation: the full result.
            ASSERT_EQ(n, 2u);
            std::free(pts);
            std::free(ids);
            break;
        }
        ++failures;
        ASSERT_EQ(r, -2) << "allocation " << nth;
        EXPECT_EQ(pts, nullptr);
        EXPECT_EQ(ids, nullptr);
        EXPECT_EQ(n, 0u);
    }
    // Both result arrays and the working buffers were among the failed allocations.
    EXPECT_GT(failures, 5);
}

// ---- geometry ----

TEST(WrapperGeometry, EveryIdAxisAlignedWithExactCorners)
{
    for (int id = 0; id < 50; ++id) {
        Canvas c(160, 120, 235);
        const Placed drawn{id, pixel_square(40 + id % 7, 20 + id % 5, 66)};
        render::draw_marker(c, id, drawn.corners);
        expect_one(c, drawn, 0.01);
    }
}

TEST(WrapperGeometry, QuarterTurnsKeepTheMarkersOwnCornerOrder)
{
    // The drawn corner list starts at the marker's own top-left whichever way it is turned,
    // so a detector that lists corners by screen position fails here.
    for (int quarters = 0; quarters < 4; ++quarters) {
        Canvas c(160, 160, 235);
        const Placed drawn{17, turned(pixel_square(30, 40, 84), quarters)};
        render::draw_marker(c, drawn.id, drawn.corners);
        expect_one(c, drawn, 0.01);
    }
}

TEST(WrapperGeometry, InPlaneAnglesBetweenWithSubpixelCorners)
{
    // Sharp anti-aliased images, centres off the pixel grid: every corner within 0.1 px.
    for (double deg = 0; deg < 360; deg += 3.75) {
        Canvas c(240, 240, 235);
        const Placed drawn{23, render::square(120.3, 119.6, 100, deg)};
        render::draw_marker(c, drawn.id, drawn.corners);
        SCOPED_TRACE(deg);
        expect_one(c, drawn, 0.1);
    }
}

TEST(WrapperGeometry, ScalesFromTheSmallestToMostOfTheImage)
{
    // Down to 12 px sides (two pixels a cell) within 0.4 px; from 24 px on within 0.1 px.
    for (double side : {12.0, 14.0, 17.0, 20.0, 24.0, 31.0, 45.0, 80.0, 160.0, 300.0, 560.0}) {
        for (double deg : {0.0, 17.0, 45.0, 71.0}) {
            Canvas c(1280, 720, 235);
            const double s = deg == 45.0 && side > 500 ? 480 : side;
            const Placed drawn{31, render::square(640.4, 360.2, s, deg)};
            render::draw_marker(c, drawn.id, drawn.corners);
            SCOPED_TRACE(testing::Message() << "side " << s << " angle " << deg);
            expect_one(c, drawn, s < 24 ? 0.4 : 0.1);
        }
    }
}

TEST(WrapperGeometry, MarkersBelowTwelvePixelsAreNotReported)
{
    Canvas c(100, 100, 235);
    render::draw_marker(c, 3, render::square(50, 50, 9, 0));
    EXPECT_TRUE(run(c).markers.empty());
}

TEST(WrapperGeometry, PerspectiveWithinAQuarterPixel)
{
    for (double tilt : {-65.0, -50.0, -30.0, 25.0, 45.0, 60.0, 70.0})
        for (double dist : {2.0, 5.0})
            for (double deg = 0; deg < 360; deg += 40) {
                Canvas c(400, 400, 235);
                const Placed drawn{42, render::tilted(200.3, 199.8, 160, tilt, dist, deg)};
                render::draw_marker(c, drawn.id, drawn.corners);
                SCOPED_TRACE(testing::Message()
                             << "tilt " << tilt << " distance " << dist << " angle " << deg);
                expect_one(c, drawn, 0.25);
            }
}

TEST(WrapperGeometry, CameraNoiseBlurAndLowContrast)
{
    // Gaussian noise up to 10 grey levels on a contrast of 160: within 0.3 px, no strays.
    for (double sigma : {4.0, 10.0})
        for (uint32_t seed = 0; seed < 12; ++seed) {
            Canvas c(240, 200, 200);
            const Placed drawn{5, render::square(120.2, 99.7, 90, seed * 29.0)};
            render::draw_marker(c, drawn.id, drawn.corners, 40, 200);
            render::add_noise(c, sigma, seed);
            SCOPED_TRACE(testing::Message() << "sigma " << sigma << " seed " << seed);
            expect_one(c, drawn, 0.3);
        }
    // Heavy noise (30 levels) still finds the marker, less precisely.
    for (uint32_t seed = 0; seed < 6; ++seed) {
        Canvas c(240, 200, 200);
        const Placed drawn{6, render::square(120.2, 99.7, 90, seed * 13.0)};
        render::draw_marker(c, drawn.id, drawn.corners, 40, 200);
        render::add_noise(c, 30, 100 + seed);
        SCOPED_TRACE(seed);
        expect_one(c, drawn, 1.0);
    }
    // Defocus: box blurs of 3, 5 and 7 pixels.
    for (int radius : {1, 2, 3}) {
        Canvas c(240, 200, 235);
        const Placed drawn{8, render::square(120.2, 99.7, 100, 33)};
        render::draw_marker(c, drawn.id, drawn.corners);
        render::box_blur(c, radius);
        SCOPED_TRACE(radius);
        expect_one(c, drawn, radius < 3 ? 0.15 : 0.35);
    }
    // A dim print: 100 against 140.
    Canvas c(240, 200, 140);
    const Placed drawn{12, render::square(120.2, 99.7, 100, 12)};
    render::draw_marker(c, drawn.id, drawn.corners, 100, 140);
    expect_one(c, drawn, 0.1);
    // Uneven light: the background runs from 90 to 250 across the image, the marker's
    // white cells follow it.
    Canvas g(320, 200, 0);
    for (int y = 0; y < g.h; ++y)
        for (int x = 0; x < g.w; ++x)
            g.at(x, y) = static_cast<uint8_t>(90 + x / 2);
    const Placed lit{13, render::square(160.2, 99.7, 100, 8)};
    render::draw_marker(g, lit.id, lit.corners, 20, 170);
    expect_one(g, lit, 0.15);
}

// ---- scenes ----

TEST(WrapperScenes, SeveralMarkersInRasterOrder)
{
    Canvas c(640, 480, 235);
    std::vector<Placed> drawn;
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 4; ++col) {
            const int i = 4 * row + col;
            // Each a little lower than the one before in its row, so the raster order of the
            // top edges is the drawing order; turned every way.
            const int side = 84 + 3 * i;
            drawn.push_back(
                {(7 * i + 3) % 50,
                 turned(pixel_square(20 + 155 * col, 15 + 155 * row + 4 * col, side), i % 4)});
            render::draw_marker(c, drawn.back().id, drawn.back().corners);
        }
    const auto f = run(c);
    ASSERT_EQ(f.status, 0);
    ASSERT_EQ(f.markers.size(), drawn.size());
    for (size_t i = 0; i < drawn.size(); ++i) {
        EXPECT_EQ(f.markers[i].id, drawn[i].id) << i;
        EXPECT_LE(corner_error(f.markers[i].corners, drawn[i].corners), 0.01) << i;
    }
}

TEST(WrapperScenes, RandomScenesFindEveryMarkerAndNothingElse)
{
    int drawn_total = 0;
    for (uint32_t seed = 1; seed <= 16; ++seed) {
        Canvas c(640, 480, 225);
        const auto drawn = render::random_scene(c, 7, 30, 150, 50, seed);
        render::add_noise(c, 4, seed);
        const auto f = run(c);
        ASSERT_EQ(f.status, 0);
        EXPECT_EQ(f.markers.size(), drawn.size()) << "seed " << seed;
        for (const auto &d : drawn) {
            const Placed *m = nearest(f, d, 0.5);
            ASSERT_NE(m, nullptr) << "seed " << seed << " id " << d.id;
            EXPECT_EQ(m->id, d.id);
        }
        drawn_total += static_cast<int>(drawn.size());
    }
    EXPECT_GT(drawn_total, 80);
}

TEST(WrapperScenes, NothingInEmptyNoiseOrPatternImages)
{
    for (uint32_t seed = 0; seed < 6; ++seed) {
        Canvas n(640, 480, 128);
        render::add_noise(n, 40, seed);
        EXPECT_TRUE(run(n).markers.empty()) << "gaussian noise " << seed;
        Canvas u(320, 240, 0);
        srand(seed);
        for (auto &v : u.px)
            v = static_cast<uint8_t>(rand() & 0xFF);
        EXPECT_TRUE(run(u).markers.empty()) << "uniform noise " << seed;
    }
    // Dark squares that are not markers: solid, an empty frame, a chessboard, a square
    // with an all-black or all-white data grid.
    Canvas p(640, 480, 235);
    render::fill_rect(p, 20, 20, 99, 99, 20);
    render::fill_rect(p, 140, 20, 219, 99, 20);
    render::fill_rect(p, 152, 32, 207, 87, 235);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            if ((x + y) % 2)
                render::fill_rect(p, 260 + 20 * x, 20 + 20 * y, 279 + 20 * x, 39 + 20 * y, 20);
    render::draw_code(p, 0x0000, pixel_square(40, 240, 90));
    render::draw_code(p, 0xFFFF, pixel_square(180, 240, 90));
    render::fill_disc(p, 400, 300, 50, 20);
    EXPECT_TRUE(run(p).markers.empty());
}

// ---- occlusion and the image edge ----

TEST(WrapperOcclusion, PartlyCoveredMarkers)
{
    const Placed keep{40, render::square(100, 100, 100, 10)};
    const Placed covered{41, render::square(300, 100, 100, 10)};
    auto scene = [&] {
        Canvas c(420, 220, 235);
        render::draw_marker(c, keep.id, keep.corners);
        render::draw_marker(c, covered.id, covered.corners);
        return c;
    };
    {
        // A light bar cut through the border and into the data: not reported.
        Canvas c = scene();
        render::fill_rect(c, 240, 90, 320, 104, 235);
        expect_one(c, keep, 0.1);
    }
    {
        // A dark object touching one side: the sides are still fitted where the marker is.
        Canvas c = scene();
        render::fill_disc(c, 372, 110, 22, 20);
        const auto f = run(c);
        ASSERT_EQ(f.markers.size(), 2u);
        EXPECT_EQ(f.markers[1].id, covered.id);
        EXPECT_LE(corner_error(f.markers[1].corners, covered.corners), 0.1);
    }
    {
        // A light object hiding a corner and part of two sides: the corner is put where the
        // visible parts of the sides meet.
        Canvas c = scene();
        render::fill_rect(c, 340, 130, 360, 160, 235);
        const auto f = run(c);
        ASSERT_EQ(f.markers.size(), 2u);
        EXPECT_EQ(f.markers[1].id, covered.id);
        EXPECT_LE(corner_error(f.markers[1].corners, covered.corners), 0.1);
    }
}

TEST(WrapperOcclusion, CoveredBorderMovesTheSideOrHidesTheMarkerNeverAnotherId)
{
    // A light object over the outer part of one side's border column (cells of 20 px): a
    // strip of up to a quarter cell moves that side with it; from half a cell on the grid no
    // longer reads cleanly and the marker is not reported. Whatever is covered, no other id.
    const Corners q = pixel_square(40, 40, 120);
    const int covers[] = {3, 12, 19, 34};
    int reported[4] = {};
    for (int id = 0; id < 50; ++id)
        for (int quarters = 0; quarters < 4; ++quarters) {
            Canvas base(200, 200, 235);
            const Corners t = turned(q, quarters);
            render::draw_marker(base, id, t);
            for (int k = 0; k < 4; ++k) {
                Canvas c = base;
                render::fill_rect(c, 160 - covers[k], 20, 180, 180, 235);
                for (const auto &m : run(c).markers) {
                    ++reported[k];
                    EXPECT_EQ(m.id, id) << "cover " << covers[k] << " turn " << quarters;
                    EXPECT_LE(corner_error(m.corners, t), covers[k] + 0.1);
                }
            }
        }
    EXPECT_EQ(reported[0], 200);
    EXPECT_EQ(reported[1], 0);
    EXPECT_EQ(reported[2], 0);
    EXPECT_EQ(reported[3], 0);
}

TEST(WrapperOcclusion, OneCoveredCellIsCorrectedMoreAreNotMisread)
{
    const uint16_t code = render::code_of(27);
    const Corners q = pixel_square(30, 30, 120); // 20 px cells
    auto cell_rect = [&](Canvas &c, int bit, uint8_t v) {
        const int r = (15 - bit) / 4 + 1, col = (15 - bit) % 4 + 1;
        render::fill_rect(c, 30 + 20 * col + 3, 30 + 20 * r + 3, 30 + 20 * col + 16,
                          30 + 20 * r + 16, v);
    };
    for (int bit = 0; bit < 16; ++bit) {
        Canvas c(180, 180, 235);
        render::draw_marker(c, 27, q);
        // Cover the cell's middle with the opposite colour.
        cell_rect(c, bit, code >> bit & 1 ? 20 : 235);
        SCOPED_TRACE(bit);
        expect_one(c, {27, q}, 0.01);
    }
    for (int a = 0; a < 16; a += 3)
        for (int b = a + 1; b < 16; b += 5) {
            Canvas c(180, 180, 235);
            render::draw_marker(c, 27, q);
            cell_rect(c, a, code >> a & 1 ? 20 : 235);
            cell_rect(c, b, code >> b & 1 ? 20 : 235);
            EXPECT_TRUE(run(c).markers.empty()) << "cells " << a << ", " << b;
        }
}

TEST(WrapperOcclusion, MarkersAtOrBeyondTheImageEdge)
{
    // Touching the edge, partly outside, and one whole marker elsewhere.
    Canvas c(300, 200, 235);
    render::draw_marker(c, 1, pixel_square(0, 60, 60));
    render::draw_marker(c, 2, render::square(290, 40, 60, 20));
    render::draw_marker(c, 3, render::square(150, 190, 60, 45));
    const Placed whole{4, pixel_square(120, 40, 60)};
    render::draw_marker(c, whole.id, whole.corners);
    expect_one(c, whole, 0.01);
    // One pixel of quiet zone to the edge is enough.
    Canvas d(62, 62, 235);
    const Placed tight{5, pixel_square(1, 1, 60)};
    render::draw_marker(d, tight.id, tight.corners);
    expect_one(d, tight, 0.01);
}

// ---- threads ----

TEST(WrapperThreads, ConcurrentCallsAgreeWithSerialOnes)
{
    std::vector<Canvas> images;
    std::vector<detect_util::Found> serial;
    for (uint32_t seed = 0; seed < 4; ++seed) {
        images.emplace_back(320, 240, 225);
        render::random_scene(images.back(), 4, 30, 90, 40, 50 + seed);
    }
    for (auto &im : images)
        serial.push_back(run(im));
    std::vector<std::thread> threads;
    std::vector<int> mismatches(images.size(), 0);
    for (size_t t = 0; t < images.size(); ++t)
        threads.emplace_back([&, t] {
            for (int rep = 0; rep < 15; ++rep) {
                const auto f = run(images[(t + rep) % images.size()]);
                const auto &s = serial[(t + rep) % images.size()];
                bool same = f.status == s.status && f.markers.size() == s.markers.size();
                for (size_t i = 0; same && i < f.markers.size(); ++i)
                    same = f.markers[i].id == s.markers[i].id &&
                           corner_error(f.markers[i].corners, s.markers[i].corners) == 0;
                mismatches[t] += !same;
            }
        });
    for (auto &th : threads)
        th.join();
    for (size_t t = 0; t < images.size(); ++t)
        EXPECT_EQ(mismatches[t], 0) << "thread " << t;
    for (const auto &s : serial)
        EXPECT_FALSE(s.markers.empty());
}
