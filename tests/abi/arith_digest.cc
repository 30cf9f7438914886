// Prints one digest per floating-point path of the modules, over fixed pseudo-random inputs,
// so that a host build and a camera-ABI build can be compared line by line: a line that
// differs names arithmetic that gives other bits on the camera.
#include "capture.h"
#include "disparity.h"
#include "k5_scale.h"
#include "rectification.h"
#include "sievel.h"
#include "speedups.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>

namespace
{

// Inputs from a fixed generator of our own, so both builds see the same numbers.
struct Lcg {
    uint64_t s = 0x2545F4914F6CDD1Dull;
    uint32_t next()
    {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(s >> 33);
    }
    double uniform(double lo, double hi) { return lo + (hi - lo) * (next() / 2147483648.0); }
};

// The path whose values are printed one per line (the program's argument), for finding how
// far two builds' values lie apart.
const char *dump_path = "";

struct Digest {
    const char *name;
    uint64_t h = 1469598103934665603ull;
    explicit Digest(const char *n) : name(n) {}
    void bytes(const void *p, size_t n)
    {
        const auto *b = static_cast<const uint8_t *>(p);
        for (size_t i = 0; i < n; i++)
            h = (h ^ b[i]) * 1099511628211ull;
    }
    template <typename T> void value(T v)
    {
        bytes(&v, sizeof v);
        if (std::strcmp(name, dump_path) == 0) {
            if constexpr (std::is_floating_point_v<T>)
                std::printf("%.17g %a\n", static_cast<double>(v), static_cast<double>(v));
            else
                std::printf("%lld\n", static_cast<long long>(v));
        }
    }
    void doubles(const double *v, size_t n)
    {
        for (size_t i = 0; i < n; i++)
            value(v[i]);
    }
};

void report(const Digest &d, long count)
{
    if (*dump_path == '\0')
        std::printf("%-28s %016llx  (%ld values)\n", d.name, static_cast<unsigned long long>(d.h),
                    count);
}

std::vector<uint8_t> image(Lcg &g, size_t n)
{
    std::vector<uint8_t> v(n);
    for (auto &b : v)
        b = static_cast<uint8_t>(g.next() >> 7);
    return v;
}

void speedups_paths(Lcg &g)
{
    const int w = 97, h = 61;
    std::vector<uint8_t> rgb = image(g, w * h * 3);
    Digest d("speedups.bilin");
    long n = 0;
    // Every draw is its own statement: argument evaluation order differs between ABIs.
    for (int i = 0; i < 20000; i++, n++) {
        const double x = g.uniform(0, w - 1.001);
        const double y = g.uniform(0, h - 1.001);
        const int channel = static_cast<int>(g.next() % 3);
        d.value(bilin(rgb.data(), w, x, y, channel));
    }
    report(d, n);

    Digest p("speedups.projxy");
    double hm[9];
    n = 0;
    for (int i = 0; i < 5000; i++) {
        for (double &v : hm)
            v = g.uniform(-2, 2);
        double rx, ry;
        const double x = g.uniform(-500, 500);
        const double y = g.uniform(-500, 500);
        projxy(&rx, &ry, x, y, hm);
        p.value(rx);
        p.value(ry);
        n += 2;
    }
    report(p, n);

    Digest q("speedups.project_rgbimage");
    const int dw = 64, dh = 48;
    std::vector<uint8_t> dst(dw * dh * 3);
    n = 0;
    for (int i = 0; i < 20; i++) {
        double hh[9] = {1 + g.uniform(-0.2, 0.2), g.uniform(-0.2, 0.2),     g.uniform(-5, 5),
                        g.uniform(-0.2, 0.2),     1 + g.uniform(-0.2, 0.2), g.uniform(-5, 5),
                        g.uniform(-1e-3, 1e-3),   g.uniform(-1e-3, 1e-3),   1};
        std::memset(dst.data(), 0, dst.size());
        project_rgbimage_onto(dw, dh, dst.data(), w, h, rgb.data(), hh, 0, dw, 0, dh);
        q.bytes(dst.data(), dst.size());
        n += static_cast<long>(dst.size());
    }
    report(q, n);
}

void sievel_paths(Lcg &g)
{
    const int w = 80, h = 60;
    std::vector<uint8_t> model = image(g, w * h), frame(w * h);
    Digest d("sievel.median_model");
    long n = 0;
    std::srand(7); // the random rounding draws from the C library's generator
    for (int i = 0; i < 30; i++) {
        frame = image(g, w * h);
        const double step = g.uniform(0.1, 3);
        const double quantile = g.uniform(0.05, 0.95);
        median_model(model.data(), frame.data(), w, h, step, quantile);
        d.bytes(model.data(), model.size());
        n += static_cast<long>(model.size());
    }
    report(d, n);
}

void disparity_paths(Lcg &g)
{
    const int w = 64, h = 40;
    std::vector<uint8_t> l = image(g, w * h), r(w * h), out(w * h);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            r[y * w + x] = l[y * w + (x + 5 < w ? x + 5 : x)];
    Digest d("disparity.corr_disp");
    d.value(corr_disp(out.data(), l.data(), r.data(), w, h, 0, 12, 3));
    d.bytes(out.data(), out.size());
    report(d, static_cast<long>(out.size()));
}

void rectification_paths(Lcg &g)
{
    Digest e("rectification.euler");
    long n = 0;
    for (int i = 0; i < 2000; i++) {
        const double a = g.uniform(-1, 1);
        const double b = g.uniform(-1, 1);
        const double c = g.uniform(-1, 1);
        double *m = euler(a, b, c);
        e.doubles(m, 9);
        std::free(m);
        n += 9;
    }
    report(e, n);

    std::vector<correspondence> corr(60);
    for (auto &c : corr) {
        float x = static_cast<float>(g.uniform(20, 620)),
              y = static_cast<float>(g.uniform(20, 460));
        c.left = {x, y};
        c.right = {x - static_cast<float>(g.uniform(5, 40)),
                   y + static_cast<float>(g.uniform(-2, 2))};
        c.score = 1;
    }
    Digest c("rectification.cost");
    n = 0;
    cost_data data{640, 480, static_cast<int>(corr.size()), corr.data()};
    for (int i = 0; i < 200; i++) {
        double x[6], grad[6] = {};
        for (double &v : x)
            v = g.uniform(-0.05, 0.05);
        c.value(cost_fun_wrap(6, x, nullptr, static_cast<int>(corr.size()), corr.data(), 640, 480));
        c.value(generated_cost_fun(6, x, grad, &data));
        c.doubles(grad, 6);
        n += 8;
    }
    report(c, n);

    Digest m("rectification.minimize");
    // Five angles and the focal-length exponent.
    double x[6] = {}, lb[6], ub[6], minf = 0;
    for (int i = 0; i < 6; i++) {
        lb[i] = -0.1;
        ub[i] = 0.1;
    }
    set_seed(3);
    int rc = minimize(6, x, 400, &minf, static_cast<int>(corr.size()), corr.data(), lb, ub, 640,
                      480, get_generated_cost_fun());
    m.value(rc);
    m.value(minf);
    m.doubles(x, 6);
    report(m, 8);
}

void capture_paths(Lcg &g)
{
    Digest d("capture.calculate_scales");
    long n = 0;
    for (int in = 16; in <= 4096; in += 7)
        for (int out = 8; out <= in; out += 29) {
            int shift, scale, offset;
            _cap_calculate_scales(in, out, &shift, &scale, &offset);
            d.value(shift);
            d.value(scale);
            n += 2;
        }
    report(d, n);

    Digest k("capture.k5_set_table");
    std::vector<double> xs(4000), ys(4000);
    for (size_t i = 0; i < xs.size(); i++) {
        xs[i] = g.uniform(-300, 2200);
        ys[i] = g.uniform(-300, 1400);
    }
    std::vector<k5_point_t> grid(xs.size());
    k5_set_table(grid.data(), static_cast<int>(grid.size()), xs.data(), ys.data());
    k.bytes(grid.data(), grid.size() * sizeof(k5_point_t));
    report(k, static_cast<long>(2 * grid.size()));

    Digest t("capture.usec_clock");
    n = 0;
    for (int i = 0; i < 3000; i++) {
        timespec ts{static_cast<time_t>(g.next() % 100000),
                    static_cast<long>(g.next() % 1000000000)};
        t.value(zent_usec_from_timespec(&ts));
        n++;
    }
    report(t, n);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1)
        dump_path = argv[1];
    Lcg g;
    speedups_paths(g);
    sievel_paths(g);
    disparity_paths(g);
    rectification_paths(g);
    capture_paths(g);
    return 0;
}
