#include "platform/linux/LinuxSerialNumberSource.h"
#include "platform/linux/LinuxSystemEvents.h"
#include "platform/linux/LinuxSystemInfo.h"
#include "platform/linux/QtAlerts.h"
#include "platform/linux/QtMainQueue.h"
#include "platform/linux/QtUrlSession.h"
#include "platform/linux/ServiceOrigin.h"
#include "platform/linux/SqliteDefaultsStore.h"
#include "platform/linux/XdgAutostart.h"
#include <QApplication>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusPendingCallWatcher>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <sched.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {
using namespace talverin;
using namespace Qt::StringLiterals;
const std::string arrival = "開始時の打刻_20240401083005"; // keys are not ASCII
std::string listing(DefaultsStore& store) {
    QStringList entries;
    for (const auto& [key, value] : store.dictionaryRepresentation())
        entries << QString::fromStdString(key + (value.text ? "=" + *value.text : ""));
    entries.sort();
    return entries.join(u' ').toStdString();
}
// SQL on a connection of the test's own, closed unless kept: the first column of each row.
std::string raw(const std::filesystem::path& file, const std::string& sql, sqlite3** kept = {}) {
    sqlite3* database = nullptr;
    sqlite3_open(file.c_str(), &database);
    QStringList column;
    const auto collect = [](void* rows, int, char** values, char**) {
        *static_cast<QStringList*>(rows) << QString::fromUtf8(values[0]);
        return 0;
    };
    EXPECT_EQ(sqlite3_exec(database, sql.c_str(), collect, &column, nullptr), SQLITE_OK) << sql;
    kept ? void(*kept = database) : void(sqlite3_close(database));
    return column.join(u' ').toStdString();
}
std::string modes(const std::filesystem::path& file) {
    QStringList found;
    for (const std::string& path : {file.parent_path().string(), file.string(),
                                    file.string() + "-wal", file.string() + "-shm"}) {
        struct stat status {};
        found << (stat(path.c_str(), &status) == 0 ? QString::number(status.st_mode & 07777, 8)
                                                   : u"-"_s);
    }
    return found.join(u' ').toStdString();
}
struct SqliteStore : ::testing::Test {
    const QTemporaryDir folder;
    const std::filesystem::path file = folder.filePath(u"d.sqlite3"_s).toStdString();
    int problems = 0; // reported
    SqliteDefaultsStore::ProblemReporter reporter = [this](auto&, auto&) { ++problems; };
};

