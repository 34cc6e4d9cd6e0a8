#include "kernels/parallel/partition.hpp"

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace pellorin::parallel {

namespace {

// One call's work: chunks are claimed with `next`; the call returns once no
// chunk is left to claim and every claimed chunk is finished, whether or
// not every helper woke up for it. A helper that wakes too late finds the
// job closed and never touches it.
struct Job {
    std::uint64_t count;
    std::uint64_t grain;
    ChunkFunction run;
    void* context;
    std::atomic<std::uint64_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex failure_mutex;
    std::exception_ptr failure;
};

void work_on(Job& job, unsigned worker) noexcept {
    try {
        while (!job.stop.load(std::memory_order_relaxed)) {
            const std::uint64_t begin = job.next.fetch_add(job.grain, std::memory_order_relaxed);
            if (begin >= job.count) {
                return;
            }
            const std::uint64_t end = job.count - begin < job.grain ? job.count : begin + job.grain;
            job.run(job.context, begin, end, worker);
        }
    } catch (...) {
        job.stop.store(true, std::memory_order_relaxed);
        const std::lock_guard<std::mutex> guard(job.failure_mutex);
        if (!job.failure) {
            job.failure = std::current_exception();
        }
    }
}

// Helper threads kept for the life of the process (never destroyed: they
// sleep between calls, and the process's exit ends them). Threads that
// cannot be started are simply fewer helpers.
class Pool {
public:
    // Runs `job` on the caller (worker 0) and on up to `helpers` helpers.
    // One call uses the helpers at a time; a call made meanwhile from
    // another thread runs on its own thread alone (the same bits).
    void run(Job& job, unsigned helpers) {
        std::unique_lock<std::mutex> exclusive(call_mutex_, std::try_to_lock);
        if (!exclusive.owns_lock()) {
            work_on(job, 0);
            return;
        }
        grow(helpers);
        {
            const std::lock_guard<std::mutex> guard(mutex_);
            job_ = &job;
            wanted_ = helpers < started_ ? helpers : started_;
            joined_ = 0;
            ++generation_;
        }
        wake_.notify_all();
        work_on(job, 0);
        std::unique_lock<std::mutex> lock(mutex_);
        job_ = nullptr;  // closed: no helper joins from here on
        done_.wait(lock, [&] { return active_ == 0; });
    }

private:
    void grow(unsigned helpers) {
        while (started_ < helpers) {
            try {
                threads_.emplace_back([this, number = started_ + 1] { loop(number); });
            } catch (const std::system_error&) {
                return;
            } catch (const std::bad_alloc&) {
                return;
            }
            ++started_;
        }
    }

    void loop(unsigned number) {
        std::uint64_t seen = 0;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return generation_ != seen; });
            seen = generation_;
            if (job_ == nullptr || joined_ >= wanted_ || number > wanted_) {
                continue;
            }
            Job* job = job_;
            ++joined_;
            ++active_;
            lock.unlock();
            work_on(*job, number);
            lock.lock();
            if (--active_ == 0) {
                done_.notify_all();
            }
        }
    }

    std::mutex call_mutex_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::vector<std::thread> threads_;
    unsigned started_ = 0;
    unsigned wanted_ = 0;
    unsigned joined_ = 0;
    unsigned active_ = 0;
    std::uint64_t generation_ = 0;
    Job* job_ = nullptr;
};

// The pool of this process. A child made by fork has none of its parent's
// threads: it makes its own, and leaves the parent's object (whose mutexes
// may have been held at the fork) untouched.
Pool& process_pool() {
    static std::mutex guard;
    static Pool* pool = nullptr;
    static pid_t owner = 0;
    const std::lock_guard<std::mutex> lock(guard);
    const pid_t self = getpid();
    if (pool == nullptr || owner != self) {
        pool = new Pool();  // kept for the life of the process
        owner = self;
    }
    return *pool;
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
    Job job{count, grain, run, context};
    if (wanted <= 1) {
        work_on(job, 0);
    } else {
        process_pool().run(job, wanted - 1);
    }
    if (job.failure) {
        std::rethrow_exception(job.failure);
    }
}

}  // namespace pellorin::parallel
