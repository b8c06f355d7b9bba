#pragma once

#include <QProcess>

#include <cstdint>
#include <filesystem>
#include <string>

namespace talverin::bench {

// The project's local stamp service over TLS, with a certificate authority made for it in the
// folder given; stopped by its process id when the object ends. Throws when it cannot start.
class LocalStampService {
public:
    explicit LocalStampService(const std::filesystem::path& folder);
    ~LocalStampService();
    LocalStampService(const LocalStampService&) = delete;
    LocalStampService& operator=(const LocalStampService&) = delete;

    // "https://127.0.0.1:PORT"
    std::string origin() const;
    std::filesystem::path caFile() const { return certificates_ / "ca.pem"; }

private:
    void makeCertificates() const;
    void start();
    void stop();

    std::filesystem::path certificates_;
    QProcess process_;
    std::uint16_t port_ = 0;
};

} // namespace talverin::bench
