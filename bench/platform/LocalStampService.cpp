#include "LocalStampService.h"

#include <csignal>
#include <stdexcept>

#include <sys/prctl.h>

namespace talverin::bench {

namespace {

constexpr int waitMilliseconds = 10000;

QString qString(const std::filesystem::path& path) {
    return QString::fromStdString(path.string());
}

} // namespace

LocalStampService::LocalStampService(const std::filesystem::path& folder)
    : certificates_(folder / "ca") {
    makeCertificates();
    start();
}

LocalStampService::~LocalStampService() {
    stop();
}

std::string LocalStampService::origin() const {
    return "https://127.0.0.1:" + std::to_string(port_);
}

void LocalStampService::makeCertificates() const {
    QProcess script;
    script.setProcessChannelMode(QProcess::MergedChannels);
    script.start(QStringLiteral("/bin/sh"),
                 {QStringLiteral(TALVERIN_SOURCE_DIR "/tools/stamp-service/make-ca.sh"),
                  qString(certificates_)});
    if (!script.waitForFinished(waitMilliseconds) || script.exitStatus() != QProcess::NormalExit ||
        script.exitCode() != 0) {
        throw std::runtime_error("make-ca.sh failed: " + script.readAll().toStdString());
    }
}

void LocalStampService::start() {
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Should the benchmark die before it can stop the service, the service goes with it.
    process_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    process_.start(QStringLiteral(TALVERIN_BINARY_DIR "/tools/talverin-stamp-service"),
                   {QStringLiteral("--cert"), qString(certificates_ / "server.pem"),
                    QStringLiteral("--key"), qString(certificates_ / "server-key.pem")});
    if (!process_.waitForStarted(waitMilliseconds)) {
        throw std::runtime_error("cannot start the stamp service: " +
                                 process_.errorString().toStdString());
    }
    while (port_ == 0) {
        if (!process_.canReadLine() && !process_.waitForReadyRead(waitMilliseconds)) {
            stop();
            throw std::runtime_error("the stamp service did not say where it listens");
        }
        while (process_.canReadLine()) {
            const QByteArray line = process_.readLine().trimmed();
            if (line.startsWith("listening ")) {
                port_ = static_cast<std::uint16_t>(line.mid(line.lastIndexOf(':') + 1).toUInt());
            }
        }
    }
}

void LocalStampService::stop() {
    if (process_.state() == QProcess::NotRunning) {
        return;
    }
    process_.terminate();
    if (!process_.waitForFinished(waitMilliseconds)) {
        process_.kill();
        process_.waitForFinished(waitMilliseconds);
    }
}

} // namespace talverin::bench
