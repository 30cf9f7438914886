/* Marker detection: time per image and detection rate of libwrapper's detect_aruco against
 * OpenCV's cv::aruco::detectMarkers on the same drawn images at 640x480 and 1280x720, with
 * OpenCV given the very same dictionary (built from libwrapper's code table). */
#include "bench_util.h"
#include "marker_render.h"
#include "wrapper.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <opencv2/aruco.hpp>
#include <opencv2/core.hpp>
#include <vector>

namespace
{

struct Scene {
    render::Canvas image;
    std::vector<render::Placed> drawn;
};

struct Set {
    const char *name;
    int w, h;
    std::vector<Scene> scenes;
};

/* Images of the given size, each with up to `markers` markers at random poses, with mild or
 * strong camera noise. */
Set make_set(const char *name, int w, int h, int count, int markers, double min_side,
             double max_side, double max_tilt, double noise, int blur_every, uint32_t seed)
{
    Set s{name, w, h, {}};
    for (int i = 0; i < count; ++i) {
        render::Canvas c(w, h, 225);
        auto drawn = render::random_scene(c, markers, min_side, max_side, max_tilt, seed + i);
        if (blur_every && i % blur_every == 0)
            render::box_blur(c, 1);
        render::add_noise(c, noise, seed * 7 + i);
        s.scenes.push_back({std::move(c), std::move(drawn)});
    }
    return s;
}

cv::Ptr<cv::aruco::Dictionary> opencv_dictionary()
{
    const uint16_t *codes;
    const int n = aruco_dictionary(&codes);
    cv::Mat bytes;
    for (int id = 0; id < n; ++id) {
        cv::Mat bits(4, 4, CV_8UC1);
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                bits.at<uint8_t>(r, c) = codes[id] >> (15 - (4 * r + c)) & 1;
        bytes.push_back(cv::aruco::Dictionary::getByteListFromBits(bits));
    }
    // Distance 4 between all codes and rotations: one bit corrected, as libwrapper does.
    return cv::makePtr<cv::aruco::Dictionary>(bytes, 4, 1);
}

struct Found {
    int id;
    render::Corners q;
};

std::vector<Found> ours(Scene &s)
{
    point_t *pts;
    size_t n;
    int *ids;
    std::vector<Found> out;
    if (detect_aruco(s.image.px.data(), s.image.w, s.image.h, &pts, &n, &ids) != 0) {
        std::fprintf(stderr, "detect_aruco failed\n");
        std::exit(1);
    }
    for (size_t i = 0; i < n; ++i) {
        Found f{ids[i], {}};
        for (int k = 0; k < 4; ++k)
            f.q[k] = {pts[4 * i + k].x, pts[4 * i + k].y};
        out.push_back(f);
    }
    std::free(pts);
    std::free(ids);
    return out;
}

std::vector<Found> theirs(Scene &s, const cv::Ptr<cv::aruco::Dictionary> &dict,
                          const cv::Ptr<cv::aruco::DetectorParameters> &params)
{
    cv::Mat img(s.image.h, s.image.w, CV_8UC1, s.image.px.data());
    std::vector<std::vector<cv::Point2f>> corners;
    std::vector<int> ids;
    cv::aruco::detectMarkers(img, dict, corners, ids, params);
    std::vector<Found> out;
    for (size_t i = 0; i < ids.size(); ++i) {
        Found f{ids[i], {}};
        for (int k = 0; k < 4; ++k)
            f.q[k] = {corners[i][k].x, corners[i][k].y};
        out.push_back(f);
    }
    return out;
}

struct Score {
    int drawn = 0, found = 0, located = 0, wrong = 0;
    double err_sum = 0;
};

/* A drawn marker counts as found when a result with its id has every corner within 1.5 px
 * (OpenCV puts corners on the border pixels' centres, half a pixel inside the square), and
 * as located when such a result lies within 5 px, whatever its precision; a result that
 * matches no drawn marker within 1.5 px is a stray (a wrong id or corners off). */
void score(const std::vector<render::Placed> &drawn, const std::vector<Found> &found, Score &sc)
{
    std::vector<char> used(found.size(), 0);
    for (const auto &d : drawn) {
        ++sc.drawn;
        bool located = false;
        for (size_t i = 0; i < found.size(); ++i) {
            double e = 0;
            for (int k = 0; k < 4; ++k)
                e = std::max(e, std::hypot(found[i].q[k].x - d.corners[k].x,
                                           found[i].q[k].y - d.corners[k].y));
            located = located || (found[i].id == d.id && e <= 5);
            if (!used[i] && found[i].id == d.id && e <= 1.5) {
                used[i] = 1;
                ++sc.found;
                sc.err_sum += e;
                break;
            }
        }
        sc.located += located;
    }
    for (char u : used)
        sc.wrong += !u;
}

void report(const char *who, const Score &sc, double ms, double ours_ms)
{
    std::printf("  %-30s %8.3f ms/image  rate %5.1f%% (%d/%d, located %d)  stray %d  mean "
                "worst-corner error %.3f px",
                who, ms, 100.0 * sc.found / sc.drawn, sc.found, sc.drawn, sc.located, sc.wrong,
                sc.found ? sc.err_sum / sc.found : 0.0);
    if (ours_ms > 0)
        std::printf("  (%.2fx ours)", ms / ours_ms);
    std::printf("\n");
    std::fflush(stdout);
}

} // namespace

