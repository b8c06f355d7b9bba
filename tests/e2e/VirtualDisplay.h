#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

#include <string>

namespace talverin::testing {

// An X server of the test's own (Xvfb, 1024x768, white root window) on a display number that
// nobody else uses, the server itself picking a free one. Ended by its process id with the object.
class VirtualDisplay {
public:
    static constexpr int width = 1024;
    static constexpr int height = 768;

    VirtualDisplay();
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    bool isRunning() const { return server_.state() == QProcess::Running && !name_.isEmpty(); }
    const std::string& errorText() const { return errorText_; }
    // ":N"
    const QString& name() const { return name_; }

    // The test's own environment with DISPLAY pointing here, for X tools and clients.
    QProcessEnvironment clientEnvironment() const;

private:
    QProcess server_;
    QString name_;
    std::string errorText_;
};

} // namespace talverin::testing
