// A descriptor held back for work that must not fail when connections
// have taken all the others, and lent back to the system for just that.
#pragma once

#include <fcntl.h>

#include <utility>

#include "common/fdio.hpp"

namespace vemo {

class SpareDescriptor {
public:
    SpareDescriptor() { refill(); }

    // Runs `work` with the spare descriptor free for it to open a file.
    template <class Work>
    decltype(auto) lend_for(Work&& work) {
        struct Refill {
            SpareDescriptor& spare;
            ~Refill() { spare.refill(); }
        } refill{*this};
        fd_.reset();
        return std::forward<Work>(work)();
    }

private:
    // Taken again where lost (something else got it while it was lent).
    void refill() noexcept {
        if (!fd_.valid()) fd_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    }

    FileDescriptor fd_;
};

}  // namespace vemo