int main()
{
    const auto dict = opencv_dictionary();
    auto plain = cv::aruco::DetectorParameters::create();
    auto subpix = cv::aruco::DetectorParameters::create();
    subpix->cornerRefinementMethod = cv::aruco::CORNER_REFINE_SUBPIX;
    const int default_threads = cv::getNumThreads();

    std::vector<Set> sets;
    sets.push_back(make_set("640x480, 6 markers 40-150 px, tilt <= 45, noise 3", 640, 480, 16, 6,
                            40, 150, 45, 3, 3, 100));
    sets.push_back(make_set("1280x720, 8 markers 50-220 px, tilt <= 45, noise 3", 1280, 720, 16, 8,
                            50, 220, 45, 3, 3, 200));
    sets.push_back(make_set("640x480, 8 small 16-40 px, tilt <= 60, noise 8", 640, 480, 12, 8, 16,
                            40, 60, 8, 2, 300));
    sets.push_back(make_set("1280x720, 10 markers 20-120 px, tilt <= 60, noise 8", 1280, 720, 12,
                            10, 20, 120, 60, 8, 2, 400));

    std::printf("per image: median over 7 interleaved passes over the set; OpenCV %s, "
                "%d threads by default\n",
                CV_VERSION, default_threads);
    for (Set &s : sets) {
        std::printf("%s (%zu images)\n", s.name, s.scenes.size());
        Score so, st, ss;
        for (Scene &sc : s.scenes) {
            score(sc.drawn, ours(sc), so);
            score(sc.drawn, theirs(sc, dict, plain), st);
            score(sc.drawn, theirs(sc, dict, subpix), ss);
        }
        const double n = static_cast<double>(s.scenes.size());
        auto run_ours = [&] {
            for (Scene &sc : s.scenes)
                bench::keep(ours(sc));
        };
        auto run_theirs = [&](const cv::Ptr<cv::aruco::DetectorParameters> &p) {
            return [&s, &dict, p] {
                for (Scene &sc : s.scenes)
                    bench::keep(theirs(sc, dict, p));
            };
        };
        cv::setNumThreads(1);
        const auto t1 = bench::median_pair(run_ours, run_theirs(plain), 7);
        const auto t1s = bench::median_pair(run_ours, run_theirs(subpix), 7);
        cv::setNumThreads(default_threads);
        const auto tn = bench::median_pair(run_ours, run_theirs(plain), 7);
        const double ours_ms = (t1.ours + t1s.ours + tn.ours) / 3 / n * 1e3;
        report("detect_aruco (1 thread)", so, ours_ms, 0);
        report("cv::aruco 1 thread", st, t1.ref / n * 1e3, t1.ours / n * 1e3);
        report("cv::aruco 1 thread, subpixel", ss, t1s.ref / n * 1e3, t1s.ours / n * 1e3);
        char label[64];
        std::snprintf(label, sizeof label, "cv::aruco %d threads", default_threads);
        report(label, st, tn.ref / n * 1e3, tn.ours / n * 1e3);
        std::printf("  ours/cv::aruco 1 thread: %.2fx faster; found within 1.5 px: ours %.1f%%, "
                    "theirs %.1f%% (%.1f%% with sub-pixel refinement); located: ours %.1f%%, "
                    "theirs %.1f%%\n",
                    t1.ref / t1.ours, 100.0 * so.found / so.drawn, 100.0 * st.found / st.drawn,
                    100.0 * ss.found / ss.drawn, 100.0 * so.located / so.drawn,
                    100.0 * st.located / st.drawn);
    }
    return 0;
}
