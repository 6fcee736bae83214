// What an exposure leaves in a CCD: the test pattern, or a star field seen
// through the telescope on the relays, sky, dark current, read noise and hot
// pixels.  The stars move with the telescope's pointing and trail when it
// moves during the exposure.
#include <algorithm>
#include <cmath>
#include <vector>

#include "sim/camera.h"

namespace zeva::sim {

namespace {

constexpr double kFullWell = 200000.0;  // electrons a pixel holds
constexpr int kStarReach = 6;           // a star's image is cut off this many pixels out
// Samples of the pointing per pixel it moves during an exposure, and at most.
constexpr double kSamplesPerPixel = 4.0;
constexpr int kMaxSamples = 256;
constexpr int kPathProbes = 64;  // pointing probes that measure how far it moved

// Adds charge to a pixel, which saturates at its full well.
void AddCharge(std::uint32_t& cell, double electrons) {
    const double v = std::clamp(cell + std::max(0.0, electrons), 0.0, kFullWell);
    cell = static_cast<std::uint32_t>(v);
}

std::uint64_t Mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}
double Uniform(std::uint64_t h) {
    return static_cast<double>(h >> 11) * (1.0 / 9007199254740992.0);
}

// Where the field has moved in the CCD, pixels (rows run north to south,
// columns east to west: the sky as seen with north up).
struct Shift {
    double rows = 0.0, cols = 0.0;
};

struct Star {
    double r, c, flux;  // field position in pixels, electrons per second
};

// The stars of field tile (ti, tj) of a CCD's field: tile (0, 0) is what the
// CCD sees with the telescope where it started; the tiles around it continue
// the field in every direction.
void TileStars(std::uint64_t field, const CcdShape& s, long ti, long tj, std::vector<Star>* out) {
    const std::uint64_t tile =
        ti == 0 && tj == 0 ? field
                           : Mix(field ^ Mix(static_cast<std::uint64_t>(ti) * 0x100000001B3ull +
                                             static_cast<std::uint64_t>(tj)));
    const int n = 12 + static_cast<int>(Mix(tile) % 20);
    for (int i = 0; i < n; ++i) {
        const std::uint64_t h = Mix(tile + 100 + static_cast<std::uint64_t>(i));
        out->push_back({(static_cast<double>(ti) + Uniform(h)) * s.activeRows,
                        (static_cast<double>(tj) + Uniform(Mix(h))) * s.activeColumns,
                        2000.0 + 40000.0 * Uniform(Mix(h + 7))});
    }
}

}  // namespace

double Camera::ArcsecPerPixelX(int ccd) const {
    const double f = opt_.mount.focalLengthMm;
    return f > 0.0 ? kArcsecPerUmPerMm * Shape(ccd).pixelWidthUm / f : 0.0;
}

double Camera::ArcsecPerPixelY(int ccd) const {
    const double f = opt_.mount.focalLengthMm;
    return f > 0.0 ? kArcsecPerUmPerMm * Shape(ccd).pixelHeightUm / f : 0.0;
}

void Camera::ApplyScene(int ccd, std::uint64_t startNs, std::uint64_t endNs,
                        const std::vector<Span>& lit) {
    const CcdShape& s = Shape(ccd);
    if (opt_.scene == Scene::Stars) {
        ExposeStars(ccd, startNs, endNs, lit);
        return;
    }
    ClearArray(ccd);
    if (lit.empty())
        return;  // the shutter stayed closed
    ccds_[ccd].chargedRows = s.totalRows;
    // The pattern steps by a constant along a row (modulo 1000): written
    // incrementally, a whole array costs little more than a copy.
    const std::uint32_t base = ccd == 1 ? PatternTracking(0, 0) : PatternImaging(0, 0);
    const std::uint32_t across = (ccd == 1 ? PatternTracking(0, 1) : PatternImaging(0, 1)) - base;
    for (int r = 0; r < s.activeRows; ++r) {
        std::uint32_t* row = &Cell(ccd, s.topRows + r, 0);
        std::uint32_t v = (ccd == 1 ? PatternTracking(r, 0) : PatternImaging(r, 0)) - base;
        for (int c = 0; c < s.activeColumns; ++c) {
            // The tracking CCD's active columns leave right to left.
            const int cell =
                ccd == 1 ? s.leftColumns + (s.activeColumns - 1 - c) : s.leftColumns + c;
            row[cell] = base + v;
            v += across;
            if (v >= 1000u)
                v -= 1000u;
        }
    }
}

