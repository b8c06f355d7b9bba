#pragma once

#include <QProcess>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace talverin::testing {

// A throw-away certificate authority with a server certificate for 127.0.0.1, ::1 and localhost
// signed by it, and a self-signed certificate for the same names that nothing trusts; made by
// tools/stamp-service/make-ca.sh in the folder given.
class TestCertificates {
public:
    explicit TestCertificates(std::filesystem::path folder);

    bool isReady() const { return ready_; }
    const std::string& errorText() const { return errorText_; }

    std::filesystem::path caFile() const { return folder_ / "ca.pem"; }
    std::filesystem::path serverCertificate() const { return folder_ / "server.pem"; }
    std::filesystem::path serverKey() const { return folder_ / "server-key.pem"; }
    std::filesystem::path untrustedCertificate() const { return folder_ / "untrusted.pem"; }
    std::filesystem::path untrustedKey() const { return folder_ / "untrusted-key.pem"; }

private:
    std::filesystem::path folder_;
    bool ready_ = false;
    std::string errorText_;
};

// One request as the service recorded it.
struct ServiceRequest {
    std::string received; // ISO-8601 UTC with milliseconds
    std::string method;
    std::string target; // path and query, as sent
    std::string path;
    std::string query;
    std::vector<std::pair<std::string, std::string>> headers; // raw names, in order
    std::string body;
    std::string action; // what the service did: "answer 200", "reset", ...
    int connection = 0; // which TLS connection it came on, numbered from 1 as they were accepted

    // Every value of the header, compared without regard to case.
    std::vector<std::string> headerValues(const std::string& name) const;
};

// How test failures show a request: "POST /target -> action".
void PrintTo(const ServiceRequest& request, std::ostream* stream);

// The built talverin-stamp-service, running until the object ends (stopped by its process id).
// Reactions are set and the request log is read through its loopback control port; see
// tools/stamp-service/README.md.
class StampServiceProcess {
public:
    struct Options {
        std::filesystem::path certificate;
        std::filesystem::path key;
        std::filesystem::path logFile; // empty: the log stays in the service's memory
        std::string bind = "127.0.0.1";
        std::uint16_t port = 0; // 0: any free port
    };

    explicit StampServiceProcess(const Options& options);
    // Serves with the trusted server certificate of certificates.
    explicit StampServiceProcess(const TestCertificates& certificates);
    ~StampServiceProcess();
    StampServiceProcess(const StampServiceProcess&) = delete;
    StampServiceProcess& operator=(const StampServiceProcess&) = delete;

    static std::filesystem::path executable();
    static std::filesystem::path makeCaScript();

    bool isRunning() const { return process_.state() == QProcess::Running; }
    const std::string& errorText() const { return errorText_; }
    qint64 processId() const { return process_.processId(); }
    std::uint16_t port() const { return port_; }
    std::uint16_t controlPort() const { return controlPort_; }
    // "https://127.0.0.1:PORT" (the bind address and port).
    std::string origin() const;

    // Sends one control command (a JSON object; see the README); false when it was refused.
    bool setBehaviour(const std::string& jsonCommand);
    // times 0: for every later request to the path; n: for the next n only.
    bool answer(const std::string& path, int status, const std::string& body, int times = 0);
    bool answerBytes(const std::string& path, int status, const std::string& bytes, int times = 0);
    bool redirect(const std::string& path, const std::string& location, int status = 302,
                  int times = 0);
    bool silence(const std::string& path, int times = 0);
    bool reset(const std::string& path, int times = 0);
    bool clearBehaviours();

    // Every request received since the start or the last clearRequests; nothing when the
    // control port did not answer.
    std::optional<std::vector<ServiceRequest>> requests();
    bool clearRequests();
    // How many TLS connections the service has accepted since it started.
    std::optional<int> connections();

    // Ends the service (SIGTERM, then SIGKILL if it lingers) and waits for it.
    void stop();

private:
    // One HTTP exchange with the control port: the status and the body, or nothing.
    std::optional<std::pair<int, std::string>> control(const char* method, const std::string& path,
                                                       const std::string& body = {});

    QProcess process_;
    std::string bind_;
    std::uint16_t port_ = 0;
    std::uint16_t controlPort_ = 0;
    std::string errorText_;
};

} // namespace talverin::testing
