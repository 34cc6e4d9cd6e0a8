// Reads typed values from a fuzzer's byte string; past the end it yields zeros.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

struct FuzzInput {
    const std::uint8_t* data;
    std::size_t size;

    template <class T>
    T take() {
        T value{};
        const std::size_t n = size < sizeof(T) ? size : sizeof(T);
        std::memcpy(&value, data, n);
        data += n;
        size -= n;
        return value;
    }
    // An integer in [lo, hi].
    std::uint64_t range(std::uint64_t lo, std::uint64_t hi) { return lo + take<std::uint32_t>() % (hi - lo + 1); }
    // A finite double in [-limit, limit], or any double when `raw`.
    double finite(double limit) {
        double v = take<double>();
        if (!std::isfinite(v)) {
            return 0.0;
        }
        return std::fmod(v, limit);
    }
};

#define FUZZ_ASSERT(cond)                                                                      \
    do {                                                                                       \
        if (!(cond)) {                                                                         \
            std::fprintf(stderr, "invariant failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)
