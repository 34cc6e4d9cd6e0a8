// The screen of a reprojection: which input pixels one straight-edged quad
// represents (taken whole), and which must be cut into pieces (candidates),
// from the corner lattice of the transform alone.
//
// The lattice (xs, ys) holds the images of the pixel corners, (ny + 1) x
// (nx + 1) row-major, NaN or infinite where a corner is off the sky. Each
// lattice point is read as the complex number z = x + i y, formed as
// NumPy's `xs + 1j * ys` forms it (real part x + (0 y - 0), imaginary part
// 0 + (0 + y)), and every test below is the same sequence of rounded
// operations on those parts as the package's array formulation: products
// of complex numbers by a real scalar as full complex products, moduli of
// complex numbers as max * sqrt(fma(r, r, 1)) with r = min / max (the
// modulus that NumPy's vector loops compute), maxima that propagate NaN.
// The maps are therefore the same bits on every machine and for any split
// of the rows.
//
// Pixel (r, c) has corners q0 = z[r][c], q1 = z[r][c + 1], q2 = z[r + 1][c
// + 1], q3 = z[r + 1][c]. It is taken whole when its four corners are
// finite, its quad turns one way at every corner (zero turns allowed,
// either winding), and the transform is nearly linear around it: the
// deviation dev <= `screen_tolerance`, where dev is estimated from the
// second differences d2x, d2y of the lattice at its corners (a lattice
// point on the image's edge takes its neighbour's; NaN when the image has
// fewer than two pixels along that axis):
//   quick bound  dev = max |d2| (|e1| + |e2|) / |det| / 8, with the mean
//                edge vectors e1 = (q1 - q0 + q2 - q3) / 2, e2 = (q3 - q0
//                + q2 - q1) / 2 and det = e1 x e2;
//   where the quick bound exceeds the tolerance (the bound is finite or
//   not, max |d2| finite and |det| > 0): the exact size of each d2 in the
//   frame (e1, e2), max(|a|, |b|) for d2 = a e1 + b e2, over the eight d2
//   at the corners, divided by 8.
// A pixel not taken whole is a candidate when some pixel within one row and
// one column of it (itself included) has a finite corner.
#pragma once

#include <cstdint>

#include "kernels/common/isa.hpp"

namespace pellorin::geometry {

// The largest deviation of a whole pixel's edge midpoints from its chords,
// as a fraction of its sides in the input plane.
inline constexpr double screen_tolerance = 0.05;

// The corner lattice: (ny + 1) x (nx + 1) points, row-major, rows of nx + 1.
struct Lattice {
    const double* xs;
    const double* ys;
    std::uint64_t ny;  // pixel rows
    std::uint64_t nx;  // pixel columns
};

// Screens pixel rows [row_begin, row_end) (row_end <= ny), writing rows of
// nx flags into whole and candidates (both ny x nx, row-major; only the
// rows in the range are written). Each flag depends only on the lattice,
// never on the range, nor on `isa` (the AVX2 passes, with fused
// multiply-add in hardware, give the baseline's bits). Allocates a few rows
// of scratch (OutOfMemory).
void screen_rows(const Lattice& lattice, std::uint64_t row_begin, std::uint64_t row_end, bool* whole, bool* candidates,
                 Isa isa);

}  // namespace pellorin::geometry
