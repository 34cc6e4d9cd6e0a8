// Internal failures: broken invariants, indices out of range, sizes that
// overflow. Pure C++ (no Python): kernels throw `Panic`; the module boundary
// catches it once the interpreter lock is held again and raises the
// internal-error exception with the same text.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace pellorin {

// An exception of the `Base` family carrying its whole message (embedded
// NULs included; `what()` shows it up to the first one).
template <class Base>
class Failure : public Base {
public:
    explicit Failure(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

class Panic final : public Failure<std::exception> {
public:
    using Failure::Failure;
};

// Writes a diagnostic to standard error and throws `Panic(message)`.
// Out of line and cold: callers only pay for it once a failure is certain.
[[noreturn, gnu::cold, gnu::noinline]] void panic(std::string message);

// Throws a `Panic` naming the check when `condition` is false.
inline void panic_unless(bool condition, const char* what) {
    if (!condition) [[unlikely]] {
        panic(what);
    }
}

}  // namespace pellorin
