#include "TrayHost.h"

#include <QRegularExpression>

#include <csignal>
#include <sys/prctl.h>

namespace talverin::testing {

TrayHost::TrayHost(const QProcessEnvironment& displayEnvironment) : driver_(displayEnvironment) {
    host_.setProcessEnvironment(displayEnvironment);
    host_.setProcessChannelMode(QProcess::ForwardedChannels);
    host_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    host_.start(QStringLiteral("trayer"),
                {QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"),
                 QStringLiteral("right"), QStringLiteral("--widthtype"), QStringLiteral("request"),
                 QStringLiteral("--height"), QStringLiteral("24")});
    if (!host_.waitForStarted(10000)) {
        errorText_ = "cannot start trayer: " + host_.errorString().toStdString();
        return;
    }
    // trayer's panel window: instance "panel", class "trayer".
    waitUntil([&] {
        if (host_.state() != QProcess::Running) {
            return true;
        }
        const auto ids = driver_.run(QStringLiteral("xdotool"),
                                     {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                      QStringLiteral("--classname"), QStringLiteral("^panel$")});
        if (ids && !ids->trimmed().isEmpty()) {
            panel_ = driver_.window(ids->split(u'\n', Qt::SkipEmptyParts).first().trimmed());
        }
        return panel_.has_value();
    });
    if (!panel_) {
        errorText_ = "trayer's panel never appeared";
    }
}

TrayHost::~TrayHost() {
    if (host_.state() == QProcess::NotRunning) {
        return;
    }
    host_.terminate();
    if (!host_.waitForFinished(10000)) {
        host_.kill();
        host_.waitForFinished(10000);
    }
}

QRect TrayHost::panelFrame() {
    const auto now = panel_ ? driver_.window(panel_->id) : std::nullopt;
    return now ? now->frame : QRect();
}

std::optional<XWindow> TrayHost::agentIcon() {
    if (!panel_) {
        return std::nullopt;
    }
    // The embedded icon is a descendant of the panel whose class is the agent's:
    //   0x400006 "TALVERIN Timestamp": ("talverin-timestamp" "TALVERIN Timestamp")  22x22+0+0
    //   +1001+1
    const auto tree = driver_.run(QStringLiteral("xwininfo"),
                                  {QStringLiteral("-tree"), QStringLiteral("-id"), panel_->id});
    if (!tree) {
        return std::nullopt;
    }
    static const QRegularExpression iconLine(
        QStringLiteral("^\\s*(0x[0-9a-f]+) .*\\(\"talverin-timestamp\" "),
        QRegularExpression::MultilineOption);
    const auto match = iconLine.match(*tree);
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    bool isNumber = false;
    const qulonglong id = match.captured(1).toULongLong(&isNumber, 16);
    return isNumber ? driver_.window(QString::number(id)) : std::nullopt;
}

std::optional<XWindow> TrayHost::waitForAgentIcon(int timeoutMs) {
    std::optional<XWindow> icon;
    waitUntil(
        [&] {
            icon = agentIcon();
            return icon && icon->frame.width() > 1 && icon->frame.height() > 1;
        },
        timeoutMs);
    return icon;
}

} // namespace talverin::testing
