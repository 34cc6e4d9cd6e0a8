#include "panic.hpp"

#include <cstdio>

namespace pellorin {

void panic(std::string message) {
    std::fprintf(stderr, "_pellorin: internal failure: %s\n", message.c_str());
    throw Panic(std::move(message));
}

}  // namespace pellorin
