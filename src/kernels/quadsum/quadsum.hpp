// Accumulation of an image's pixels, mapped to quadrilaterals, onto a grid
// of output cells by exact area overlap: the kernel of reprojection and of
// mosaics (many frames added onto one grid).
//
// Geometry. The input is an ny x nx image whose corner lattice (ny + 1) x
// (nx + 1) has been mapped into output pixel coordinates: input pixel
// (j, i) is the quad of lattice points (j, i), (j, i + 1), (j + 1, i + 1),
// (j + 1, i), in that order. Output cell (r, c) of an ny_out x nx_out grid
// is the square [c - 0.5, c + 0.5] x [r - 0.5, r + 0.5]. A pixel is taken
// whole when the take map says so (or there is none) and its four corners
// are finite; the pixels it does not take may instead be given as explicit
// pieces (quads in output coordinates, each with its source pixel and its
// share f of that pixel, 0 < f <= 1), for pixels that straddle a projection
// seam, a pole or the edge of the sky.
//
// Sums. For each plane p of the k planes of values, each output cell and
// each quad Q (whole pixel or piece) of a pixel with value v (a number),
// weight w > 0 and, when given, variance s, with a = area(Q n cell) > 0 (in
// output pixels) and A = area(Q) / f (f = 1 for a whole pixel):
//     S += (w v) a            the weighted sum of values,
//     W += w a                the weight (coverage, exposure),
//     F += (w v) (a / A)      the flux: a whole pixel's v shared out in
//                             proportion a / area(Q),
//     V += ((w a)(w a)) s     the variance of S, for independent pixels.
// Each of S, W, F, V is optional (a null pointer skips it); all are added
// to (+=), so that a mosaic can add frame after frame. Reprojection takes
// "mean" = S / W (NaN where W = 0), "sum" = F, footprint = W with w = 1.
// A cell's a is the area of its intersection with the quad (see cover.hpp
// for quads that are not simple), accurate to a few units of 2^-53 of the
// cell and of the quad's coordinates relative to its tile; a cell inside a
// convex quad whole takes a = 1 exactly. area(Q) counts Q as its cells do
// (the absolute integral of its winding number): for a self-intersecting
// quad (a bow-tie) the sum of its two lobes, so that its flux adds up to
// w v f as any other quad's does where the lobes meet in no cell. A pixel
// that lies in a single cell takes a = area(Q), the same number as A f, so
// a whole pixel's flux goes to that cell as w v exactly.
//
// Edges and missing data. A quad partly outside the grid contributes
// exactly its overlapping part; one that only touches a cell (a = 0)
// contributes nothing to it. A NaN value contributes nothing and covers
// nothing in its plane; a pixel whose weight is not > 0 (0 marks a bad
// pixel; NaN and negative weights are excluded the same way) contributes
// nothing to any plane. Infinite values and weights, and NaN variances,
// follow IEEE arithmetic.
//
// Coverage of the planes. With Coverage::Shared, W has one plane, shared
// by all: a pixel with a NaN value in any plane is missing from every
// plane, so S / W stays the mean of the same pixels in each plane. This is
// the common case (a 2-D image, or a cube whose planes share one mask) and
// costs one W update per cell. With Coverage::PerPlane, W has k planes and
// a NaN removes a pixel from its own plane only.
//
// Order and determinism. The grid is split into square tiles of
// `tile_size` cells, numbered row-major; each tile's cells are updated
// only by that tile's work, so tiles can run on any threads in any order.
// Within a tile, the lattice pixels come in blocks of 8 x 8 pixels (blocks
// row-major, pixels row-major in a block), then the pieces in list order;
// a pixel's cells ascend by row, then by column; planes ascend. Every term
// is formed as written above (products rounded in the order of the
// parentheses) and added to the cell's running value. So every cell's bits
// depend on its inputs, its previous value and the tile size only: not on
// the number of threads, the order of tiles or the instruction set.
// Coordinates are made relative to the tile's centre cell by subtracting
// integers (exact whenever a point lies near the tile).
//
// Errors. Inputs inconsistent with each other (sizes, a null array that
// another argument requires, a piece whose source is out of range or whose
// share is not in (0, 1]) are internal failures (Panic): the caller
// validates its arguments. A plan too large to allocate throws
// OutOfMemory. Data values never raise.
//
// Memory. Beyond the inputs and the accumulators, the plan holds the
// bounding box of every block (32 bytes per 64 pixels) and the lists of
// the blocks and pieces that reach each tile; the tile work uses a few KiB
// of stack; per call of accumulate_tiles, with several planes (or per-plane
// coverage) 80 KiB of heap, where a tile's cells are logged and then added
// plane by plane (each cell's terms in the same order), and for a mean one
// tile's S and W.
#pragma once

#include <cstdint>

#include "kernels/common/buffer.hpp"
#include "kernels/common/isa.hpp"

