#include "BehaviourTable.h"

void BehaviourTable::set(const QByteArray& path, const Reaction& reaction, int times) {
    if (times <= 0) {
        standing_.insert(path, reaction);
        return;
    }
    QQueue<Reaction>& queue = upcoming_[path];
    for (int count = 0; count < times; ++count) {
        queue.enqueue(reaction);
    }
}

void BehaviourTable::clear() {
    upcoming_.clear();
    standing_.clear();
}

std::optional<Reaction> BehaviourTable::next(const QByteArray& path) {
    if (auto queue = upcoming_.find(path); queue != upcoming_.end() && !queue->isEmpty()) {
        return queue->dequeue();
    }
    if (auto standing = standing_.find(path); standing != standing_.end()) {
        return *standing;
    }
    return std::nullopt;
}