void Camera::ExposeStars(int ccd, std::uint64_t startNs, std::uint64_t endNs,
                         const std::vector<Span>& lit) {
    const CcdShape& s = Shape(ccd);
    if (s.activeRows == 0 || s.activeColumns == 0)
        return;
    const double t = static_cast<double>(endNs - startNs) / 1e9;
    std::uint64_t litNs = 0;
    for (const Span& span : lit) litNs += span.toNs - span.fromNs;
    const double tLit = static_cast<double>(litNs) / 1e9;
    const std::uint64_t field = Mix(opt_.seed * 2 + static_cast<std::uint64_t>(ccd));
    const double sky = kSkyPerSecond * tLit;
    const double dark = 2.0 * t;
    const std::uint64_t noiseSeed = Mix(field ^ (exposure_[ccd].exposuresDone * 0x1234567ull));
    ccds_[ccd].chargedRows = s.totalRows;
    auto cellOf = [&](int c) {
        return ccd == 1 ? s.leftColumns + (s.activeColumns - 1 - c) : s.leftColumns + c;
    };
    // Sky, dark current, read noise and hot pixels stay where they are on the CCD.
    for (int r = 0; r < s.activeRows; ++r)
        for (int c = 0; c < s.activeColumns; ++c) {
            double v = sky + dark;
            const std::uint64_t h = Mix(noiseSeed + static_cast<std::uint64_t>(r) * 65536 + c);
            v += (Uniform(h) + Uniform(Mix(h)) + Uniform(Mix(h + 1)) - 1.5) * 10.0;  // read noise
            if ((Mix(field + 7 + static_cast<std::uint64_t>(r) * 65536 + c) & 0x3FFF) == 0)
                v += 5000.0 * t + 500.0;  // hot pixel
            AddCharge(Cell(ccd, s.topRows + r, cellOf(c)), v);
        }
    if (litNs == 0)
        return;

    // The pointing while light came in, sampled finely enough that a moving
    // star leaves a continuous trail.  `f` runs over the lit time alone,
    // from 0 to 1, through the spans in order.
    auto litAt = [&](double f) {
        std::uint64_t left = static_cast<std::uint64_t>(f * static_cast<double>(litNs));
        for (const Span& span : lit) {
            const std::uint64_t d = span.toNs - span.fromNs;
            if (left < d)
                return span.fromNs + left;
            left -= d;
        }
        return lit.back().toNs;
    };
    const double sx = ArcsecPerPixelX(ccd), sy = ArcsecPerPixelY(ccd);
    auto shiftAt = [&](std::uint64_t ns) {
        Shift d;
        if (sx > 0.0 && sy > 0.0) {
            const Pointing p = mount_.At(ns);
            d.rows = p.north / sy;
            d.cols = p.east / sx;
        }
        return d;
    };
    double path = 0.0;
    Shift prev = shiftAt(litAt(0.0));
    for (int k = 1; k <= kPathProbes; ++k) {
        const Shift d = shiftAt(litAt(static_cast<double>(k) / kPathProbes));
        path += std::hypot(d.rows - prev.rows, d.cols - prev.cols);
        prev = d;
    }
    const int samples =
        std::clamp(static_cast<int>(std::ceil(path * kSamplesPerPixel)), 1, kMaxSamples);
    std::vector<Shift> at(static_cast<std::size_t>(samples));
    Shift lo{1e300, 1e300}, hi{-1e300, -1e300};
    for (int k = 0; k < samples; ++k) {
        const double f = (k + 0.5) / samples;
        at[k] = shiftAt(litAt(f));
        lo = {std::min(lo.rows, at[k].rows), std::min(lo.cols, at[k].cols)};
        hi = {std::max(hi.rows, at[k].rows), std::max(hi.cols, at[k].cols)};
    }

    // The field tiles that can reach the CCD while it moves.
    std::vector<Star> stars;
    const long ti0 = static_cast<long>(std::floor((-kStarReach - 1 - hi.rows) / s.activeRows));
    const long ti1 =
        static_cast<long>(std::floor((s.activeRows + kStarReach - lo.rows) / s.activeRows));
    const long tj0 = static_cast<long>(std::floor((-kStarReach - 1 - hi.cols) / s.activeColumns));
    const long tj1 =
        static_cast<long>(std::floor((s.activeColumns + kStarReach - lo.cols) / s.activeColumns));
    for (long ti = ti0; ti <= ti1; ++ti)
        for (long tj = tj0; tj <= tj1; ++tj) TileStars(field, s, ti, tj, &stars);

    // Each star: a Gaussian image of about 1.5 pixels at every sampled
    // position, summed over the exposure before it meets the pixels.
    std::vector<double> stamp;
    for (const Star& star : stars) {
        const double r0f = star.r + lo.rows, r1f = star.r + hi.rows;
        const double c0f = star.c + lo.cols, c1f = star.c + hi.cols;
        const int r0 = std::max(0, static_cast<int>(std::floor(r0f)) - kStarReach);
        const int r1 = std::min<int>(s.activeRows, static_cast<int>(std::floor(r1f)) + 7);
        const int c0 = std::max(0, static_cast<int>(std::floor(c0f)) - kStarReach);
        const int c1 = std::min<int>(s.activeColumns, static_cast<int>(std::floor(c1f)) + 7);
        if (r0 >= r1 || c0 >= c1)
            continue;
        const int w = c1 - c0;
        stamp.assign(static_cast<std::size_t>(r1 - r0) * w, 0.0);
        const double flux = star.flux * tLit / samples;
        for (const Shift& d : at) {
            const double sr = star.r + d.rows, sc = star.c + d.cols;
            const int ra = std::max(r0, static_cast<int>(std::floor(sr)) - kStarReach);
            const int rb = std::min(r1, static_cast<int>(std::floor(sr)) + 7);
            const int ca = std::max(c0, static_cast<int>(std::floor(sc)) - kStarReach);
            const int cb = std::min(c1, static_cast<int>(std::floor(sc)) + 7);
            for (int r = ra; r < rb; ++r)
                for (int c = ca; c < cb; ++c) {
                    const double dr = r - sr, dc = c - sc;
                    const double d2 = dr * dr + dc * dc;
                    if (d2 < kStarReach * kStarReach)
                        stamp[static_cast<std::size_t>(r - r0) * w + (c - c0)] +=
                            flux * std::exp(-d2 / 4.5) / 14.1;
                }
        }
        for (int r = r0; r < r1; ++r)
            for (int c = c0; c < c1; ++c)
                AddCharge(Cell(ccd, s.topRows + r, cellOf(c)),
                          stamp[static_cast<std::size_t>(r - r0) * w + (c - c0)]);
    }
}

}  // namespace zeva::sim
