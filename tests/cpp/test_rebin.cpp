// The quad rebinning kernel, in every instruction set the processor
// supports, against a literal per-quad, per-cell evaluation built from the
// single clipping stages and against its own baseline variant: the same
// bits, byte for byte, on random grids and quads (many
// sizes, straddling the grid's edges, corners on cell lines, NaN and
// infinite corners, degenerate and bow-tie quads, both modes, skip_partial
// both ways, counts that end every block of four and every chunk).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "kernels/clip/clip.hpp"
#include "kernels/common/index.hpp"
#include "kernels/common/isa.hpp"
#include "kernels/rebin/rebin.hpp"

namespace clip = pellorin::clip;
namespace rebin = pellorin::rebin;

namespace {

double min_num(double a, double b) { return std::isnan(a) ? b : (std::isnan(b) ? a : (b < a ? b : a)); }
double max_num(double a, double b) { return std::isnan(a) ? b : (std::isnan(b) ? a : (b > a ? b : a)); }

std::uint64_t index_of(double f, std::uint64_t m) {
    return std::min(pellorin::saturating_index(std::fmax(std::floor(f), 0.0)), m - 1);
}

// Left, right, bottom and top stages one by one, stopping at an empty one.
double clipped_area(const clip::Quad& q, double x_lo, double x_hi, double y_lo, double y_hi) {
    clip::PointBuffer a(8), b(8);
    clip::clip_half_plane({q.corner, 4}, a, clip::Side::Left, x_lo);
    if (a.size() == 0) return 0.0;
    clip::clip_half_plane(a.points(), b, clip::Side::Right, x_hi);
    if (b.size() == 0) return 0.0;
    clip::clip_half_plane(b.points(), a, clip::Side::Bottom, y_lo);
    if (a.size() == 0) return 0.0;
    clip::clip_half_plane(a.points(), b, clip::Side::Top, y_hi);
    return b.size() >= 3 ? clip::polygon_area(b.points()) : 0.0;
}

struct Case {
    std::vector<double> q, v;
    double ox, oy, bx, by;
    std::uint64_t mx, my;
};

std::vector<double> literal(const Case& c, bool mean, bool skip) {
    std::vector<double> out(c.mx * c.my, 0.0), w(c.mx * c.my, 0.0);
    for (std::size_t i = 0; i < c.v.size(); ++i) {
        const double* p = &c.q[8 * i];
        const clip::Quad q{{{p[0], p[1]}, {p[2], p[3]}, {p[4], p[5]}, {p[6], p[7]}}};
        const double v = c.v[i];
        const double xmin = min_num(min_num(min_num(p[0], p[2]), p[4]), p[6]);
        const double xmax = max_num(max_num(max_num(p[0], p[2]), p[4]), p[6]);
        const double ymin = min_num(min_num(min_num(p[1], p[3]), p[5]), p[7]);
        const double ymax = max_num(max_num(max_num(p[1], p[3]), p[5]), p[7]);
        const double fx0 = (xmin - c.ox) / c.bx, fx1 = (xmax - c.ox) / c.bx;
        const double fy0 = (ymin - c.oy) / c.by, fy1 = (ymax - c.oy) / c.by;
        const double mxf = static_cast<double>(c.mx), myf = static_cast<double>(c.my);
        if (skip ? (fx0 < 0 || fx1 < 0 || fy0 < 0 || fy1 < 0 || fx0 >= mxf || fx1 >= mxf || fy0 >= myf || fy1 >= myf)
                 : (fy0 >= myf || fx0 >= mxf || fx1 <= 0 || fy1 <= 0)) {
            continue;
        }
        const std::uint64_t ix0 = index_of(fx0, c.mx), ix1 = index_of(fx1, c.mx);
        const std::uint64_t iy0 = index_of(fy0, c.my), iy1 = index_of(fy1, c.my);
        if (ix0 == ix1 && iy0 == iy1) {
            const double a = clip::polygon_area(q);
            if (!(a > 0)) continue;
            const std::uint64_t k = ix0 * c.my + iy0;
            if (mean) {
                out[k] = out[k] + v * a;
                w[k] = w[k] + a;
            } else {
                out[k] = out[k] + v;
            }
            continue;
        }
        std::vector<std::pair<std::uint64_t, double>> list;
        double total = 0.0;
        for (std::uint64_t ix = ix0; ix <= ix1; ++ix) {
            const double x_lo = c.ox + c.bx * static_cast<double>(ix), x_hi = c.bx + x_lo;
            for (std::uint64_t iy = iy0; iy <= iy1; ++iy) {
                const double y_lo = c.oy + c.by * static_cast<double>(iy), y_hi = c.by + y_lo;
                const double a = clipped_area(q, x_lo, x_hi, y_lo, y_hi);
                if (a > 0) {
                    list.emplace_back(ix * c.my + iy, a);
                    total = total + a;
                }
            }
        }
        if (total <= 0) continue;
        const double inv = 1.0 / total;
        for (const auto& [k, a] : list) {
            if (mean) {
                out[k] = v * a + out[k];
                w[k] = a + w[k];
            } else {
                out[k] = out[k] + inv * (v * a);
            }
        }
    }
    if (mean) {
        for (std::size_t k = 0; k < out.size(); ++k) {
            if (w[k] > 0) out[k] = out[k] / w[k];
        }
    }
    return out;
}

Case random_case(std::mt19937_64& gen) {
    auto u = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(gen); };
    auto pick = [&](int a, int b) { return std::uniform_int_distribution<int>(a, b)(gen); };
    constexpr double inf = std::numeric_limits<double>::infinity();
    const double specials[] = {std::numeric_limits<double>::quiet_NaN(), inf, -inf, 1e300, -1e300, 0.0};
    Case c;
    c.mx = pick(2, 12);
    c.my = pick(2, 12);
    c.bx = pick(0, 2) == 0 ? 1.0 : u(0.1, 3.0);
    c.by = pick(0, 2) == 0 ? 1.0 : u(0.1, 3.0);
    c.ox = pick(0, 2) == 0 ? 0.0 : u(-5, 5);
    c.oy = pick(0, 2) == 0 ? 0.0 : u(-5, 5);
    const int counts[] = {0, 1, 2, 3, 4, 5, 7, 63, 64, 65, 130};
    const int n = counts[pick(0, 10)];
    const double w = static_cast<double>(c.mx) * c.bx, h = static_cast<double>(c.my) * c.by;
    for (int i = 0; i < n; ++i) {
        double q[8];
        const int kind = pick(0, 9);
        const double size = std::exp(u(std::log(0.02), std::log(6.0))) * (c.bx + c.by) / 2;
        double cx = c.ox + u(-0.3 * w, 1.3 * w), cy = c.oy + u(-0.3 * h, 1.3 * h);
        if (pick(0, 3) == 0) {  // centred on interior cell lines
            cx = c.ox + c.bx * pick(1, static_cast<int>(c.mx) - 1);
            cy = c.oy + c.by * pick(1, static_cast<int>(c.my) - 1);
        }
        const double angle = kind == 0 ? 0.0 : u(0, 6.3);
        const double corners[4][2] = {{-0.5, -0.5}, {0.5, -0.5}, {0.5, 0.5}, {-0.5, 0.5}};
        for (std::size_t k = 0; k < 4; ++k) {
            const double ax = corners[k][0] * size, ay = corners[k][1] * size;
            q[2 * k] = cx + std::cos(angle) * ax - std::sin(angle) * ay;
            q[2 * k + 1] = cy + std::sin(angle) * ax + std::cos(angle) * ay;
        }
        if (kind == 1) {  // corners exactly on cell lines, spanning whole cells
            const double x0 = c.ox + c.bx * pick(1, static_cast<int>(c.mx)),
                         y0 = c.oy + c.by * pick(1, static_cast<int>(c.my));
            const double x1 = x0 + c.bx * pick(1, 3), y1 = y0 + c.by * pick(1, 3);
            const double r[8] = {x0, y0, x1, y0, x1, y1, x0, y1};
            std::memcpy(q, r, sizeof q);
        }
        if (kind == 2) {  // bow-tie
            std::swap(q[2], q[4]);
            std::swap(q[3], q[5]);
        }
        if (kind == 3) {  // two pairs of equal corners
            q[4] = q[0], q[5] = q[1], q[6] = q[2], q[7] = q[3];
        }
        if (kind == 4) q[pick(0, 7)] = specials[pick(0, 5)];
        if (kind == 5) q[pick(0, 7)] = specials[pick(0, 5)], q[pick(0, 7)] = specials[pick(0, 5)];
        if (kind == 6) std::reverse(q, q + 8);  // other winding (x and y swapped)
        if (kind == 7) {
            for (double& x : q)
                x *= 20;  // reaching far past the grid
        }
        c.q.insert(c.q.end(), q, q + 8);
        c.v.push_back(pick(0, 40) == 0 ? specials[pick(0, 3)] : u(-2, 10));
    }
    return c;
}

}  // namespace

