// Overlaps of pixels as spherical polygons: each pixel is the polygon of its
// four corners on the unit sphere joined by great-circle arcs, and areas are
// solid angles. An input pixel and an output cell overlap in the part of
// the sphere inside both; clipping is done on the corners' unit vectors
// (a great circle is a plane through the centre, so a cell's edge is the
// half-space n . x >= 0 with n the cross product of its corners), and the
// area of the clipped polygon is the sum of its fan triangles' spherical
// excesses.
//
// Every operation is a fixed sequence of IEEE additions, multiplications,
// divisions and square roots (the arctangent is computed here, not taken
// from the C library), so that the bits are the same on every machine. A
// cell's sums receive their terms in the order of the input pixels
// (row-major), whatever rows a call is given: the bits do not depend on how
// the output rows are split.
#pragma once

#include <cstdint>

namespace pellorin::sphere {

struct Vec {
    double x, y, z;
};

// The most vertices of a pixel's polygon: four corners, and for a pixel
// partly off the sky the points where its edges leave the sky.
inline constexpr int max_vertices = 6;

// A lattice of (ny + 1) x (nx + 1) corners, row-major, three doubles each
// (unit vectors; NaN where a corner is off the sky). A pixel is the quad of
// its four corners, or its patch: patch_index (ny x nx, row-major; -1 for
// none, else below the number of patches) picks a polygon of `patches`,
// max_vertices vectors each, its vertices the leading finite ones (at
// least three). A pixel with neither, or with a patch of fewer than three
// vertices, has no polygon.
struct Lattice {
    const double* v;
    std::uint64_t ny;  // pixel rows
    std::uint64_t nx;  // pixel columns
    const std::int64_t* patch_index = nullptr;
    const double* patches = nullptr;
};

// The signed solid angle of the polygon v[0..n) (unit vectors, n >= 3):
// positive when its vertices turn counterclockwise seen from outside the
// sphere. Exact for polygons smaller than a hemisphere, up to rounding.
double polygon_area(const Vec* v, int n);

// The solid angle of the overlap of polygon `a` (na vertices, either
// winding) with the polygon `b` (nb <= max_vertices vertices,
// counterclockwise seen from outside; one that is not convex is taken as
// the signed triangles of its fan).
double overlap(const Vec* a, int na, const Vec* b, int nb);

// The arctangent of x: argument halving and a series, in IEEE operations
// only; within a few units in the last place.
double arctan(double x);

// Signed solid angles of the cells in rows [row_begin, row_end) of `cells`
// (nx per row, row-major, into area[row * nx + col]): NaN for a cell with
// no polygon.
void cell_areas(const Lattice& cells, std::uint64_t row_begin, std::uint64_t row_end, double* area);

// What the input pixels add to the output cells:
//   sums[p]          += v_p * t,  weight[w] += t,  flux[p] += u * (v_p * (o / A)),
//   variance_sums[p] += (t * t) * var_p,
// o the overlap of a pixel with a cell (a solid angle), A the pixel's
// solid angle, a = o, or o / |the cell's solid angle| when per_cell, u the
// pixel's weight (1 without pixel weights) and t = u * a; p the plane of
// the value and w the plane of the weight (0 when there is one weight
// plane). A pixel whose weight is not > 0 adds nothing; one whose value is
// NaN adds nothing to its plane (to any plane when there is one weight
// plane). A pixel or a cell with no polygon adds or receives nothing.
// Without pixel weights and per_cell, t is o, bit for bit.
struct Job {
    Lattice pixels;
    Lattice cells;
    // Per input pixel, the cells it may overlap: rows [s[0], s[1]) and
    // columns [s[2], s[3]) of the output, 4 int64 per pixel, row-major.
    const std::int64_t* spans;
    const double* values;  // (planes, pixels.ny, pixels.nx)
    std::uint64_t planes;
    const double* cell_area;               // cell_areas of every cell
    double* sums;                          // (planes, cells.ny, cells.nx) or null
    double* weight;                        // (weight_planes, cells.ny, cells.nx) or null
    std::uint64_t weight_planes;           // 1 or planes
    double* flux;                          // (planes, cells.ny, cells.nx) or null
    const double* pixel_weight = nullptr;  // (pixels.ny, pixels.nx) or null
    const double* variance = nullptr;      // (planes, pixels.ny, pixels.nx) or null
    double* variance_sums = nullptr;       // (planes, cells.ny, cells.nx) or null
    bool per_cell = false;                 // overlaps as fractions of their cells
};

// Adds the terms of every input pixel to the cells of output rows
// [row_begin, row_end).
void accumulate_rows(const Job& job, std::uint64_t row_begin, std::uint64_t row_end);

}  // namespace pellorin::sphere
