#pragma once

#include <functional>

namespace talverin {

// The main thread's queue. Work posted from any thread runs later on the main thread, in the
// order it was posted.
class MainQueue {
public:
    virtual ~MainQueue() = default;
    virtual void async(std::function<void()> work) = 0;
};

} // namespace talverin
