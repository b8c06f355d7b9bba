// The least any agent built on this toolkit can hold: a tray icon with a three-item menu, a name on
// the session bus and one HTTPS request, with none of the agent's own code. The idle benchmark
// measures it beside the agent, so that what the agent adds can be told from what Qt, D-Bus and
// OpenSSL cost on this system.
//
//   talverin-tray-floor URL     (TALVERIN_CA_FILE, if set, names an authority to trust as well)

#include <QApplication>
#include <QDBusConnection>
#include <QIcon>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSystemTrayIcon>

#include <cstdio>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    application.setQuitOnLastWindowClosed(false);
    if (argc != 2) {
        std::fputs("usage: talverin-tray-floor URL\n", stderr);
        return 2;
    }

    QSystemTrayIcon icon(QIcon(QStringLiteral(":/images/icon.png")));
    QMenu menu;
    menu.addAction(QStringLiteral("one"));
    menu.addAction(QStringLiteral("two"));
    menu.addAction(QStringLiteral("three"));
    icon.setContextMenu(&menu);
    icon.show();
    QDBusConnection::sessionBus().registerService(QStringLiteral("com.talverin.TrayFloor"));

    QNetworkRequest request(QUrl(QString::fromLocal8Bit(argv[1])));
    const QString caFile = qEnvironmentVariable("TALVERIN_CA_FILE");
    if (!caFile.isEmpty()) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates(QSslConfiguration::systemCaCertificates() +
                              QSslCertificate::fromPath(caFile));
        request.setSslConfiguration(tls);
    }
    QNetworkAccessManager manager;
    QNetworkReply* reply = manager.sendCustomRequest(request, "POST", QByteArray());
    QObject::connect(reply, &QNetworkReply::finished, [reply] {
        // The line the benchmark waits for.
        std::printf("answered %d\n",
                    reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt());
        std::fflush(stdout);
    });
    return QApplication::exec();
}
