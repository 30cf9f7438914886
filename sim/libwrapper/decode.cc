/* Reading a marker from its quadrilateral: cell means through the square-to-quadrilateral
 * homography, the border and the data bits, and the dictionary lookup with rotation. */
#include "detect_internal.h"
#include "dictionary.h"

#include <algorithm>
#include <cmath>

namespace wrapper
{

namespace
{

// Grey levels between the means of the dark and the light cells for a readable marker.
constexpr float kMinCellContrast = 20;
// Border cells that may read light (a speck of glare) before the quadrilateral is refused.
constexpr int kBorderErrors = 1;
// Cells whose mean lies within this fraction of the dark-to-light range around its middle
// are grey: neither clearly dark nor clearly light.
constexpr float kGreyBand = 0.2f;

/* Maps the unit square onto the quadrilateral q: (0,0) to q[0], (1,0) to q[1], (1,1) to q[2],
 * (0,1) to q[3]. */
struct Homography {
    double a, b, c, d, e, f, g, h;
    bool ok;

    explicit Homography(const Quad &q)
    {
        const double dx1 = q[1].x - q[2].x, dx2 = q[3].x - q[2].x;
        const double dy1 = q[1].y - q[2].y, dy2 = q[3].y - q[2].y;
        const double sx = q[0].x - q[1].x + q[2].x - q[3].x;
        const double sy = q[0].y - q[1].y + q[2].y - q[3].y;
        const double den = dx1 * dy2 - dx2 * dy1;
        ok = std::fabs(den) > 1e-12;
        g = ok ? (sx * dy2 - dx2 * sy) / den : 0;
        h = ok ? (dx1 * sy - sx * dy1) / den : 0;
        a = q[1].x - q[0].x + g * q[1].x;
        b = q[3].x - q[0].x + h * q[3].x;
        c = q[0].x;
        d = q[1].y - q[0].y + g * q[1].y;
        e = q[3].y - q[0].y + h * q[3].y;
        f = q[0].y;
    }

    Pt map(double u, double v) const
    {
        const double z = g * u + h * v + 1;
        return {(a * u + b * v + c) / z, (d * u + e * v + f) / z};
    }
};

struct Lookup {
    // Per 16-bit word read: 4 x id + the marker's top-left corner, or 0xFF.
    uint8_t entry[1 << 16];

