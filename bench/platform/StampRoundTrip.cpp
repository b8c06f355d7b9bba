#include "StampRoundTrip.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>
#include <stdexcept>

namespace talverin::bench {

namespace {

std::unique_ptr<StampRoundTrip>& sharedInstance() {
    static std::unique_ptr<StampRoundTrip> instance;
    return instance;
}

SqliteDefaultsStore::ProblemReporter printStoreProblem() {
    return [](const std::string& consoleLine, const std::string&) {
        std::fprintf(stderr, "%s\n", consoleLine.c_str());
    };
}

} // namespace

StampRoundTrip::StampRoundTrip()
    : service_(folder_.path()), defaults_(folder_.path() / "defaults.sqlite3", printStoreProblem()),
      urlSession_(service_.caFile().string()), desktop_(folder_.path().string()),
      delegate_(desktop_.platformWith(mainQueue_, defaults_, urlSession_),
                AppDelegate::Options{service_.origin(), 0}) {
    // Timing a store that has fallen back to memory would say nothing about the agent.
    if (!defaults_.isPersistent()) {
        throw std::runtime_error("the SQLite store could not be opened");
    }
    delegate_.applicationDidFinishLaunching();
    waitUntilStoreIsEmpty(std::chrono::seconds(10));
}

StampRoundTrip::~StampRoundTrip() {
    // No answer may reach the delegate once it is gone.
    urlSession_.stop();
}

StampRoundTrip& StampRoundTrip::shared() {
    auto& instance = sharedInstance();
    if (!instance) {
        instance = std::make_unique<StampRoundTrip>();
    }
    return *instance;
}

void StampRoundTrip::end() {
    sharedInstance().reset();
}

std::string StampRoundTrip::stampUrl(const char* pathAndQuery) const {
    return delegate_.apiBase() + pathAndQuery;
}

void StampRoundTrip::waitUntilStoreIsEmpty(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!defaults_.dictionaryRepresentation().empty()) {
        if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error("the start-up arrival stamp was not accepted");
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

std::optional<std::chrono::nanoseconds>
StampRoundTrip::timeUntilCompletion(const Sender& send, std::chrono::milliseconds timeout) {
    // Shared with the completion, which may still come after a time-out has given up on it.
    struct Outcome {
        QEventLoop loop;
        std::optional<std::chrono::steady_clock::time_point> completed;
    };
    auto outcome = std::make_shared<Outcome>();
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &outcome->loop, &QEventLoop::quit);
    guard.start(timeout);

    const auto started = std::chrono::steady_clock::now();
    send([outcome] {
        outcome->completed = std::chrono::steady_clock::now();
        outcome->loop.quit();
    });
    if (!outcome->completed) {
        outcome->loop.exec();
    }
    if (!outcome->completed) {
        return std::nullopt;
    }
    return *outcome->completed - started;
}

} // namespace talverin::bench
