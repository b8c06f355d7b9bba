#pragma once

#include "platform/MainQueue.h"

#include <QObject>

namespace talverin {

// The Qt event loop of the main thread. Construct it on the main thread. Work posted from any
// thread runs there in the order it was posted; work still queued when the queue is destroyed is
// dropped, never run against objects that are gone.
class QtMainQueue final : public MainQueue {
public:
    QtMainQueue() = default;
    QtMainQueue(const QtMainQueue&) = delete;
    QtMainQueue& operator=(const QtMainQueue&) = delete;

    void async(std::function<void()> work) override;

private:
    QObject context_; // lives in the main thread; its queued events are the posted work
};

} // namespace talverin
