#pragma once

#include "Reaction.h"

#include <QHash>
#include <QQueue>

// The reactions set through the control port, per request path: reactions for the next few
// requests, used up in order, then one standing reaction. A path with neither gets the service's
// own answer.
class BehaviourTable {
public:
    // times 0: from now on; times n: for the next n requests only.
    void set(const QByteArray& path, const Reaction& reaction, int times);
    void clear();
    std::optional<Reaction> next(const QByteArray& path);

private:
    QHash<QByteArray, QQueue<Reaction>> upcoming_;
    QHash<QByteArray, Reaction> standing_;
};
