// Timings of the accumulation kernel (pellorin::quadsum) on the jobs that
// the package's reprojection is judged by; not a test. Built only when asked
// (make bench-kernels, or cmake -DPELLORIN_BENCHMARKS=ON); the peers' times
// for the same jobs come from benchmarks/bench_quadsum_peers.py.
//
//   bench_quadsum [repeats] [tile size] [job: all, affine, cube, zoom]
//
// Each case builds its corner lattice once, then times make_plan plus
// accumulate_tiles over every tile (the kernel's whole work for a job), on
// one thread and on two (tiles handed out from a shared counter), and
// reports the median wall time of `repeats` runs (default 5). The two-thread
// result is checked byte for byte against the one-thread result.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kernels/common/isa.hpp"
#include "kernels/quadsum/quadsum.hpp"

namespace qs = pellorin::quadsum;

namespace {

struct Job {
    const char* name;
    std::uint64_t ny, nx, ny_out, nx_out;
    std::vector<double> xs, ys, values;
    std::uint64_t planes = 1;
};

// The affine map of benchmarks/bench_reproject.py: rotation by 17 degrees
// and scale 1.03 about the centre, plus a small shift.
Job affine_job(std::uint64_t n, const char* name = "2048x2048 affine (rotate 17 deg, scale 1.03)") {
    Job job{name, n, n, n, n, {}, {}, {}};
    const double th = 17.0 * std::acos(-1.0) / 180.0, s = 1.03;
    const double a = s * std::cos(th), b = -s * std::sin(th), c = -b, d = a;
    const double h = static_cast<double>(n) * 0.5;
    const double e = h - (a + b) * h + 0.37, f = h - (c + d) * h - 0.21;
    job.xs.resize((n + 1) * (n + 1));
    job.ys.resize((n + 1) * (n + 1));
    for (std::uint64_t j = 0; j <= n; ++j) {
        for (std::uint64_t i = 0; i <= n; ++i) {
            const double x = static_cast<double>(i) - 0.5, y = static_cast<double>(j) - 0.5;
            job.xs[j * (n + 1) + i] = a * x + b * y + e;
            job.ys[j * (n + 1) + i] = c * x + d * y + f;
        }
    }
    std::mt19937_64 gen(3);
    std::uniform_real_distribution<double> u(0.5, 2.0);
    job.values.resize(n * n);
    for (double& v : job.values) {
        v = u(gen);
    }
    return job;
}

// A 6 x 6 image zoomed x500 onto 3000 x 3000 (input corner u maps to
// 500 (u + 0.5) - 0.5, so the image covers the grid exactly).
Job zoom_job() {
    const std::uint64_t n = 6, m = 3000;
    Job job{"6x6 zoomed x500 onto 3000x3000", n, n, m, m, {}, {}, {}};
    job.xs.resize((n + 1) * (n + 1));
    job.ys.resize((n + 1) * (n + 1));
    for (std::uint64_t j = 0; j <= n; ++j) {
        for (std::uint64_t i = 0; i <= n; ++i) {
            job.xs[j * (n + 1) + i] = 500.0 * static_cast<double>(i) - 0.5;
            job.ys[j * (n + 1) + i] = 500.0 * static_cast<double>(j) - 0.5;
        }
    }
    job.values.resize(n * n);
    for (std::uint64_t k = 0; k < n * n; ++k) {
        job.values[k] = 1.0 + static_cast<double>(k);
    }
    return job;
}

enum class Sums { Mean, Sum, All };

const char* sums_name(Sums s) {
    switch (s) {
        case Sums::Mean: return "S/W (mean, W per tile)";
        case Sums::Sum: return "F (sum)";
        case Sums::All: return "S+W+F";
    }
    return "";
}

struct Out {
    std::vector<double> s, w, f;
};

// CPU seconds of this process so far (every thread).
double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Times {
    double wall, cpu;
};

Times run_once(const Job& job, Sums sums, unsigned threads, std::uint64_t tile, Out& out) {
    const std::uint64_t cells = job.ny_out * job.nx_out;
    out.s.assign(sums == Sums::Sum ? 0 : cells * job.planes, 0.0);
    out.w.assign(sums == Sums::All ? cells : 0, 0.0);
    out.f.assign(sums == Sums::Mean ? 0 : cells * job.planes, 0.0);
    qs::Inputs in;
    in.ny = job.ny;
    in.nx = job.nx;
    in.xs = job.xs.data();
    in.ys = job.ys.data();
    in.values = job.values.data();
    in.planes = job.planes;
    qs::Accumulators acc;
    acc.ny_out = job.ny_out;
    acc.nx_out = job.nx_out;
    acc.sum = out.s.empty() ? nullptr : out.s.data();
    acc.weight = out.w.empty() ? nullptr : out.w.data();
    acc.flux = out.f.empty() ? nullptr : out.f.data();
    acc.mean = sums == Sums::Mean;
    const pellorin::Isa isa = pellorin::best_isa();
    const double cpu_start = cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    const qs::Plan plan = qs::make_plan(in, job.ny_out, job.nx_out, tile);
    if (threads <= 1) {
        qs::accumulate_tiles(in, plan, acc, 0, plan.tile_count(), isa);
    } else {
        std::atomic<std::uint64_t> next{0};
        auto work = [&] {
            for (std::uint64_t t = next++; t < plan.tile_count(); t = next++) {
                qs::accumulate_tiles(in, plan, acc, t, t + 1, isa);
            }
        };
        std::vector<std::thread> pool;
        for (unsigned k = 1; k < threads; ++k) {
            pool.emplace_back(work);
        }
        work();
        for (std::thread& th : pool) {
            th.join();
        }
    }
    const auto stop = std::chrono::steady_clock::now();
    return {std::chrono::duration<double>(stop - start).count(), cpu_seconds() - cpu_start};
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool same(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

void bench(const Job& job, Sums sums, int repeats, std::uint64_t tile) {
    Out one, two;
    std::vector<double> cpu1, wall1, wall2;
    run_once(job, sums, 1, tile, one);  // warm-up: page faults of the outputs
    for (int r = 0; r < repeats; ++r) {
        const Times a = run_once(job, sums, 1, tile, one);
        const Times b = run_once(job, sums, 2, tile, two);
        cpu1.push_back(a.cpu);
        wall1.push_back(a.wall);
        wall2.push_back(b.wall);
    }
    const bool equal = same(one.s, two.s) && same(one.w, two.w) && same(one.f, two.f);
    const double w1 = median(wall1), w2 = median(wall2);
    std::printf("| %s | %s | %llu | %.1f | %.1f | %.1f | %.2f | %s |\n", job.name, sums_name(sums),
                static_cast<unsigned long long>(tile), median(cpu1) * 1e3, w1 * 1e3, w2 * 1e3, w1 / w2,
                equal ? "yes" : "NO");
}

}  // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::atoi(argv[1]) : 5;
    const std::uint64_t tile = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 128;
    std::printf("quadsum kernel, instruction set %s, median of %d runs (wall time, plan included)\n\n",
                pellorin::isa_name(pellorin::best_isa()), repeats);
    std::printf(
        "| job | sums | tile | 1 thread, CPU (ms) | 1 thread, wall (ms) | 2 threads, wall (ms) | speed-up "
        "(wall) | same bits |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    const std::string which = argc > 3 ? argv[3] : "all";
    if (which == "all" || which == "affine") {
        const Job affine = affine_job(2048);
        bench(affine, Sums::Mean, repeats, tile);
        bench(affine, Sums::Sum, repeats, tile);
        bench(affine, Sums::All, repeats, tile);
    }
    if (which == "all" || which == "cube") {
        // The affine map on 1024 x 1024, one plane and a stack of 16.
        const Job plane = affine_job(1024, "1024x1024 affine, 1 plane");
        bench(plane, Sums::Mean, repeats, tile);
        Job cube = affine_job(1024, "1024x1024 affine, 16 planes");
        cube.planes = 16;
        cube.values.resize(16 * plane.values.size());
        for (std::uint64_t p = 0; p < 16; ++p) {
            for (std::uint64_t k = 0; k < plane.values.size(); ++k) {
                cube.values[p * plane.values.size() + k] = plane.values[k] * static_cast<double>(p + 1);
            }
        }
        bench(cube, Sums::Mean, repeats, tile);
    }
    if (which == "all" || which == "zoom") {
        const Job zoom = zoom_job();
        bench(zoom, Sums::Mean, repeats, tile);
    }
    return 0;
}
