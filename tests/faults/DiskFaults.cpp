#include "DiskFaults.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace talverin::testing {

QStringList DiskFaults::wrapper() {
    return {QStringLiteral(TALVERIN_FAULTS_DIR "/with-disk-faults.sh")};
}

QProcessEnvironment DiskFaults::applyTo(QProcessEnvironment environment) const {
    if (readOnlyFolder) {
        environment.insert(QStringLiteral("TALVERIN_READ_ONLY_FOLDER"),
                           QString::fromStdString(readOnlyFolder->string()));
    }
    if (smallDiskFolder) {
        environment.insert(QStringLiteral("TALVERIN_SMALL_DISK_FOLDER"),
                           QString::fromStdString(smallDiskFolder->string()));
        environment.insert(QStringLiteral("TALVERIN_SMALL_DISK_SIZE"),
                           QString::fromStdString(smallDiskSize));
        environment.insert(QStringLiteral("TALVERIN_SMALL_DISK_FULL"),
                           smallDiskFull ? QStringLiteral("1") : QStringLiteral("0"));
    }
    return environment;
}

std::filesystem::path asSeenBy(std::int64_t processId, const std::filesystem::path& file) {
    return std::filesystem::path("/proc") / std::to_string(processId) / "root" /
           file.relative_path();
}

std::uintmax_t fillDisk(const std::filesystem::path& file) {
    const int descriptor = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        return 0;
    }
    const std::vector<char> zeros(4096, '\0');
    std::uintmax_t written = 0;
    for (;;) {
        const ssize_t count = ::write(descriptor, zeros.data(), zeros.size());
        if (count <= 0) {
            break;
        }
        written += static_cast<std::uintmax_t>(count);
    }
    ::close(descriptor);
    return written;
}

} // namespace talverin::testing