namespace pellorin::quadsum {

enum class Coverage : std::uint8_t { Shared, PerPlane };

// What is accumulated: read-only, owned by the caller.
struct Inputs {
    std::uint64_t ny = 0, nx = 0;  // input pixels
    // The corner lattice in output pixel coordinates, (ny + 1) x (nx + 1)
    // each, row-major.
    const double* xs = nullptr;
    const double* ys = nullptr;
    // ny x nx; a pixel is taken whole where non-zero. Null: every pixel.
    const std::uint8_t* take = nullptr;
    // m pieces: quads (m x 4 x 2 doubles, corners in order, each (x, y)),
    // source pixels (flat indices j * nx + i) and shares f in (0, 1].
    std::uint64_t pieces = 0;
    const double* piece_quads = nullptr;
    const std::uint64_t* piece_source = nullptr;
    const double* piece_share = nullptr;
    // k planes of ny x nx values, k >= 1.
    std::uint64_t planes = 1;
    const double* values = nullptr;
    // ny x nx weights, or null (every weight 1).
    const double* weights = nullptr;
    // k planes of ny x nx variances, or null; required by V.
    const double* variance = nullptr;
};

// Where the sums go: caller-owned float64 arrays of ny_out x nx_out cells
// per plane (row-major, planes one after another), each added to, or null.
// W has one plane with Coverage::Shared, k with Coverage::PerPlane; S, F
// and V have k.
//
// The arrays may hold a block of the plan's grid rather than all of it:
// ny_out x nx_out cells whose first is cell (row0, col0) of the grid. A
// block starts on a tile boundary and ends on one or at the grid's end, so
// that it is made of whole tiles; each of its cells then receives exactly
// the bits it receives when the whole grid is accumulated (a tile's terms
// depend on the tile's place in the grid, not on the block).
//
// Mean. With `mean` set, S and W are summed per tile in scratch memory,
// from 0; once a tile's terms are all in, each of its cells of `sum`
// (which must be given) is set to S / W, or NaN where W is 0 (what it held
// is not read), and W is added to `weight` when it is given. `flux` and
// `variance` must be null. This gives the bits of accumulating S and W on
// zeroed accumulators and dividing afterwards, without an output-sized W
// when none is wanted, and with the sums' additions in cache.
struct Accumulators {
    std::uint64_t ny_out = 0, nx_out = 0;
    std::uint64_t row0 = 0, col0 = 0;
    Coverage coverage = Coverage::Shared;
    bool mean = false;
    double* sum = nullptr;       // S
    double* weight = nullptr;    // W
    double* flux = nullptr;      // F
    double* variance = nullptr;  // V
};

// Which blocks of lattice pixels and which pieces may reach each tile,
// found once per job from their bounding boxes. Read-only once made, so
// that any number of threads can share it.
class Plan {
public:
    std::uint64_t tile_count() const noexcept { return tiles_x_ * tiles_y_; }
    std::uint64_t tile_size() const noexcept { return tile_; }
    // The number of tiles of the block that `acc` holds (Panic when it is
    // not made of whole tiles of this plan's grid).
    std::uint64_t block_tile_count(const Accumulators& acc) const;

private:
    friend Plan make_plan(const Inputs&, std::uint64_t, std::uint64_t, std::uint64_t, unsigned);
    friend void accumulate_tiles(const Inputs&, const Plan&, const Accumulators&, std::uint64_t, std::uint64_t, Isa);

    std::uint64_t ny_out_ = 0, nx_out_ = 0, tile_ = 0, tiles_x_ = 0, tiles_y_ = 0;
    std::uint64_t blocks_x_ = 0;
    // Tile t's blocks are block_list_[block_start_[t] .. block_start_[t + 1]),
    // ascending; its pieces likewise.
    OwnedBuffer<std::uint64_t> block_start_, block_list_, piece_start_, piece_list_;
};

// Side of the square blocks of lattice pixels that the plan bounds.
inline constexpr std::uint64_t block_side = 8;

// The plan of a job onto an ny_out x nx_out grid in tiles of `tile_size`
// cells (>= 1). Reads the lattice, the take map and the pieces; checks the
// pieces' sources and shares (Panic). O(pixels + pieces). The blocks'
// bounds are found on up to `threads` threads (each block's by one, so the
// plan does not depend on the count); the lists are sorted on the caller's.
Plan make_plan(const Inputs& in, std::uint64_t ny_out, std::uint64_t nx_out, std::uint64_t tile_size,
               unsigned threads = 1);

// Adds the contributions of tiles [tile_begin, tile_end) of the block that
// the accumulators hold (numbered row-major within the block; the whole grid
// when the block is) to them. The block must lie in the plan's grid. Safe to run concurrently
// on disjoint tile ranges of one plan. `isa` selects an instruction set
// for speed only: every set gives the same bits.
void accumulate_tiles(const Inputs& in, const Plan& plan, const Accumulators& acc, std::uint64_t tile_begin,
                      std::uint64_t tile_end, Isa isa);

}  // namespace pellorin::quadsum
