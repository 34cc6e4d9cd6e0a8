#include "kernels/parallel/partition.hpp"

#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace pellorin::parallel {

namespace {

struct Shared {
    std::uint64_t count;
    std::uint64_t grain;
    ChunkFunction run;
    void* context;
    std::atomic<std::uint64_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex failure_mutex;
    std::exception_ptr failure;
};

void worker_loop(Shared& shared, unsigned worker) noexcept {
    try {
        while (!shared.stop.load(std::memory_order_relaxed)) {
            const std::uint64_t begin = shared.next.fetch_add(shared.grain, std::memory_order_relaxed);
            if (begin >= shared.count) {
                return;
            }
            const std::uint64_t end = shared.count - begin < shared.grain ? shared.count : begin + shared.grain;
            shared.run(shared.context, begin, end, worker);
        }
    } catch (...) {
        shared.stop.store(true, std::memory_order_relaxed);
        const std::lock_guard<std::mutex> guard(shared.failure_mutex);
        if (!shared.failure) {
            shared.failure = std::current_exception();
        }
    }
}

}  // namespace

std::uint64_t balanced_grain(std::uint64_t count, unsigned threads, std::uint64_t minimum) {
    const std::uint64_t share = count / (4 * std::uint64_t{threads == 0 ? 1 : threads});
    const std::uint64_t grain = share > minimum ? share : minimum;
    return grain == 0 ? 1 : grain;
}

void run_chunks(std::uint64_t count, std::uint64_t grain, unsigned threads, ChunkFunction run, void* context) {
    if (count == 0) {
        return;
    }
    if (grain == 0) {
        grain = 1;
    }
    const std::uint64_t chunks = count / grain + (count % grain != 0 ? 1 : 0);
    const unsigned wanted = chunks < threads ? static_cast<unsigned>(chunks) : (threads == 0 ? 1 : threads);
    Shared shared{count, grain, run, context};
    std::vector<std::thread> helpers;
    try {
        helpers.reserve(wanted - 1);
        for (unsigned worker = 1; worker < wanted; ++worker) {
            helpers.emplace_back(worker_loop, std::ref(shared), worker);
        }
    } catch (const std::system_error&) {
        // Fewer threads than asked: the started ones and the caller share the work.
    } catch (const std::bad_alloc&) {
    }
    worker_loop(shared, 0);
    for (std::thread& helper : helpers) {
        helper.join();
    }
    if (shared.failure) {
        std::rethrow_exception(shared.failure);
    }
}

}  // namespace pellorin::parallel
