#include "platform/linux/XdgAutostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>

#include <algorithm>

namespace talverin {

namespace {

// The program as one argument of Exec=, by the desktop entry rules: quoted when it holds a
// reserved character (with ", `, $ and \ escaped inside the quotes), % doubled so that it is no
// field code, and then the string escapes that every value takes (\\, \n, \t, \r).
QString quotedForExec(const QString& path) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    QString argument = path;
    if (std::any_of(path.begin(), path.end(), [](QChar c) { return reserved.contains(c); })) {
        argument.clear();
        for (const QChar c : path) {
            if (c == u'"' || c == u'`' || c == u'$' || c == u'\\') {
                argument += u'\\';
            }
            argument += c;
        }
        argument = u'"' + argument + u'"';
    }
    argument.replace(u'%', QStringLiteral("%%"));
    QString value;
    for (const QChar c : argument) {
        switch (c.unicode()) {
        case u'\\':
            value += QStringLiteral("\\\\");
            break;
        case u'\n':
            value += QStringLiteral("\\n");
            break;
        case u'\t':
            value += QStringLiteral("\\t");
            break;
        case u'\r':
            value += QStringLiteral("\\r");
            break;
        default:
            value += c;
        }
    }
    return value;
}

} // namespace

XdgAutostart::XdgAutostart(QString executable, QString entryPath)
    : executable_(std::move(executable)), entryPath_(std::move(entryPath)) {}

QString XdgAutostart::defaultEntryPath() {
    QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (configHome.isEmpty() || QDir::isRelativePath(configHome)) {
        configHome = QDir::homePath() + QStringLiteral("/.config");
    }
    return configHome + QStringLiteral("/autostart/") + QString::fromLatin1(entryName);
}

bool XdgAutostart::isEnabled() {
    QFile entry(entryPath_);
    if (!entry.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return false;
    }
    bool inMainGroup = false;
    while (!entry.atEnd()) {
        const QString line = QString::fromUtf8(entry.readLine()).trimmed();
        if (line.startsWith(u'[')) {
            inMainGroup = line == QStringLiteral("[Desktop Entry]");
            continue;
        }
        if (!inMainGroup) {
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0) {
            continue;
        }
        const QString key = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        if ((key == QStringLiteral("Hidden") && value == QStringLiteral("true")) ||
            (key == QStringLiteral("X-GNOME-Autostart-enabled") &&
             value == QStringLiteral("false"))) {
            return false;
        }
    }
    return true;
}

void XdgAutostart::setEnabled(bool enabled) {
    if (!enabled) {
        QFile::remove(entryPath_);
        return;
    }
    QDir().mkpath(QFileInfo(entryPath_).absolutePath());
    // Written whole or not at all: a half-written entry could start nothing at the next login.
    QSaveFile entry(entryPath_);
    if (!entry.open(QIODevice::WriteOnly | QIODevice::Text)) {
        return;
    }
    entry.write(entryText().toUtf8());
    entry.commit();
}

QString XdgAutostart::entryText() const {
    const QStringList lines{
        QStringLiteral("[Desktop Entry]"),
        QStringLiteral("Type=Application"),
        QStringLiteral("Name=TALVERIN Timestamp"),
        QStringLiteral("Comment=Stamps the time clock when you start and end work"),
        QStringLiteral("Exec=") + quotedForExec(executable_),
        QStringLiteral("Icon=com.talverin.Timestamp"),
        QStringLiteral("Terminal=false"),
        QStringLiteral("NoDisplay=true"),
        QStringLiteral("X-GNOME-Autostart-enabled=true"),
    };
    return lines.join(u'\n') + u'\n';
}

} // namespace talverin
