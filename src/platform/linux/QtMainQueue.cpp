#include "platform/linux/QtMainQueue.h"

namespace talverin {

void QtMainQueue::async(std::function<void()> work) {
    // Queued events to one receiver are delivered in the order they were posted.
    QMetaObject::invokeMethod(&context_, std::move(work), Qt::QueuedConnection);
}

} // namespace talverin