int main() {
    std::mt19937_64 gen(20251208);
    int cases = 0, mismatches = 0;
    const std::span<const pellorin::Isa> isas = pellorin::supported_isas();
    for (int trial = 0; trial < 3000; ++trial) {
        const Case c = random_case(gen);
        for (int mode = 0; mode < 2; ++mode) {
            for (int skip = 0; skip < 2; ++skip) {
                const std::vector<double> want = literal(c, mode == 1, skip == 1);
                const rebin::RebinMode m = mode == 1 ? rebin::RebinMode::Mean : rebin::RebinMode::Sum;
                const auto base = rebin::rebin_quads_kernel(c.q, c.v, c.ox, c.oy, c.bx, c.by, c.mx, c.my, m, skip == 1,
                                                            pellorin::Isa::Baseline);
                // Every supported set, the baseline included: the bytes of
                // the literal evaluation and of the baseline variant.
                for (const pellorin::Isa isa : isas) {
                    const auto got =
                        rebin::rebin_quads_kernel(c.q, c.v, c.ox, c.oy, c.bx, c.by, c.mx, c.my, m, skip == 1, isa);
                    ++cases;
                    const std::size_t bytes = want.size() * sizeof(double);
                    if (got.size() != want.size() || base.size() != want.size() ||
                        std::memcmp(got.data(), want.data(), bytes) != 0 ||
                        std::memcmp(got.data(), base.data(), bytes) != 0) {
                        if (++mismatches <= 5) {
                            std::printf("MISMATCH trial %d mode %d skip %d isa %s quads %zu\n", trial, mode, skip,
                                        pellorin::isa_name(isa), c.v.size());
                        }
                    }
                }
            }
        }
    }
    std::printf("rebin kernel: %d runs over %zu instruction sets, %d differ from the literal evaluation\n", cases,
                isas.size(), mismatches);
    return mismatches == 0 ? 0 : 1;
}
