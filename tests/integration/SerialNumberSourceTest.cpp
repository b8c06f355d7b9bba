#include "FakePlatform.h"
#include "PrivateBus.h"
#include "ScopedEnvironmentVariable.h"
#include "platform/linux/LinuxSerialNumberSource.h"

#include <QDBusArgument>
#include <QDBusMessage>

#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

namespace talverin {
namespace {

using testing::BusServiceProcess;
using ::testing::ElementsAre;
using ::testing::Optional;
using testing::PrivateBus;
using testing::ScopedEnvironmentVariable;
using testing::TemporaryFolder;
using namespace std::chrono_literals;

class SerialNumberSourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(systemBus.isRunning()) << systemBus.errorText().toStdString();
    }

    std::string file(const std::string& name, const std::string& content) {
        const std::filesystem::path path = folder.path() / name;
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }
    // A path in a folder that never exists, whatever files the test makes.
    std::string missing(const std::string& name) const {
        return (folder.path() / "absent" / name).string();
    }

    void startHostnamed(const QStringList& arguments) {
        hostnamed =
            BusServiceProcess::startFake(systemBus, QStringLiteral("fake_hostnamed.py"),
                                         QStringLiteral("org.freedesktop.hostname1"), arguments);
        ASSERT_NE(hostnamed, nullptr);
    }

    // Whether each call hostnamed saw allowed an authorization prompt.
    std::vector<bool> hostnamedCalls() {
        const QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.hostname1"),
            QStringLiteral("/com/talverin/test/Control"),
            QStringLiteral("com.talverin.test.HostnamedControl"), QStringLiteral("Calls"));
        const QDBusMessage reply = systemBus.connection().call(call, QDBus::Block, 10000);
        std::vector<bool> calls;
        if (reply.type() == QDBusMessage::ReplyMessage) {
            for (const bool allowed : qdbus_cast<QList<bool>>(reply.arguments().constFirst())) {
                calls.push_back(allowed);
            }
        }
        return calls;
    }

    LinuxSerialNumberSource source(const std::string& firmware, const std::string& deviceTree,
                                   std::chrono::milliseconds hostnamedTimeout = 3s) {
        return LinuxSerialNumberSource(systemBus.connection(),
                                       {QString::fromStdString(firmware),
                                        QString::fromStdString(deviceTree), hostnamedTimeout});
    }

    TemporaryFolder folder;
    PrivateBus systemBus;
    std::unique_ptr<BusServiceProcess> hostnamed;
    ScopedEnvironmentVariable serialFile{LinuxSerialNumberSource::fileVariable, std::nullopt};
};

TEST_F(SerialNumberSourceTest, TakesTheFirstSourceThatHasOneInOrder) {
    startHostnamed({QStringLiteral("--serial"), QStringLiteral("HOST-789")});
    const std::string firmware = file("product_serial", "FW-456\n");
    const std::string deviceTree = file("serial-number", std::string("DT-000\0", 7));
    LinuxSerialNumberSource everything = source(firmware, deviceTree);

    {
        // Read when asked, not when the source was made.
        const ScopedEnvironmentVariable named(LinuxSerialNumberSource::fileVariable,
                                              file("serial", "ENV-123\n"));
        EXPECT_THAT(everything.read(), Optional(std::string("ENV-123")));
    }
    EXPECT_THAT(everything.read(), Optional(std::string("FW-456")));
    {
        const ScopedEnvironmentVariable namedButMissing(LinuxSerialNumberSource::fileVariable,
                                                        missing("serial"));
        EXPECT_THAT(everything.read(), Optional(std::string("FW-456")));
    }

    LinuxSerialNumberSource noFirmware = source(missing("product_serial"), deviceTree);
    EXPECT_THAT(noFirmware.read(), Optional(std::string("HOST-789")));
    EXPECT_THAT(hostnamedCalls(), ElementsAre(false));

    hostnamed.reset();
    EXPECT_THAT(noFirmware.read(), Optional(std::string("DT-000")));

    LinuxSerialNumberSource nothing = source(missing("product_serial"), missing("serial-number"));
    EXPECT_EQ(nothing.read(), std::nullopt);
}

TEST_F(SerialNumberSourceTest, TrailingWhitespaceAndNulAreNotPartOfTheSerial) {
    EXPECT_THAT(source(file("a", "  C02 X Y\t \r\n\n"), missing("b")).read(),
                Optional(std::string("  C02 X Y")));
    EXPECT_THAT(source(missing("a"), file("b", std::string("PI-4B\n\0", 7))).read(),
                Optional(std::string("PI-4B")));
    EXPECT_THAT(source(file("c", std::string("AB\0CD\n", 6)), missing("b")).read(),
                Optional(std::string("AB\0CD", 5)));
}

TEST_F(SerialNumberSourceTest, AnEmptyFileIsAnEmptySerial) {
    {
        const ScopedEnvironmentVariable named(LinuxSerialNumberSource::fileVariable, file("e", ""));
        EXPECT_THAT(source(file("fw", "FW-456\n"), missing("dt")).read(), Optional(std::string()));
    }

    EXPECT_THAT(source(file("blank", " \n"), file("dt", "DT-000")).read(), Optional(std::string()));
}

TEST_F(SerialNumberSourceTest, UnreadableFilesGoOnToTheNextSource) {
    std::filesystem::create_directory(folder.path() / "folder");
    const ScopedEnvironmentVariable named(LinuxSerialNumberSource::fileVariable, missing("folder"));
    const std::string oversized = file("oversized", std::string(100000, 'A'));

    EXPECT_THAT(source(oversized, file("dt", "DT-000\n")).read(), Optional(std::string("DT-000")));
}

TEST_F(SerialNumberSourceTest, HostnamedRefusingGoesOnWithoutPrompting) {
    startHostnamed(
        {QStringLiteral("--error"), QStringLiteral("org.freedesktop.DBus.Error.AccessDenied")});
    EXPECT_THAT(source(missing("fw"), file("dt", "DT-000")).read(),
                Optional(std::string("DT-000")));
    EXPECT_THAT(hostnamedCalls(), ElementsAre(false));
}

TEST_F(SerialNumberSourceTest, HostnamedNotAnsweringGoesOnAfterItsTimeout) {
    startHostnamed({QStringLiteral("--no-reply")});
    EXPECT_THAT(source(missing("fw"), file("dt", "DT-000"), 300ms).read(),
                Optional(std::string("DT-000")));
    EXPECT_THAT(hostnamedCalls(), ElementsAre(false));
}

TEST_F(SerialNumberSourceTest, WithoutASystemBusHostnamedIsSkipped) {
    const LinuxSerialNumberSourceOptions paths{QString::fromStdString(missing("fw")),
                                               QString::fromStdString(file("dt", "DT-000"))};
    LinuxSerialNumberSource unconnected(QDBusConnection(QStringLiteral("talverin-no-such-bus")),
                                        paths);
    EXPECT_THAT(unconnected.read(), Optional(std::string("DT-000")));
}

} // namespace
} // namespace talverin
