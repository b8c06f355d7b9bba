#pragma once

#include <chrono>

namespace talverin {

// The current instant. Injected so that tests can stand anywhere in time.
class Clock {
public:
    virtual ~Clock() = default;
    virtual std::chrono::system_clock::time_point now() const = 0;
};

} // namespace talverin
