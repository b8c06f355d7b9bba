#include "DesktopDriver.h"

#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace talverin::testing {

namespace {

const QString agentInstanceName = QStringLiteral("^talverin-timestamp$");

int numberAfter(const QString& text, const QString& label) {
    const QRegularExpression pattern(QRegularExpression::escape(label) +
                                     QStringLiteral(":\\s*(-?\\d+)"));
    const auto match = pattern.match(text);
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

} // namespace

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    // Serve what is pending first (the agent's output among it): the condition may hold at once.
    QCoreApplication::processEvents();
    while (!condition()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QTest::qWait(100);
    }
    return true;
}

QPoint menuItemCentre(const XWindow& menu, int index, int itemCount) {
    const int band = menu.frame.height() / itemCount;
    return {menu.frame.left() + menu.frame.width() / 2, menu.frame.top() + band * index + band / 2};
}

DesktopDriver::DesktopDriver(QProcessEnvironment environment)
    : environment_(std::move(environment)) {}

std::optional<QString> DesktopDriver::run(const QString& program, const QStringList& arguments,
                                          int timeoutMs) const {
    QProcess tool;
    tool.setProcessEnvironment(environment_);
    tool.start(program, arguments);
    if (!tool.waitForFinished(timeoutMs) || tool.exitStatus() != QProcess::NormalExit ||
        tool.exitCode() != 0) {
        tool.kill();
        tool.waitForFinished(5000);
        return std::nullopt;
    }
    return QString::fromUtf8(tool.readAllStandardOutput());
}

std::optional<XWindow> DesktopDriver::window(const QString& id) {
    const auto geometry = run(QStringLiteral("xwininfo"), {QStringLiteral("-id"), id});
    if (!geometry || !geometry->contains(QStringLiteral("IsViewable"))) {
        return std::nullopt;
    }
    XWindow found;
    found.id = id;
    found.frame = QRect(numberAfter(*geometry, QStringLiteral("Absolute upper-left X")),
                        numberAfter(*geometry, QStringLiteral("Absolute upper-left Y")),
                        numberAfter(*geometry, QStringLiteral("Width")),
                        numberAfter(*geometry, QStringLiteral("Height")));
    found.overrideRedirect = geometry->contains(QStringLiteral("Override Redirect State: yes"));
    const auto properties =
        run(QStringLiteral("xprop"),
            {QStringLiteral("-id"), id, QStringLiteral("-notype"),
             QStringLiteral("_NET_WM_WINDOW_TYPE"), QStringLiteral("_NET_WM_NAME")});
    if (!properties) {
        return std::nullopt;
    }
    static const QRegularExpression typeLine(QStringLiteral("^_NET_WM_WINDOW_TYPE = (.*)$"),
                                             QRegularExpression::MultilineOption);
    static const QRegularExpression nameLine(QStringLiteral("^_NET_WM_NAME = \"(.*)\"$"),
                                             QRegularExpression::MultilineOption);
    if (const auto match = typeLine.match(*properties); match.hasMatch()) {
        for (const QString& type : match.captured(1).split(u',')) {
            found.types << type.trimmed();
        }
    }
    if (const auto match = nameLine.match(*properties); match.hasMatch()) {
        found.title = match.captured(1);
    }
    return found;
}

std::vector<XWindow> DesktopDriver::agentWindows() {
    std::vector<XWindow> windows;
    // xdotool answers 1 when it finds nothing; that is an empty list, not a failure.
    QProcess search;
    search.setProcessEnvironment(environment_);
    search.start(QStringLiteral("xdotool"),
                 {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                  QStringLiteral("--classname"), agentInstanceName});
    if (!search.waitForFinished(30000)) {
        search.kill();
        search.waitForFinished(5000);
        return windows;
    }
    const QString ids = QString::fromUtf8(search.readAllStandardOutput());
    for (const QString& id : ids.split(u'\n', Qt::SkipEmptyParts)) {
        if (auto found = window(id.trimmed())) {
            windows.push_back(*found);
        }
    }
    return windows;
}

std::optional<XWindow>
DesktopDriver::waitForAgentWindow(const std::function<bool(const XWindow&)>& wanted,
                                  int timeoutMs) {
    std::optional<XWindow> found;
    waitUntil(
        [&] {
            for (const XWindow& candidate : agentWindows()) {
                if (wanted(candidate)) {
                    found = candidate;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

std::optional<XWindow> DesktopDriver::waitForDialog(int timeoutMs) {
    return waitForAgentWindow([](const XWindow& candidate) { return candidate.isDialog(); },
                              timeoutMs);
}

std::optional<XWindow> DesktopDriver::waitForPopupMenu(int timeoutMs) {
    return waitForAgentWindow([](const XWindow& candidate) { return candidate.isPopupMenu(); },
                              timeoutMs);
}

bool DesktopDriver::waitUntilClosed(const XWindow& closing, int timeoutMs) {
    return waitUntil([&] { return !window(closing.id); }, timeoutMs);
}

bool DesktopDriver::click(QPoint point) {
    return run(QStringLiteral("xdotool"),
               {QStringLiteral("mousemove"), QStringLiteral("--sync"), QString::number(point.x()),
                QString::number(point.y()), QStringLiteral("click"), QStringLiteral("1")})
        .has_value();
}

bool DesktopDriver::pressKey(const XWindow& target, const QString& key) {
    return run(QStringLiteral("xdotool"),
               {QStringLiteral("windowfocus"), QStringLiteral("--sync"), target.id,
                QStringLiteral("key"), QStringLiteral("--clearmodifiers"), key})
        .has_value();
}

bool DesktopDriver::saveCapture(const QRect& area, const std::filesystem::path& file) {
    const QString crop = QStringLiteral("%1x%2+%3+%4")
                             .arg(area.width())
                             .arg(area.height())
                             .arg(area.left())
                             .arg(area.top());
    return run(QStringLiteral("import"),
               {QStringLiteral("-window"), QStringLiteral("root"), QStringLiteral("-crop"), crop,
                QStringLiteral("+repage"), QStringLiteral("-strip"),
                QString::fromStdString(file.string())})
        .has_value();
}

QImage DesktopDriver::capture(const QRect& area) {
    const QTemporaryDir folder;
    const std::filesystem::path file =
        std::filesystem::path(folder.path().toStdString()) / "capture.png";
    if (!folder.isValid() || !saveCapture(area, file)) {
        return {};
    }
    return QImage(QString::fromStdString(file.string()));
}

} // namespace talverin::testing
