// Work split across threads without changing a bit of the result: the
// items (output rows, output tiles) are independent, each is computed by
// exactly one thread with the same code and in the same order as on one
// thread, so the split decides only who computes what. Chunks of
// consecutive items are handed out on demand, which keeps threads busy when
// some run slower (a shared machine) or some items cost more.
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>

namespace pellorin::parallel {

// The function a chunk runs: items [begin, end) on worker `worker` (0 is the
// calling thread; workers are numbered below the thread count, so per-worker
// scratch can be indexed by it).
using ChunkFunction = void (*)(void* context, std::uint64_t begin, std::uint64_t end, unsigned worker);

// Runs `run(context, begin, end, worker)` over [0, count) in chunks of
// `grain` items (the last may be shorter) on up to min(threads, chunks)
// threads: the caller's and helpers kept for the life of the process.
// Returns once every chunk is done; it never waits for a helper that has
// not started (on a busy machine the caller takes the chunks left), and a
// call made while another call uses the helpers runs on its caller alone.
// The first exception a chunk throws stops the handing out of chunks and
// is rethrown here once every claimed chunk has finished. Pure C++: no
// interpreter object may be touched.
void run_chunks(std::uint64_t count, std::uint64_t grain, unsigned threads, ChunkFunction run, void* context);

// The same with any callable `work(begin, end, worker)`.
template <class Work>
void for_each_chunk(std::uint64_t count, std::uint64_t grain, unsigned threads, Work&& work) {
    using W = std::remove_reference_t<Work>;
    run_chunks(
        count, grain, threads,
        [](void* context, std::uint64_t begin, std::uint64_t end, unsigned worker) {
            (*static_cast<W*>(context))(begin, end, worker);
        },
        const_cast<void*>(static_cast<const void*>(&work)));
}

// A grain that gives each of `threads` threads several chunks (for balance)
// of at least `minimum` items each (so that a chunk's fixed cost stays
// small): count / (4 * threads), at least `minimum`, at least 1.
std::uint64_t balanced_grain(std::uint64_t count, unsigned threads, std::uint64_t minimum);

}  // namespace pellorin::parallel
