// The screen of a corner lattice (kernels/geometry/screen) on hand-made
// lattices whose answer follows from the rule: straight maps are taken
// whole, a bow-tie, a collapsed quad and the pixels around a corner off the
// sky are cut, a strongly stretched but gently curved map passes only by
// the exact deviation (its quick bound is past the tolerance), and the
// flags depend neither on how the rows are split nor on the instruction set.
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

#include "kernels/common/isa.hpp"
#include "kernels/geometry/screen.hpp"
#include "tally.hpp"

namespace geo = pellorin::geometry;

namespace {

constexpr double nan_v = std::numeric_limits<double>::quiet_NaN();

// A lattice of ny x nx pixels with corners at f(x, y), x, y the corner
// positions (integers - 0.5), and its screen.
struct Case {
    std::uint64_t ny, nx;
    std::vector<double> xs, ys;
    std::unique_ptr<bool[]> whole, cand;

    Case(std::uint64_t rows, std::uint64_t cols, const std::function<void(double, double, double&, double&)>& f)
        : ny(rows), nx(cols), xs((rows + 1) * (cols + 1)), ys((rows + 1) * (cols + 1)) {
        for (std::uint64_t j = 0; j <= ny; ++j) {
            for (std::uint64_t i = 0; i <= nx; ++i) {
                f(static_cast<double>(i) - 0.5, static_cast<double>(j) - 0.5, xs[j * (nx + 1) + i],
                  ys[j * (nx + 1) + i]);
            }
        }
    }
    void set(std::uint64_t j, std::uint64_t i, double x, double y) {
        xs[j * (nx + 1) + i] = x;
        ys[j * (nx + 1) + i] = y;
    }
    geo::Lattice lattice() const { return {xs.data(), ys.data(), ny, nx}; }
    // The baseline's flags; every other supported set must give the same.
    void run() {
        whole = std::make_unique<bool[]>(ny * nx);
        cand = std::make_unique<bool[]>(ny * nx);
        geo::screen_rows(lattice(), 0, ny, whole.get(), cand.get(), pellorin::Isa::Baseline);
        for (const pellorin::Isa isa : pellorin::supported_isas()) {
            auto w = std::make_unique<bool[]>(ny * nx);
            auto k = std::make_unique<bool[]>(ny * nx);
            geo::screen_rows(lattice(), 0, ny, w.get(), k.get(), isa);
            bool same = true;
            for (std::uint64_t p = 0; p < ny * nx; ++p) {
                same = same && w[p] == whole[p] && k[p] == cand[p];
            }
            CHECK(same);
        }
    }
    bool w(std::uint64_t r, std::uint64_t c) const { return whole[r * nx + c]; }
    bool k(std::uint64_t r, std::uint64_t c) const { return cand[r * nx + c]; }
    int count_whole() const {
        int n = 0;
        for (std::uint64_t p = 0; p < ny * nx; ++p) {
            n += whole[p] ? 1 : 0;
        }
        return n;
    }
};

void affine(double x, double y, double& u, double& v) {
    u = 3.0 + 1.25 * x - 0.5 * y;
    v = -2.0 + 0.25 * x + 0.75 * y;
}

void straight_maps_are_whole() {
    Case c(5, 7, affine);
    c.run();
    CHECK(c.count_whole() == 35);
    bool any_candidate = false;
    for (std::uint64_t p = 0; p < 35; ++p) {
        any_candidate = any_candidate || c.cand[p];
    }
    CHECK(!any_candidate);
    // Mirrored (clockwise) quads are convex too.
    Case m(4, 4, [](double x, double y, double& u, double& v) {
        u = -x;
        v = y;
    });
    m.run();
    CHECK(m.count_whole() == 16);
}

void bow_tie_is_cut() {
    // Pixel (1, 1) gets corners q2 and q3 exchanged: its edges cross.
    Case c(4, 4, affine);
    const double x2 = c.xs[2 * 5 + 2], y2 = c.ys[2 * 5 + 2];
    c.set(2, 2, c.xs[2 * 5 + 1], c.ys[2 * 5 + 1]);
    c.set(2, 1, x2, y2);
    c.run();
    CHECK(!c.w(1, 1) && c.k(1, 1));
    // A corner moved onto its neighbour: cut there, straight far from it.
    Case far(8, 8, affine);
    far.set(6, 6, far.xs[6 * 9 + 5], far.ys[6 * 9 + 5]);
    far.run();
    CHECK(far.w(0, 0) && far.w(1, 2) && !far.k(0, 0));
    CHECK(!far.w(5, 5) && far.k(5, 5));
}

void collapsed_quads_are_cut() {
    // Every corner on one line: zero turns (convex) but no area, so the
    // deviation is undefined and nothing is whole.
    Case c(3, 3, [](double x, double y, double& u, double& v) {
        u = x + 2.0 * y;
        v = 0.0;
    });
    c.run();
    CHECK(c.count_whole() == 0);
    CHECK(c.k(0, 0) && c.k(1, 1) && c.k(2, 2));
}

void corners_off_the_sky() {
    // One corner off the sky (NaN): the four pixels around it, and those
    // whose second differences read it, are not whole; a pixel two rows
    // and columns of lattice away is.
    Case c(6, 6, affine);
    c.set(3, 3, nan_v, 1.0);
    c.run();
    for (std::uint64_t r = 2; r <= 3; ++r) {
        for (std::uint64_t col = 2; col <= 3; ++col) {
            CHECK(!c.w(r, col) && c.k(r, col));
        }
    }
    CHECK(!c.w(3, 1) && !c.w(1, 3));  // second differences through (3, 3)
    CHECK(c.w(0, 0) && c.w(5, 0) && c.w(0, 5));
    // Only the corner (0, 0) on the sky: candidates reach one pixel past the
    // pixel that has it.
    Case s(5, 5, [](double, double, double& u, double& v) {
        u = nan_v;
        v = nan_v;
    });
    s.set(0, 0, 0.0, 0.0);
    s.run();
    CHECK(s.count_whole() == 0);
    CHECK(s.k(0, 0) && s.k(0, 1) && s.k(1, 0) && s.k(1, 1));
    CHECK(!s.k(0, 2) && !s.k(2, 0) && !s.k(2, 2));
    // An infinite y is off the sky too.
    Case t(4, 4, affine);
    t.set(0, 0, 1.0, std::numeric_limits<double>::infinity());
    t.run();
    CHECK(!t.w(0, 0) && t.k(0, 0) && t.w(3, 3));
}

void stretched_curve_passes_by_the_exact_deviation() {
    // u = 100 x + 0.4 x^2: d2x = 0.8 along u everywhere, e1 ~ 100 along u,
    // e2 = 1 along v. The quick bound, 0.8 (|e1| + |e2|) / |det| / 8 ~ 0.1,
    // is past the tolerance; in the frame the difference is 0.8 / |e1|, a
    // deviation of ~0.001: whole.
    Case c(4, 6, [](double x, double y, double& u, double& v) {
        u = 100.0 * x + 0.4 * x * x;
        v = y;
    });
    c.run();
    CHECK(c.count_whole() == 24);
    // The same bend without the stretch deviates by 0.8 / (1 + 0.8 x) / 8,
    // past the tolerance at x < 1.25: the first columns are cut.
    Case b(4, 6, [](double x, double y, double& u, double& v) {
        u = x + 0.4 * x * x;
        v = y;
    });
    b.run();
    CHECK(!b.w(0, 0) && b.k(0, 0) && !b.w(3, 1) && b.w(3, 5));
}

void tiny_images_have_no_whole_pixels() {
    // With one pixel along an axis the second differences along it are
    // unknown, so no pixel is whole.
    for (const auto& [ny, nx] : {std::pair<std::uint64_t, std::uint64_t>{1, 1}, {1, 5}, {5, 1}}) {
        Case c(ny, nx, affine);
        c.run();
        CHECK(c.count_whole() == 0 && c.k(0, 0));
    }
    Case two(2, 2, affine);
    two.run();
    CHECK(two.count_whole() == 4);
}

void row_split_does_not_matter() {
    constexpr std::uint64_t ny = 23, nx = 17;
    Case c(ny, nx, [](double x, double y, double& u, double& v) {
        u = x + 0.02 * x * y + 0.01 * y * y;
        v = y + std::sin(0.4 * x);
        if (x > 9.0 && y < 4.0) {
            u = nan_v;
        }
    });
    c.run();
    auto whole = std::make_unique<bool[]>(ny * nx);
    auto cand = std::make_unique<bool[]>(ny * nx);
    for (std::uint64_t r = 0; r < ny; r += 3) {
        geo::screen_rows(c.lattice(), r, r + 3 < ny ? r + 3 : ny, whole.get(), cand.get(), pellorin::best_isa());
    }
    bool same = true;
    for (std::uint64_t p = 0; p < ny * nx; ++p) {
        same = same && whole[p] == c.whole[p] && cand[p] == c.cand[p];
    }
    CHECK(same);
    CHECK(c.count_whole() > 0 && c.count_whole() < static_cast<int>(ny * nx));
}

}  // namespace

int main() {
    straight_maps_are_whole();
    bow_tie_is_cut();
    collapsed_quads_are_cut();
    corners_off_the_sky();
    stretched_curve_passes_by_the_exact_deviation();
    tiny_images_have_no_whole_pixels();
    row_split_does_not_matter();
    return tally::report();
}
