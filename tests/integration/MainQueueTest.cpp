#include "platform/linux/QtMainQueue.h"

#include <QCoreApplication>
#include <QThread>

#include <gmock/gmock.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace talverin::testing {
namespace {

// Runs the main thread's event loop until done() holds; a cap only guards against a hang.
template <typename Done> bool processEventsUntil(Done done) {
    for (int round = 0; round < 100000 && !done(); ++round) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return done();
}

TEST(QtMainQueue, RunsWorkOnTheMainThreadInTheOrderEachThreadPostedIt) {
    constexpr int perThread = 2000;
    QtMainQueue queue;
    std::vector<std::pair<int, int>> ran; // (poster, sequence), touched on the main thread only
    std::atomic<int> offMainThread{0};
    const auto post = [&](int poster) {
        for (int sequence = 0; sequence < perThread; ++sequence) {
            queue.async([&, poster, sequence] {
                if (QThread::currentThread() != QCoreApplication::instance()->thread()) {
                    ++offMainThread;
                }
                ran.emplace_back(poster, sequence);
            });
        }
    };
    std::thread delivery(post, 1);
    post(0);
    delivery.join();

    ASSERT_TRUE(processEventsUntil([&] { return ran.size() == 2u * perThread; }));
    EXPECT_EQ(offMainThread, 0);
    std::vector<int> next(2, 0);
    for (const auto& [poster, sequence] : ran) {
        EXPECT_EQ(sequence, next[static_cast<std::size_t>(poster)]++) << "poster " << poster;
    }
}

TEST(QtMainQueue, WorkStillQueuedWhenTheQueueEndsNeverRuns) {
    bool ran = false;
    {
        QtMainQueue queue;
        queue.async([&ran] { ran = true; });
    }
    QCoreApplication::processEvents();
    EXPECT_FALSE(ran);
}

} // namespace
} // namespace talverin::testing
