#include "kernels/common/panic.hpp"

#include "kernels/common/buffer.hpp"

#include <cstdio>

namespace pellorin {

void panic(std::string message) {
    std::fprintf(stderr, "_pellorin: internal failure: %s\n", message.c_str());
    throw Panic(std::move(message));
}

std::string allocation_failure_text(const char* what, const std::string& count, std::size_t element_size,
                                    bool too_large) {
    std::string message =
        std::string(what) + ": cannot allocate " + count + " elements of " + std::to_string(element_size) + " bytes";
    if (too_large) {
        message += " (past the largest possible allocation)";
    }
    return message;
}

void fail_allocation(const char* what, std::uint64_t n, std::size_t element_size, bool too_large) {
    throw OutOfMemory(allocation_failure_text(what, std::to_string(n), element_size, too_large));
}

}  // namespace pellorin
