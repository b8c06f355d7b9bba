#include "platform/linux/QtAlerts.h"

#include <QIcon>

#include <cstdio>

namespace talverin {

void QtAlerts::runModal(const Alert& alert) {
    const QString message = QString::fromStdString(alert.messageText.value_or(""));
    const QString informative = QString::fromStdString(alert.informativeText.value_or(""));
    if (headless_) {
        const QByteArray line =
            QStringLiteral("alert: %1%2%3\n")
                .arg(message, message.isEmpty() ? QString() : QStringLiteral(" / "), informative)
                .toUtf8();
        std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stderr);
        std::fflush(stderr);
        return;
    }
    const QString kind = message + u'\n' + informative;
    // A box closed while a newer one ran inside its exec() is hidden until that one returns:
    // raising it would show nothing, so another is opened.
    if (const QPointer<QMessageBox> open = shown_.value(kind); open && open->isVisible()) {
        open->raise();
        open->activateWindow();
        return;
    }
    QMessageBox box;
    box.setWindowTitle(QStringLiteral("TALVERIN Timestamp"));
    box.setWindowIcon(QIcon(QStringLiteral(":/images/icon.png")));
    if (message.isEmpty()) {
        box.setText(informative);
    } else {
        box.setText(message);
        box.setInformativeText(informative);
    }
    switch (alert.style.value_or(AlertStyle::Informational)) {
    case AlertStyle::Warning:
        box.setIcon(QMessageBox::Warning);
        break;
    case AlertStyle::Critical:
        box.setIcon(QMessageBox::Critical);
        break;
    case AlertStyle::Informational:
        if (alert.style) {
            box.setIcon(QMessageBox::Information);
        } else {
            box.setIconPixmap(QIcon(QStringLiteral(":/images/icon.png")).pixmap(64, 64));
        }
        break;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    shown_.insert(kind, &box);
    box.exec();
    shown_.remove(kind);
}

} // namespace talverin
