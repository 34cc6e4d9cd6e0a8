// Owned, contiguous blocks of plain numbers.
//
// `OwnedBuffer<T>` owns memory from the C allocator (calloc/malloc/free), so
// that a filled buffer can be handed to a Python owner object that releases it
// with `free` (see `release`). Sizes are checked before every allocation: a
// byte size above 2^63 - sizeof(T), or one that overflows, can never be
// allocated, and like an allocation the system refuses it throws
// `OutOfMemory` naming the buffer and its size. The module boundary reports it
// as MemoryError once the interpreter lock is held again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <type_traits>
#include <utility>

#include "kernels/common/panic.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace pellorin {

// Asks the system to back the whole 2 MiB pages inside a fresh block of
// `bytes` at `p` with huge pages, as NumPy does for its large arrays: far
// fewer page faults when the block is first written. The 4 KiB pages outside
// them, at either end, are faulted in by one call rather than one trap each
// (kernels before 5.14 refuse that advice; they fault on first touch as
// usual). Only hints, and only for blocks of 4 MiB or more; a refusal changes
// nothing.
inline void advise_huge_pages(void* p, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t huge = std::uintptr_t{1} << 21;
    constexpr std::uintptr_t page = std::uintptr_t{1} << 12;
    if (bytes < 2 * huge) {
        return;
    }
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t begin = (start + huge - 1) & ~(huge - 1);
    const std::uintptr_t end = (start + bytes) & ~(huge - 1);
    if (end <= begin) {
        return;
    }
    (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#if defined(MADV_POPULATE_WRITE)
    const std::uintptr_t first_page = start & ~(page - 1);
    const std::uintptr_t last_page = (start + bytes + page - 1) & ~(page - 1);
    if (begin > first_page) {
        (void)madvise(reinterpret_cast<void*>(first_page), begin - first_page, MADV_POPULATE_WRITE);
    }
    if (last_page > end) {
        (void)madvise(reinterpret_cast<void*>(end), last_page - end, MADV_POPULATE_WRITE);
    }
#endif
#else
    (void)p;
    (void)bytes;
#endif
}

// A buffer that cannot be had: too large for any allocation, or refused by the
// system. A `std::bad_alloc`, so every handler of allocation failure sees it;
// the message names the buffer and its size.
class OutOfMemory final : public Failure<std::bad_alloc> {
public:
    using Failure::Failure;
};

// "{what}: cannot allocate {count} elements of {element_size} bytes", with
// " (past the largest possible allocation)" when `too_large`.
std::string allocation_failure_text(const char* what, const std::string& count, std::size_t element_size,
                                    bool too_large);

// Throws `OutOfMemory` for `n` elements of `element_size` bytes named `what`;
// `too_large` tells a size past every limit from a refused allocation.
[[noreturn, gnu::cold, gnu::noinline]] void fail_allocation(const char* what, std::uint64_t n, std::size_t element_size,
                                                            bool too_large);

// Largest byte size of a block of `T`: the largest multiple of sizeof(T)
// below 2^63 (2^63 - 8 for doubles, 2^63 - 4 for floats).
template <class T>
inline constexpr std::uint64_t max_block_bytes = (std::uint64_t{1} << 63) - sizeof(T);

// Whether n elements of T fit in one block: n * sizeof(T) neither overflows
// nor exceeds the limit.
template <class T>
bool within_allocation_limit(std::uint64_t n) {
    std::uint64_t bytes = 0;
    return !__builtin_mul_overflow(n, std::uint64_t{sizeof(T)}, &bytes) && bytes <= max_block_bytes<T>;
}

// n * sizeof(T) in bytes, or `OutOfMemory` when it overflows or exceeds the
// limit.
template <class T>
std::size_t checked_bytes(std::uint64_t n, const char* what) {
    if (!within_allocation_limit<T>(n)) [[unlikely]] {
        fail_allocation(what, n, sizeof(T), true);
    }
    return static_cast<std::size_t>(n * sizeof(T));
}

// out = a * b; false when the product overflows 64 bits.
[[nodiscard]] inline bool checked_mul(std::uint64_t a, std::uint64_t b, std::uint64_t& out) {
    return !__builtin_mul_overflow(a, b, &out);
}

template <class T>
class OwnedBuffer {
    static_assert(std::is_trivially_copyable_v<T>, "OwnedBuffer holds plain numbers");

public:
    using value_type = T;

    OwnedBuffer() noexcept = default;
    OwnedBuffer(const OwnedBuffer&) = delete;
    OwnedBuffer& operator=(const OwnedBuffer&) = delete;
    OwnedBuffer(OwnedBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    OwnedBuffer& operator=(OwnedBuffer&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    ~OwnedBuffer() { std::free(data_); }

    // n elements, all bits zero (+0.0 for floating point), from one calloc.
    static OwnedBuffer zeroed(std::uint64_t n, const char* what = "buffer") { return allocate(n, what, true); }

    // n elements, contents unspecified, from one malloc.
    static OwnedBuffer uninitialized(std::uint64_t n, const char* what = "buffer") { return allocate(n, what, false); }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    std::span<T> span() noexcept { return {data_, size_}; }
    std::span<const T> span() const noexcept { return {data_, size_}; }

    // Hands the block to a new owner, which must release it with `free`.
    T* release() noexcept {
        size_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    static OwnedBuffer allocate(std::uint64_t n, const char* what, bool zero) {
        const std::size_t bytes = checked_bytes<T>(n, what);
        // A zero-length request still gets a real block, so that every buffer
        // handed to NumPy has a valid data pointer.
        void* p = zero ? std::calloc(n == 0 ? 1 : static_cast<std::size_t>(n), sizeof(T))
                       : std::malloc(bytes == 0 ? 1 : bytes);
        if (p == nullptr) [[unlikely]] {
            fail_allocation(what, n, sizeof(T), false);
        }
        advise_huge_pages(p, bytes);
        OwnedBuffer b;
        b.data_ = static_cast<T*>(p);
        b.size_ = static_cast<std::size_t>(n);
        return b;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace pellorin