// The first instance is killed right after its last write, never closed.
TEST_F(SqliteStore, ValuesSurviveAKillAsTextAndOthersAreListedButNeverRewritten) {
    if (fork() == 0) {
        SqliteDefaultsStore store(file, {});
        store.setString("leaving", "first");
        store.setString("leaving", "20240401183005");
        store.setString("gone", "x");
        store.removeObject("gone");
        store.setString(arrival, "20240401083005");
        raise(SIGKILL);
    }
    int status = 0;
    ASSERT_TRUE(wait(&status) > 0 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    raw(file, "INSERT INTO defaults VALUES ('a', 42), ('b', 1.5), ('c', x'00ff'), ('d', NULL)");
    SqliteDefaultsStore reopened(file, reporter);
    reopened.setString("e", "x");
    EXPECT_EQ(reopened.stringForKey(arrival), "20240401083005");
    EXPECT_EQ(listing(reopened),
              "a b c d e=x leaving=20240401183005 " + arrival + "=20240401083005");
    EXPECT_EQ(raw(file, "SELECT typeof(value) FROM defaults ORDER BY key"),
              "integer real blob null text text text");
    EXPECT_EQ(problems, 0);
}

// Whatever the umask, the folder is private from the moment it exists, and a file found open to
// others is made private before it is read, even one that is no database (its content kept).
TEST_F(SqliteStore, KeepsItsFolderAndFilesPrivate) {
    umask(0); // for this test's process only
    qputenv("XDG_DATA_HOME", folder.path().toUtf8());
    const std::filesystem::path path = SqliteDefaultsStore::defaultPath();
    EXPECT_EQ(modes(path), "700 - - -");
    const SqliteDefaultsStore store(path, {});
    EXPECT_EQ(modes(path), "700 600 600 600");
    ASSERT_EQ(chmod(path.parent_path().c_str(), 0755) + chmod(path.c_str(), 0644), 0);
    SqliteDefaultsStore{path, {}};
    EXPECT_EQ(modes(path), "700 600 600 600");
    std::ofstream(file) << "someone's notes\n";
    ASSERT_EQ(chmod(file.parent_path().c_str(), 0755) + chmod(file.c_str(), 0644), 0);
    SqliteDefaultsStore{file, {}};
    EXPECT_EQ(modes(file), "700 600 - -");
}

TEST_F(SqliteStore, TwoThreadsWriteAndRemoveAtOnce) {
    SqliteDefaultsStore store(file, reporter);
    const auto work = [&store](const std::string& prefix) {
        for (int index = 0; index < 2000; ++index) {
            store.setString(prefix + std::to_string(index), "kept");
            if (index % 2 == 0) // as sent stamps are removed
                store.removeObject(prefix + std::to_string(index));
        }
    };
    std::thread delivery(work, "delivery-");
    work("main-");
    delivery.join();
    EXPECT_EQ(raw(file, "SELECT count(*) || '/' || sum(substr(key, -1) % 2) FROM defaults"),
              "2000/2000"); // the odd keys of both threads, and nothing else
}

// The file's lock held by another program, or a folder read-only at start (for root too: a bind
// mount in this thread's namespace): calls return, and what the run stored and removed (never what
// it only read) reaches the file once the lock is gone, or with the next write once it is writable.
TEST_F(SqliteStore, WhatAFaultHeldBackReachesTheFileOnceItIsOver) {
    const bool mounts = unshare(CLONE_NEWNS) == 0 &&
                        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    // WAL as the store leaves it, DELETE where WAL cannot work (a network home folder).
    for (const std::string fault : {"held WAL", "read-only WAL", "read-only DELETE"}) {
        const std::filesystem::path dir = file.parent_path() / fault, db = dir / "d";
        const char* path = dir.c_str();
        std::filesystem::create_directory(dir);
        SqliteDefaultsStore(db, {}).setString("sent", "20240331083005");
        raw(db, "PRAGMA journal_mode=" + fault.substr(fault.find(' ') + 1) +
                    "; INSERT INTO defaults VALUES ('count', 42)");
        const bool held = fault.starts_with("held");
        const bool mounted =
            !held && mounts && mount(path, path, nullptr, MS_BIND, nullptr) == 0 &&
            mount(nullptr, path, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
        ASSERT_TRUE(held || mounted || chmod(path, 0555) + chmod(db.c_str(), 0444) == 0);
        problems = 0;
        SqliteDefaultsStore store(db, reporter);
        sqlite3* writer = nullptr;
        raw(db, held ? "BEGIN IMMEDIATE" : "SELECT 1", &writer);
        store.setString(arrival, "20240401083005");
        store.removeObject("sent");
        // SQLite cannot read a WAL file whose folder is read-only: its rows wait for the reopen.
        EXPECT_EQ(listing(store),
                  (fault == "read-only WAL" ? "" : "count ") + arrival + "=20240401083005")
            << fault;
        sqlite3_close(writer); // rolls back
        EXPECT_TRUE(!held || QTest::qWaitFor([&] {
            return raw(db, "SELECT key FROM defaults ORDER BY key") == "count " + arrival;
        }));
        ASSERT_TRUE(held ||
                    (mounted ? umount(path) : chmod(path, 0700) + chmod(db.c_str(), 0600)) == 0);
        store.setString("leaving", "20240401183005");
        EXPECT_EQ(raw(db, "SELECT key || '=' || quote(value) FROM defaults ORDER BY key"),
                  "count=42 leaving='20240401183005' " + arrival + "='20240401083005'")
            << fault;
        EXPECT_EQ(problems, 1) << fault;
    }
}

// Where the -shm file cannot be shared (a FUSE, 9p or SMB home folder) SQLite takes WAL, then fails
// every access: the store, new or made in WAL mode elsewhere, keeps a rollback journal instead.
TEST_F(SqliteStore, KeepsARollbackJournalWhereWalCannotWork) {
    const bool ownMounts = unshare(CLONE_NEWNS) == 0 &&
                           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    for (const std::string made : {"new", "WAL"}) {
        const std::filesystem::path dir = file.parent_path() / made, db = dir / "d";
        const QString path = QString::fromStdString(dir);
        std::filesystem::create_directory(dir);
        if (made == "WAL")
            SqliteDefaultsStore(db, {}).setString("sent", "20240331083005");
        QProcess fuse;
        fuse.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        fuse.start(u"bindfs"_s, {u"-f"_s, u"-o"_s, u"direct_io"_s, path, path});
        ASSERT_TRUE(QTest::qWaitFor([&] {
            struct statfs mounted {};
            return statfs(dir.c_str(), &mounted) == 0 && mounted.f_type == 0x65735546; // FUSE
        }));
        SqliteDefaultsStore(db, reporter).setString(arrival, "20240401083005");
        SqliteDefaultsStore(db, reporter).removeObject("sent");
        EXPECT_EQ(raw(db, "PRAGMA journal_mode; SELECT key FROM defaults"), "delete " + arrival);
        ownMounts ? umount(dir.c_str()) : QProcess::execute(u"fusermount"_s, {u"-u"_s, path});
    }
    EXPECT_EQ(problems, 0);
}

const char* const unreadable = "(a folder, which cannot be read as a file)";
// Makes the file (nullptr: none) with the NUL that serial files end in if asked; gives its path.
QString place(const QTemporaryDir& folder, const char* name, const char* content, bool nul) {
    QFile file(folder.filePath(QString::fromLatin1(name)));
    EXPECT_TRUE(!content || content == unreadable ||
                (QDir().mkpath(QFileInfo(file).path()) && file.open(QIODevice::WriteOnly) &&
                 file.write(content, static_cast<qint64>(qstrlen(content)) + nul) > 0));
    return content == unreadable ? folder.path() : file.fileName();
}
// fake_system.py with its options on the test's session bus, from the moment it owns the name.
struct FakeSystem : QProcess {
    explicit FakeSystem(const QString& name, const QStringList& options = {}) {
        setProcessChannelMode(ForwardedChannels);
        start(u"/usr/bin/python3"_s,
              QStringList(u"" TALVERIN_SOURCE_DIR "/tests/support/fakes/fake_system.py"_s)
                  << options);
        const auto bus = QDBusConnection::sessionBus().interface();
        EXPECT_TRUE(QTest::qWaitFor([&] { return bus->isServiceRegistered(name).value(); }, 10000));
    }
    ~FakeSystem() override { terminate(), waitForFinished(); }
};
struct SerialRow {
    const char *name, *variableFile, *firmwareFile, *deviceTreeFile; // files' text; nullptr: none
    const char* hostnamed; // the fake's option; nullptr: nobody owns the name
    std::optional<std::string> serial;
    bool bus = true;
};

TEST(SerialNumberSources, GiveTheFirstSerialInOrder) {
    const QString hostname1 = u"org.freedesktop.hostname1"_s;
    const std::string tooLong(5000, 'A'); // for a serial number file
    for (const SerialRow& row : std::vector<SerialRow>{
             {"VariableFileFirst", "ENV-1\n", "FW-2\n", "DT-4", "--serial=HN-3", "ENV-1"},
             {"WhitespaceRemoved", nullptr, " C02 X\t \r\n", nullptr, nullptr, " C02 X"},
             {"BlanksSkipped", "  \t \n", " ", "DT-4", "--serial=  ", "DT-4"},
             {"Unreadable", unreadable, tooLong.c_str(), "DT-4", "--serial=HN-3", "HN-3"},
             {"HostnamedRefusing", nullptr, nullptr, "DT-4",
              "--error=org.freedesktop.DBus.Error.AccessDenied", "DT-4"},
             {"HostnamedSilent", nullptr, nullptr, "DT-4", "--no-reply", "DT-4"},
             {"NoBusSkipsHostnamed", nullptr, nullptr, "DT-4", nullptr, "DT-4", false},
             {"NoSourceHasOne", nullptr, nullptr, nullptr, nullptr, std::nullopt}}) {
        SCOPED_TRACE(row.name);
        const QTemporaryDir files;
        qputenv(LinuxSerialNumberSource::fileVariable,
                place(files, "variable", row.variableFile, true).toUtf8());
        // The test's own session bus, from dbus-run-session.
        const QDBusConnection bus =
            row.bus ? QDBusConnection::sessionBus() : QDBusConnection(u"none"_s);
        std::optional<FakeSystem> hostnamed;
        if (row.hostnamed != nullptr)
            hostnamed.emplace(hostname1, QStringList(QString::fromLatin1(row.hostnamed)));
        LinuxSerialNumberSource source(bus, {place(files, "firmware", row.firmwareFile, true),
                                             place(files, "device-tree", row.deviceTreeFile, true),
                                             std::chrono::milliseconds(1000)});
        EXPECT_EQ(source.read(), row.serial);
    }
}

TEST(XdgAutostartTable, FollowsTheEntryAndTheSwitch) {
    // The entry file (nullptr: none), what the user switches it to first if anything, the result.
    for (const auto& [entry, switchTo, enabled] :
         std::vector<std::tuple<const char*, std::optional<bool>, bool>>{
             {"[Desktop Entry]\nExec=a\n[Desktop Action quit]\nHidden=true\n", std::nullopt, true},
             {"[Desktop Entry]\nExec=talverin-timestamp\nHidden=true\n", std::nullopt, false},
             {"[Desktop Entry]\nX-GNOME-Autostart-enabled=false\n", std::nullopt, false},
             {nullptr, true, true},
             {"[Desktop Entry]\nX-GNOME-Autostart-enabled=false\n", true, true},
             {"[Desktop Entry]\nExec=talverin-timestamp\n", false, false}}) {
        const QTemporaryDir config;
        const QString path = place(config, "autostart/entry.desktop", entry, false);
        XdgAutostart autostart(u"/usr/bin/talverin-timestamp"_s, path);
        switchTo ? autostart.setEnabled(*switchTo) : void();
        EXPECT_EQ(autostart.isEnabled(), enabled) << (entry ? entry : "(none)");
        // Switched off, the entry is gone rather than left saying so.
        EXPECT_EQ(QFile::exists(path), switchTo.value_or(entry != nullptr));
    }
    // Each Exec= as written, which a desktop-entry reader unescapes back to the program's path.
    for (const auto& [program, exec] : std::vector<std::pair<const char*, QByteArray>>{
             {"/opt/100%/talverin", "Exec=/opt/100%%/talverin"},
             {R"(/opt/my apps/"q"\b/$HOME/talverin)",
              R"(Exec="/opt/my apps/\\"q\\"\\\\b/\\$HOME/talverin")"}}) {
        const QTemporaryDir config;
        XdgAutostart(QString::fromUtf8(program), config.filePath(u"e"_s)).setEnabled(true);
        QFile entry(config.filePath(u"e"_s));
        const QByteArray text = entry.open(QIODevice::ReadOnly) ? entry.readAll() : QByteArray();
        EXPECT_TRUE(text.contains('\n' + exec + '\n')) << text.toStdString();
    }
}

TEST(ServiceOriginTable, AcceptsHttpsAndHttpOnlyToLoopback) {
    EXPECT_EQ(ServiceOrigin::validated("https://talverin.example/"), "https://talverin.example");
    for (const char* accepted : {"https://127.0.0.1:8443", "http://127.0.0.1:8080",
                                 "http://localhost:8080", "http://[::1]:8080"})
        EXPECT_EQ(ServiceOrigin::validated(accepted), accepted);
    for (const char* refused :
         {"http://talverin.example", "http://10.0.0.1", "ftp://talverin.example", "https://",
          "talverin.example", "https://user:pw@talverin.example", "https://talverin.example/api",
          "https://talverin.example?x=1", "file:///etc/passwd"})
        EXPECT_EQ(ServiceOrigin::validated(refused), std::nullopt) << refused;
}

// What the agent logs of the system: the kernel's numbers as its version, and the zone's name.
TEST(LinuxSystemInfoTable, KernelNumbersAndZone) {
    const std::map<std::string, std::vector<long>> releases{
        {"6.1.0-18-amd64", {6, 1, 0}}, {"5.15.133.1-wsl", {5, 15, 133}}, {"6.7-rc1", {6, 7, 0}}};
    for (const auto& [release, version] : releases) {
        const OperatingSystemVersion v = LinuxSystemInfo::parseKernelRelease(release);
        EXPECT_EQ(std::vector({v.majorVersion, v.minorVersion, v.patchVersion}), version);
    }
    EXPECT_EQ(LinuxSystemInfo::zoneNameFrom("../usr/share/zoneinfo/Asia/Tokyo"), "Asia/Tokyo");
    for (const char* tz : {"Asia/Tokyo", ":/usr/share/zoneinfo/Asia/Tokyo"}) {
        qputenv("TZ", tz);
        EXPECT_EQ(LinuxSystemInfo().timeZoneIdentifier(), "Asia/Tokyo") << tz;
    }
}

// Only release() lets an inhibitor go here (the hold's own timer would take an hour), and only
// while the event it was taken for is under way: afterwards the one held is for the next event.
TEST(LinuxSystemEventsHolds, ReleaseLetsGoTheInhibitorOfTheEventUnderWayOnly) {
    const QDBusConnection bus = QDBusConnection::sessionBus(); // the test's own, as the system bus
    const FakeSystem logind(u"org.freedesktop.login1"_s);
    QDBusInterface control(u"org.freedesktop.login1"_s, u"/org/freedesktop/login1"_s,
                           u"com.talverin.test.Login1Control"_s, bus);
    // Handled after all logind answered before: an inhibitor it gave has reached its holder.
    const auto logindSays = [&](const QString& method, const QVariantList& arguments = {}) {
        const QDBusPendingCallWatcher answer(control.asyncCallWithArgumentList(method, arguments));
        bool handled = false;
        QObject::connect(&answer, &QDBusPendingCallWatcher::finished, [&] { handled = true; });
        EXPECT_TRUE(QTest::qWaitFor([&] { return handled; }, 10000));
        return answer.reply().arguments().value(0).toStringList().join(u' ').toStdString();
    };
    LinuxSystemEvents events(bus, QDBusConnection(u"none"_s), {std::chrono::hours(1)});
    std::string reported; // to the core, in order
    SystemEventObservers observers;
    observers.sleeping = [&](bool asleep) { reported += asleep ? "asleep " : "awake "; };
    observers.powerOff = [&](bool announced) { reported += announced ? "off " : "called-off "; };
    events.observe(observers); // takes both inhibitors
    // What logind announces first, if anything; the hold the core lets go; what is held then.
    int step = 0;
    for (const auto& [announced, starting, released, held] :
         std::vector<std::tuple<const char*, bool, Hold, std::string>>{
             {nullptr, false, Hold::sleep, "shutdown sleep"},
             {nullptr, false, Hold::powerOff, "shutdown sleep"},
             {"Sleep", true, Hold::powerOff, "shutdown sleep"},
             {nullptr, false, Hold::sleep, "shutdown"},
             {"Sleep", false, Hold::sleep, "shutdown sleep"},
             {"Shutdown", true, Hold::sleep, "shutdown sleep"},
             {nullptr, false, Hold::powerOff, "sleep"},
             {"Shutdown", false, Hold::powerOff, "shutdown sleep"}}) {
        SCOPED_TRACE(++step);
        if (announced) { // under way, or called off and taken again for the next time
            const std::size_t before = reported.size();
            logindSays(u"Emit"_s, {u"PrepareFor"_s + QLatin1String(announced), starting});
            ASSERT_TRUE(QTest::qWaitFor(
                [&] {
                    return reported.size() > before && logindSays(u"Held"_s) == "shutdown sleep";
                },
                10000));
        }
        events.release(released);
        EXPECT_EQ(logindSays(u"Held"_s), held);
    }
    EXPECT_EQ(reported, "asleep awake off called-off ");
    // Never let go by the core, a hold ends by itself: here after 100 ms rather than an hour.
    LinuxSystemEvents timed(bus, QDBusConnection(u"none"_s), {std::chrono::milliseconds(100)});
    timed.observe(observers);
    logindSays(u"Emit"_s, {u"PrepareForShutdown"_s, true});
    EXPECT_TRUE(QTest::qWaitFor([&] { return logindSays(u"Held"_s) == "shutdown sleep sleep"; }));
}

// A box closed while a newer one ran inside its exec() is hidden, its exec() still on the stack:
// asked for again, another opens rather than the hidden one being raised unseen.
TEST(QtAlertsNesting, AHiddenBoxStillInItsExecIsOpenedAgainNotRaised) {
    QtAlerts alerts(false);
    const Alert about{"About", "", std::nullopt};
    const QObject scope;                // its timers go with it
    int visible = -1;                   // boxes on screen while About, asked for again, runs
    QTimer::singleShot(0, &scope, [&] { // in About's exec()
        QApplication::activeModalWidget()->close();
        QTimer::singleShot(0, &scope, [&] { // in the second About's exec(), if one opened
            visible = 0;
            for (QWidget* window : QApplication::topLevelWidgets()) {
                visible += window->isVisible();
                window->close();
            }
        });
        alerts.runModal(about);
    });
    alerts.runModal(about);
    EXPECT_EQ(visible, 1);
}

TEST(QtMainQueueOrder, RunsPostedWorkOnTheMainThreadInEachPostersOrder) {
    constexpr int perPoster = 2000;
    QtMainQueue queue;
    int next[2] = {0, 0}; // per poster, the sequence expected next; touched on the main thread only
    const auto post = [&](int poster) {
        for (int sequence = 0; sequence < perPoster; ++sequence) {
            queue.async([&, poster, sequence] {
                EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
                EXPECT_EQ(sequence, next[poster]++) << "poster " << poster;
            });
        }
    };
    std::thread delivery(post, 1);
    post(0);
    delivery.join();
    EXPECT_TRUE(QTest::qWaitFor([&] { return next[0] + next[1] == 2 * perPoster; }, 30000));
}

// A file made by make-ca.sh ("ca.pem", "server.pem", "untrusted-key.pem", ...), once per process.
QString certificateFile(const QString& name) {
    static const QTemporaryDir folder;
    static const int made = QProcess::execute(
        u"/bin/sh"_s, {u"" TALVERIN_SOURCE_DIR "/tools/stamp-service/make-ca.sh"_s, folder.path()});
    EXPECT_EQ(made, 0) << "make-ca.sh failed";
    return folder.filePath(name);
}
// The stamp service with that certificate, driven through its control port, ended with the object.
struct StampService {
    explicit StampService(const QString& certificate = u"server"_s) {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        process.start(u"" TALVERIN_BINARY_DIR "/tools/talverin-stamp-service"_s,
                      {u"--cert"_s, certificateFile(certificate + u".pem"_s), u"--key"_s,
                       certificateFile(certificate + u"-key.pem"_s)});
        // It says "listening 127.0.0.1:PORT", then "control 127.0.0.1:PORT".
        for (quint16* number : {&port, &controlPort}) {
            EXPECT_TRUE(QTest::qWaitFor([&] { return process.canReadLine(); }, 10000));
            const QByteArray line = process.readLine().trimmed();
            *number = line.mid(line.lastIndexOf(':') + 1).toUShort();
        }
    }
    ~StampService() {
        process.terminate();
        process.waitForFinished(10000);
    }
    std::string origin() const { return "https://127.0.0.1:" + std::to_string(port); }
    // How requests to the path are answered from now on: the command's fields besides the path.
    bool behave(const std::string& path, const std::string& fields) {
        return !control(u"/behaviour"_s, "{\"path\":\"" + path + "\"," + fields + "}").isNull();
    }
    qsizetype requestCount() { return control(u"/requests"_s).count('\n'); }
    int connections() {
        return QJsonDocument::fromJson(control(u"/connections"_s))[u"connections"].toInt();
    }
    QByteArray control(const QString& path, const std::string& command = {}) {
        QNetworkRequest request(u"http://127.0.0.1:%1%2"_s.arg(controlPort).arg(path));
        request.setHeader(QNetworkRequest::ContentTypeHeader, u"application/json"_s);
        const std::unique_ptr<QNetworkReply> reply(
            command.empty() ? manager.get(request)
                            : manager.post(request, QByteArray::fromStdString(command)));
        const bool answered = QTest::qWaitFor([&] { return reply->isFinished(); }, 10000);
        EXPECT_TRUE(answered && reply->error() == QNetworkReply::NoError) << command;
        return answered ? reply->readAll() : QByteArray();
    }
    QProcess process;
    quint16 port = 0, controlPort = 0;
    QNetworkAccessManager manager;
};
const std::string api = "/api/osx/v1/stamp/"; // then "arrival" or "leaving"
HttpRequest stamp(const std::string& url, double timeout, std::string serial = "C02TEST123") {
    return {"POST", url, {{"X-OSX-NUMBER", std::move(serial)}}, timeout};
}
// A transfer as it completed on the delivery queue's thread: "KIND" or "STATUS BODY".
std::string transfer(QtUrlSession& session, const HttpRequest& request) {
    auto done = std::make_shared<std::promise<std::string>>();
    session.dataTask(request, [done, &session](TransferResult result) {
        const auto status = std::to_string(result.response.value_or(HttpResponse{}).statusCode);
        const auto outcome =
            result.error ? result.error->kind : status + " " + result.body.value_or("-");
        const bool onDeliveryThread = QThread::currentThread() == session.deliveryThread();
        done->set_value(onDeliveryThread ? outcome : "completed on another thread");
    });
    auto future = done->get_future();
    const bool completed = future.wait_for(std::chrono::seconds(90)) == std::future_status::ready;
    return completed ? future.get() : "never completed"; // only a guard against a hang
}
struct Reaction {
    const char* name;
    std::string behaviour, outcome; // control fields for the arrival path; as transfer() gives it
    std::optional<qsizetype> requestsReceived = 1; // nothing: any number
    double timeoutSeconds = 60.0;
    const char* certificate = "server"; // the service's; nullptr: the service has ended
    std::string serial = "C02TEST123";  // the header value sent
};
TEST(UrlSessionReaction, BecomesTheTransferResult) {
    for (const Reaction& row : std::vector<Reaction>{
             {"Answer200", R"("body":"accepted")", "200 accepted"},
             {"Answer500NotUtf8", R"("status":500,"bodyBase64":"//6A")", "500 \xFF\xFE\x80"},
             // Returned as it is: its target never sees the request.
             {"RedirectNeverFollowed", R"("action":"redirect","body":"moved","location":"/x")",
              "302 moved"},
             {"ConnectionRefused", "", "ConnectionRefusedError", std::nullopt, 60, nullptr},
             // Qt sends the request again by itself when a connection drops before any answer.
             {"ResetBeforeTheAnswer", R"("action":"reset")", "RemoteHostClosedError", std::nullopt},
             {"ResetInsideTheAnswer",
              R"("action":"reset","body":"0123456789","repeat":10,"afterBytes":60)",
              "RemoteHostClosedError"},
             {"SilencePastTheTimeout", R"("action":"silence")", "TimeoutError", 1, 1.0},
             // 3 MiB: the first MiB and the status arrive, the rest is never waited for.
             {"AnswerOverOneMebibyteCut", R"("body":"0123456789abcdef","repeat":196608)",
              "200 " + QByteArray("0123456789abcdef").repeated(65536).toStdString()},
             {"HeaderCrLf", "", "InvalidHeaderValue", 0, 60, "server", "C02\r\nX-Injected: 1"},
             {"HeaderDel", "", "InvalidHeaderValue", 0, 60, "server", "C02\x7f"},
             {"UntrustedCertificate", "", "SslHandshakeFailedError", 0, 60, "untrusted"},
             {"OtherHostCertificate", "", "SslHandshakeFailedError", 0, 60, "otherhost"}}) {
        SCOPED_TRACE(row.name);
        std::optional<StampService> service(
            std::in_place, QString::fromLatin1(row.certificate ? row.certificate : "server"));
        const std::string origin = service->origin();
        row.certificate ? void() : service.reset(); // with none, nothing listens there any more
        ASSERT_TRUE(row.behaviour.empty() || service->behave(api + "arrival", row.behaviour));
        QtUrlSession session(certificateFile(u"ca.pem"_s).toStdString());
        // As start-up does: the early connection relaxes no check, and carries the transfer alone.
        session.preconnect(origin);
        const bool trusted = row.certificate && std::string_view(row.certificate) == "server";
        if (trusted) {
            ASSERT_TRUE(QTest::qWaitFor([&] { return service->connections() == 1; }, 30000));
            EXPECT_EQ(service->requestCount(), 0);
        }
        const std::string url = origin + api + "arrival?tim=20240401083005";
        EXPECT_EQ(transfer(session, stamp(url, row.timeoutSeconds, row.serial)), row.outcome);
        if (service && row.requestsReceived) {
            EXPECT_EQ(service->requestCount(), *row.requestsReceived);
            EXPECT_TRUE(!trusted || service->connections() == 1) << "another connection";
        }
    }
}

// More transfers than Qt is handed at once, queued behind ones that never end: each is sent, or
// times out by its own deadline, and completes exactly once.
TEST(UrlSessionBacklog, EveryTransferCompletesOnce) {
    constexpr int silent = 40, transfers = 190;
    StampService service;
    ASSERT_TRUE(service.behave(api + "leaving", R"("action":"silence")"));
    QtUrlSession session(certificateFile(u"ca.pem"_s).toStdString());
    std::mutex mutex;
    std::map<int, std::string> outcomes; // every completion's, run together, by transfer
    std::atomic<int> completions = 0;
    for (int index = 0; index < transfers; ++index) {
        const std::string url = service.origin() + api + (index < silent ? "leaving" : "arrival");
        const auto request = stamp(url + "?tim=" + std::to_string(index), index < silent ? 1 : 60);
        session.dataTask(request, [&, index](TransferResult result) {
            const std::lock_guard lock(mutex);
            outcomes[index] += result.error ? result.error->kind : "answered";
            ++completions;
        });
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return completions == transfers; }, 90000));
    const std::lock_guard lock(mutex);
    for (int index = 0; index < transfers; ++index)
        EXPECT_EQ(outcomes[index], index < silent ? "TimeoutError" : "answered") << index;
}

} // namespace

// The main queue and D-Bus need an application object, the boxes a QApplication; no display.
int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
