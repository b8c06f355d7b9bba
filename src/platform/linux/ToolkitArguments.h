#pragma once

#include <QStringList>

namespace talverin {

// The toolkit's own command-line options, which QApplication takes out of the arguments and acts
// on itself. A session saved by an earlier agent restarts it with "-session ID -name NAME", so the
// agent's own parser must let them through rather than refuse them.
class ToolkitArguments {
public:
    // The arguments without the toolkit's options and their values. An option whose value is
    // missing is left in, for the caller to refuse.
    static QStringList removedFrom(const QStringList& arguments);
};

} // namespace talverin
