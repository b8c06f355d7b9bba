// A small local implementation of the stamp API over HTTPS, for tests and demonstrations.
// See README.md for the arguments and the control commands.

#include "BehaviourTable.h"
#include "ControlServer.h"
#include "RequestLog.h"
#include "StampServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSslCertificate>
#include <QSslKey>

#include <iostream>
#include <optional>

using namespace Qt::Literals::StringLiterals;

namespace {

int fail(const QString& message) {
    std::cerr << "talverin-stamp-service: " << message.toStdString() << std::endl;
    return 2;
}

std::optional<quint16> portOf(const QString& text) {
    bool number = false;
    const uint value = text.toUInt(&number);
    if (!number || value > 65535) {
        return std::nullopt;
    }
    return static_cast<quint16>(value);
}

// The key file may hold an EC or an RSA key.
QSslKey readKey(const QString& fileName) {
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray pem = file.readAll();
    QSslKey key(pem, QSsl::Ec, QSsl::Pem, QSsl::PrivateKey);
    if (key.isNull()) {
        key = QSslKey(pem, QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey);
    }
    return key;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(u"talverin-stamp-service"_s);

    QCommandLineParser parser;
    parser.setApplicationDescription(u"Local HTTPS stamp service for tests and demonstrations"_s);
    parser.addHelpOption();
    const QCommandLineOption certOption(u"cert"_s, u"Server certificate chain (PEM)."_s, u"file"_s);
    const QCommandLineOption keyOption(u"key"_s, u"Private key of the certificate (PEM)."_s,
                                       u"file"_s);
    const QCommandLineOption portOption(u"port"_s, u"HTTPS port; 0 picks a free one."_s, u"port"_s,
                                        u"0"_s);
    const QCommandLineOption bindOption(u"bind"_s, u"Address to listen on."_s, u"address"_s,
                                        u"127.0.0.1"_s);
    const QCommandLineOption controlOption(u"control-port"_s,
                                           u"Plain HTTP control port on 127.0.0.1; 0 picks one."_s,
                                           u"port"_s, u"0"_s);
    const QCommandLineOption logOption(u"log"_s, u"Append every request as a JSON line here."_s,
                                       u"file"_s);
    parser.addOptions({certOption, keyOption, portOption, bindOption, controlOption, logOption});
    parser.process(application);

    if (!parser.isSet(certOption) || !parser.isSet(keyOption)) {
        return fail(u"--cert and --key are required"_s);
    }
    const QList<QSslCertificate> chain =
        QSslCertificate::fromPath(parser.value(certOption), QSsl::Pem);
    if (chain.isEmpty()) {
        return fail(u"no certificate in "_s + parser.value(certOption));
    }
    const QSslKey key = readKey(parser.value(keyOption));
    if (key.isNull()) {
        return fail(u"no usable private key in "_s + parser.value(keyOption));
    }
    const auto port = portOf(parser.value(portOption));
    const auto controlPort = portOf(parser.value(controlOption));
    const QHostAddress address(parser.value(bindOption));
    if (!port || !controlPort || address.isNull()) {
        return fail(u"invalid --port, --control-port or --bind"_s);
    }

    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificateChain(chain);
    tls.setPrivateKey(key);
    tls.setPeerVerifyMode(QSslSocket::VerifyNone); // clients are not asked for certificates
    tls.setProtocol(QSsl::TlsV1_2OrLater);

    QString problem;
    RequestLog log;
    if (!log.open(parser.value(logOption), problem)) {
        return fail(u"cannot write the log "_s + parser.value(logOption) + u": "_s + problem);
    }
    BehaviourTable behaviours;
    StampServer stamps(behaviours, log, tls);
    if (!stamps.listen(address, *port, problem)) {
        return fail(u"cannot listen on "_s + address.toString() + u": "_s + problem);
    }
    ControlServer control(behaviours, log);
    if (!control.listen(*controlPort, problem)) {
        return fail(u"cannot listen on the control port: "_s + problem);
    }

    // Whoever started the service reads its ports from these two lines.
    std::cout << "listening " << address.toString().toStdString() << ':' << stamps.port() << '\n'
              << "control 127.0.0.1:" << control.port() << std::endl;
    return QCoreApplication::exec();
}
