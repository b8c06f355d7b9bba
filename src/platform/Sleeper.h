#pragma once

#include <cstdint>

namespace talverin {

// Blocks the calling thread; injected so that tests need not wait for real.
class Sleeper {
public:
    virtual ~Sleeper() = default;
    virtual void sleepMicroseconds(std::uint32_t microseconds) = 0;
};

} // namespace talverin