    Lookup()
    {
        std::fill(std::begin(entry), std::end(entry), uint8_t{0xFF});
        for (int id = 0; id < WRAPPER_DICTIONARY_SIZE; ++id) {
            uint16_t seen = wrapper_dictionary_codes[id];
            // Read from the quadrilateral's corner 0 while the marker's top-left sits at
            // corner j, the grid appears turned j quarters clockwise.
            for (int j = 0; j < 4; ++j) {
                const auto value = static_cast<uint8_t>(4 * id + j);
                entry[seen] = value;
                for (int bit = 0; bit < 16; ++bit)
                    entry[seen ^ (1u << bit)] = value;
                seen = rotate_code(seen);
            }
        }
    }
};

} // namespace

uint16_t rotate_code(uint16_t code)
{
    uint16_t out = 0;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            if (code >> (15 - (4 * r + c)) & 1)
                out |= static_cast<uint16_t>(1u << (15 - (4 * c + (3 - r))));
    return out;
}

bool match_code(int code, int &id, int &first_corner)
{
    // Built once; the distances between the codes keep the one-bit balls apart.
    static const Lookup table;
    if (code < 0 || code > 0xFFFF)
        return false;
    const uint8_t e = table.entry[code];
    if (e == 0xFF)
        return false;
    id = e / 4;
    first_corner = e % 4;
    return true;
}

CellSamples read_cells(const Image &im, const Quad &q)
{
    const Homography hom(q);
    CellSamples cells{};
    if (!hom.ok)
        return cells;
    // Nine samples over the middle half of each cell: clear of blurred cell edges, yet wide
    // enough to straddle a cell boundary when the grid sits on the wrong square. In cells of
    // a few pixels a pixel's blur reaches further in, so the samples close up.
    double side = 1e300;
    for (int i = 0; i < 4; ++i)
        side = std::min(side, std::hypot(q[i].x - q[(i + 1) % 4].x, q[i].y - q[(i + 1) % 4].y));
    const double spread = std::clamp(0.5 - 6.0 / side, 0.1, 0.25);
    const double offs[3] = {-spread, 0.0, spread};
    for (int r = 0; r < 6; ++r)
        for (int c = 0; c < 6; ++c) {
            int k = 0;
            for (double dv : offs)
                for (double du : offs) {
                    const Pt p = hom.map((c + 0.5 + du) / 6.0, (r + 0.5 + dv) / 6.0);
                    cells[6 * r + c][k++] =
                        im.sample(static_cast<float>(p.x), static_cast<float>(p.y));
                }
        }
    return cells;
}

int cells_code(const CellSamples &samples)
{
    std::array<float, 36> cells;
    for (int i = 0; i < 36; ++i) {
        float sum = 0;
        for (float v : samples[i])
            sum += v;
        cells[i] = sum / 9;
    }
    // Two classes by Otsu's criterion over the 36 means.
    std::array<float, 36> s = cells;
    std::sort(s.begin(), s.end());
    double total = 0;
    for (float v : s)
        total += v;
    double below = 0, best = -1;
    float threshold = 0, dark_mean = 0, light_mean = 0;
    for (int k = 1; k < 36; ++k) {
        below += s[k - 1];
        const double m0 = below / k, m1 = (total - below) / (36 - k);
        const double score = double(k) * (36 - k) * (m1 - m0) * (m1 - m0);
        if (score > best) {
            best = score;
            threshold = 0.5f * (s[k - 1] + s[k]);
            dark_mean = static_cast<float>(m0);
            light_mean = static_cast<float>(m1);
        }
    }
    if (light_mean - dark_mean < kMinCellContrast)
        return -1;
    // A grid laid over the wrong square (part of the marker hidden, or not a marker at all)
    // samples across cell boundaries: cells read grey, or some of their samples fall on the
    // other side of the middle. A true grid shows that in at most one cell (a speck).
    const float mid = 0.5f * (dark_mean + light_mean);
    const float band = kGreyBand * (light_mean - dark_mean);
    int odd = 0;
    for (int i = 0; i < 36; ++i) {
        int across = 0;
        for (float v : samples[i])
            across += (v > mid) != (cells[i] > mid);
        odd += std::fabs(cells[i] - mid) < band || across >= 2;
    }
    if (odd > 1)
        return -1;
    int border_light = 0, code = 0;
    for (int r = 0; r < 6; ++r)
        for (int c = 0; c < 6; ++c) {
            const bool light = cells[6 * r + c] > threshold;
            if (r == 0 || r == 5 || c == 0 || c == 5)
                border_light += light;
            else if (light)
                code |= 1 << (15 - (4 * (r - 1) + (c - 1)));
        }
    return border_light <= kBorderErrors ? code : -1;
}

std::vector<Marker> detect(const Image &im)
{
    std::vector<uint8_t> mask;
    dark_mask(im, mask);
    const std::vector<Blob> blobs = dark_blobs(mask, im.w, im.h);
    std::vector<Marker> found;
    std::vector<Pt> contour;
    for (const Blob &b : blobs) {
        // A convex outline is no longer than its bounding box's perimeter; allow for specks.
        const size_t max_len = 3 * static_cast<size_t>(b.x1 - b.x0 + b.y1 - b.y0 + 2);
        if (!trace_outer(mask, im.w, b.start_x, b.start_y, max_len, contour))
            continue;
        Quad q;
        if (!contour_quad(contour, q) || !refine_quad(im, q))
            continue;
        int id, first;
        if (!match_code(cells_code(read_cells(im, q)), id, first))
            continue;
        Marker m{id, {}};
        for (int k = 0; k < 4; ++k)
            m.corners[k] = q[(first + k) % 4];
        found.push_back(m);
    }
    return found;
}

} // namespace wrapper
