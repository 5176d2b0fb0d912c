#include "py/lock_rule.hpp"

#include <cstdio>
#include <cstdlib>

namespace vorlane::py::lock_rule_detail {

namespace {
// The module's locks this thread holds now.
thread_local int held_locks = 0;
}  // namespace

void count_taken() noexcept {
    ++held_locks;
}

void count_given_back() noexcept {
    if (--held_locks < 0) {
        std::fputs("Vorlane: a lock given back that this thread did not hold\n", stderr);
        std::abort();
    }
}

int held() noexcept {
    return held_locks;
}

void report_breach(const char* what) noexcept {
    std::fprintf(stderr, "Vorlane: %s entered while this thread holds %d of the module's locks\n",
                 what, held_locks);
    std::abort();
}

}  // namespace vorlane::py::lock_rule_detail
