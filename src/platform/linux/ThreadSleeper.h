#pragma once

#include "platform/Sleeper.h"

#include <chrono>
#include <thread>

namespace talverin {

// Blocks the calling thread for real; the retry step sleeps on the delivery thread with it.
class ThreadSleeper final : public Sleeper {
public:
    void sleepMicroseconds(std::uint32_t microseconds) override {
        std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
    }
};

} // namespace talverin
