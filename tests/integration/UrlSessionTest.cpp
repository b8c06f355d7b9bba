#include "FakePlatform.h"
#include "ScopedEnvironmentVariable.h"
#include "StampServiceProcess.h"
#include "platform/linux/QtUrlSession.h"

#include <QTest>
#include <QThread>

#include <gmock/gmock.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace talverin::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

const std::string arrivalPath = "/api/osx/v1/stamp/arrival";
const std::string leavingPath = "/api/osx/v1/stamp/leaving";
const std::string serial = "C02TEST123";

// Only a guard against a hang; no test depends on how long a transfer takes.
constexpr auto completionCap = std::chrono::seconds(90);

struct Completed {
    TransferResult result;
    const QThread* thread = nullptr;
};

// Starts one transfer and waits for its completion.
Completed transfer(QtUrlSession& session, const HttpRequest& request) {
    auto promise = std::make_shared<std::promise<Completed>>();
    std::future<Completed> future = promise->get_future();
    session.dataTask(request, [promise](TransferResult result) {
        promise->set_value(Completed{std::move(result), QThread::currentThread()});
    });
    if (future.wait_for(completionCap) != std::future_status::ready) {
        ADD_FAILURE() << "the transfer never completed";
        return {};
    }
    return future.get();
}

class QtUrlSessionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new TemporaryFolder;
        certificates_ = new TestCertificates(folder_->path() / "certificates");
    }
    static void TearDownTestSuite() {
        delete certificates_;
        delete folder_;
    }

    void SetUp() override {
        ASSERT_TRUE(certificates_->isReady()) << certificates_->errorText();
        service_ = std::make_unique<StampServiceProcess>(*certificates_);
        ASSERT_TRUE(service_->isRunning()) << service_->errorText();
        session_ = std::make_unique<QtUrlSession>();
    }

    HttpRequest stampRequest(const std::string& path = arrivalPath,
                             const std::string& tim = "20240401083005") const {
        HttpRequest request;
        request.method = "POST";
        request.url = service_->origin() + path + "?tim=" + tim;
        request.headers.emplace_back("X-OSX-NUMBER", serial);
        request.timeoutSeconds = 60.0;
        return request;
    }

    std::vector<ServiceRequest> received(StampServiceProcess& service) {
        auto requests = service.requests();
        EXPECT_TRUE(requests.has_value()) << "the control port did not answer";
        return requests.value_or(std::vector<ServiceRequest>{});
    }

    static TemporaryFolder* folder_;
    static TestCertificates* certificates_;
    // The session trusts the test authority through the variable, read when it is made.
    ScopedEnvironmentVariable caFile_{"TALVERIN_CA_FILE",
                                      (folder_->path() / "certificates" / "ca.pem").string()};
    std::unique_ptr<StampServiceProcess> service_;
    std::unique_ptr<QtUrlSession> session_;
};

TemporaryFolder* QtUrlSessionTest::folder_ = nullptr;
TestCertificates* QtUrlSessionTest::certificates_ = nullptr;

TEST_F(QtUrlSessionTest, DeliversTheStampRequestAsBuiltAndItsAnswerOnTheDeliveryThread) {
    const Completed completed = transfer(*session_, stampRequest());

    ASSERT_FALSE(completed.result.error.has_value()) << completed.result.error->text;
    ASSERT_TRUE(completed.result.response.has_value());
    EXPECT_TRUE(completed.result.response->isHttp);
    EXPECT_EQ(completed.result.response->statusCode, 200);
    EXPECT_EQ(completed.result.body, R"({"result":"ok","tim":"20240401083005"})");
    EXPECT_EQ(completed.thread, session_->deliveryThread());
    EXPECT_NE(completed.thread, QThread::currentThread());

    const auto requests = received(*service_);
    ASSERT_THAT(requests, SizeIs(1));
    const ServiceRequest& request = requests.front();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, arrivalPath + "?tim=20240401083005");
    EXPECT_EQ(request.query, "tim=20240401083005");
    EXPECT_THAT(request.headerValues("X-OSX-NUMBER"), ElementsAre(serial));
    // The name travels exactly as the core wrote it.
    EXPECT_EQ(std::count_if(request.headers.begin(), request.headers.end(),
                            [](const auto& header) { return header.first == "X-OSX-NUMBER"; }),
              1);
    EXPECT_THAT(request.headerValues("Host"),
                ElementsAre("127.0.0.1:" + std::to_string(service_->port())));
    EXPECT_THAT(request.headerValues("Content-Length"), ElementsAre("0"));
    EXPECT_THAT(request.headerValues("Content-Type"), IsEmpty());
    EXPECT_EQ(request.body, "");
}

TEST_F(QtUrlSessionTest, HttpStatusesComeBackAsAnswersWithTheirBodies) {
    const std::vector<int> statuses{201, 400, 401, 403, 404, 405, 409,
                                    410, 418, 500, 501, 503, 599};
    for (const int status : statuses) {
        ASSERT_TRUE(service_->answer(leavingPath, status, "answer " + std::to_string(status), 1));
        const Completed completed = transfer(*session_, stampRequest(leavingPath));
        SCOPED_TRACE(status);
        EXPECT_FALSE(completed.result.error.has_value())
            << completed.result.error->kind << ": " << completed.result.error->text;
        ASSERT_TRUE(completed.result.response.has_value());
        EXPECT_EQ(completed.result.response->statusCode, status);
        EXPECT_EQ(completed.result.body, "answer " + std::to_string(status));
    }

    // Bytes that are not UTF-8, and an empty body, arrive exactly as sent.
    const std::string bytes("\xff\xfe\0ok\x80", 6);
    ASSERT_TRUE(service_->answerBytes(arrivalPath, 200, bytes, 1));
    EXPECT_EQ(transfer(*session_, stampRequest()).result.body, bytes);
    ASSERT_TRUE(service_->answer(arrivalPath, 200, "", 1));
    const Completed empty = transfer(*session_, stampRequest());
    EXPECT_FALSE(empty.result.error.has_value());
    EXPECT_EQ(empty.result.body, std::optional<std::string>(""));
}

TEST_F(QtUrlSessionTest, RedirectsAreReturnedAndNeverFollowed) {
    StampServiceProcess elsewhere(*certificates_);
    ASSERT_TRUE(elsewhere.isRunning()) << elsewhere.errorText();
    const std::string target = elsewhere.origin() + arrivalPath + "?tim=20240401083005";

    for (const int status : {301, 302, 303, 307, 308}) {
        SCOPED_TRACE(status);
        ASSERT_TRUE(service_->redirect(arrivalPath, target, status, 1));
        const Completed completed = transfer(*session_, stampRequest());
        EXPECT_FALSE(completed.result.error.has_value());
        ASSERT_TRUE(completed.result.response.has_value());
        EXPECT_EQ(completed.result.response->statusCode, status);
    }
    EXPECT_THAT(received(*service_), SizeIs(5));
    // The other origin never saw the serial number.
    EXPECT_THAT(received(elsewhere), IsEmpty());
}

TEST_F(QtUrlSessionTest, ConnectionResetIsATransferError) {
    ASSERT_TRUE(service_->reset(arrivalPath));
    const Completed completed = transfer(*session_, stampRequest());

    ASSERT_TRUE(completed.result.error.has_value());
    EXPECT_NE(completed.result.error->kind, "TimeoutError");
    EXPECT_FALSE(completed.result.error->text.empty());
    EXPECT_FALSE(completed.result.body.has_value());
    EXPECT_EQ(completed.thread, session_->deliveryThread());
    EXPECT_THAT(received(*service_), ::testing::Not(IsEmpty()));
}

TEST_F(QtUrlSessionTest, NoAnswerWithinTheTimeoutIsATimeout) {
    ASSERT_TRUE(service_->silence(leavingPath));
    HttpRequest request = stampRequest(leavingPath);
    request.timeoutSeconds = 1.0;
    const Completed completed = transfer(*session_, request);

    ASSERT_TRUE(completed.result.error.has_value());
    EXPECT_EQ(completed.result.error->kind, "TimeoutError");
    EXPECT_EQ(completed.result.error->code, 4);
    EXPECT_EQ(completed.result.error->text, "The request timed out.");
    EXPECT_FALSE(completed.result.body.has_value());
    EXPECT_THAT(received(*service_), SizeIs(1));
}

TEST_F(QtUrlSessionTest, CertificatesThatAreNotTrustedFailTheHandshake) {
    StampServiceProcess untrusted(StampServiceProcess::Options{
        certificates_->untrustedCertificate(), certificates_->untrustedKey(), {}, "127.0.0.1", 0});
    ASSERT_TRUE(untrusted.isRunning()) << untrusted.errorText();
    HttpRequest request = stampRequest();
    request.url = untrusted.origin() + arrivalPath + "?tim=20240401083005";

    // Connecting ahead, as start-up does, must not let the transfer past the check either.
    session_->preconnect(untrusted.origin());
    const Completed completed = transfer(*session_, request);
    ASSERT_TRUE(completed.result.error.has_value());
    EXPECT_EQ(completed.result.error->kind, "SslHandshakeFailedError");
    EXPECT_FALSE(completed.result.body.has_value());
    EXPECT_THAT(received(untrusted), IsEmpty());

    // Without the variable the test authority is not trusted either.
    ScopedEnvironmentVariable noCaFile("TALVERIN_CA_FILE", std::nullopt);
    QtUrlSession systemOnly;
    const Completed refused = transfer(systemOnly, stampRequest());
    ASSERT_TRUE(refused.result.error.has_value());
    EXPECT_EQ(refused.result.error->kind, "SslHandshakeFailedError");
    EXPECT_THAT(received(*service_), IsEmpty());
}

TEST_F(QtUrlSessionTest, HeaderValuesWithControlCharactersAreNeverSent) {
    for (const std::string& value :
         {std::string("C02\r\nX-Injected: yes"), std::string("C02\n"), std::string("C02\r"),
          std::string("C02\t"), std::string("C02\x7f"), std::string("C02\0", 4)}) {
        HttpRequest request = stampRequest();
        request.headers = {{"X-OSX-NUMBER", value}};
        const Completed completed = transfer(*session_, request);
        ASSERT_TRUE(completed.result.error.has_value());
        EXPECT_EQ(completed.result.error->kind, "InvalidHeaderValue");
        EXPECT_FALSE(completed.result.body.has_value());
        EXPECT_FALSE(completed.result.response.has_value());
        EXPECT_EQ(completed.thread, session_->deliveryThread());
    }
    HttpRequest badName = stampRequest();
    badName.headers = {{"X-OSX NUMBER", serial}};
    EXPECT_EQ(transfer(*session_, badName).result.error.value_or(TransferError{}).kind,
              "InvalidHeaderName");

    // A sound request afterwards is the only one the service ever sees.
    EXPECT_FALSE(transfer(*session_, stampRequest()).result.error.has_value());
    const auto requests = received(*service_);
    ASSERT_THAT(requests, SizeIs(1));
    EXPECT_THAT(requests.front().headerValues("X-Injected"), IsEmpty());
    EXPECT_THAT(requests.front().headerValues("X-OSX-NUMBER"), ElementsAre(serial));
}

TEST_F(QtUrlSessionTest, LongBodiesAreCutAtOneMebibyteAndTheStatusStillArrives) {
    // 3 MiB: sixteen bytes repeated.
    ASSERT_TRUE(service_->setBehaviour(
        R"({"path":")" + arrivalPath +
        R"(","status":200,"body":"0123456789abcdef","repeat":196608,"times":1})"));
    const Completed completed = transfer(*session_, stampRequest());
    ASSERT_FALSE(completed.result.error.has_value());
    EXPECT_EQ(completed.result.response->statusCode, 200);
    ASSERT_TRUE(completed.result.body.has_value());
    ASSERT_EQ(completed.result.body->size(), 1024u * 1024u);
    EXPECT_EQ(completed.result.body->substr(0, 20), "0123456789abcdef0123");

    // The rest is never waited for; the next stamp is served all the same.
    EXPECT_EQ(
        transfer(*session_, stampRequest()).result.response.value_or(HttpResponse{}).statusCode,
        200);
}

TEST_F(QtUrlSessionTest, TransfersStartedFromTheDeliveryThreadCompleteThereOnce) {
    // As the retry step and the resend scan do: new transfers from inside a completion.
    constexpr int fresh = 6;
    std::atomic<int> completions{0};
    std::atomic<int> unexpected{0}; // off the delivery thread, or failed
    std::promise<void> allDone;
    const QThread* delivery = session_->deliveryThread();
    const auto count = [&](const TransferResult& result) {
        if (QThread::currentThread() != delivery || result.error) {
            ++unexpected;
        }
        if (++completions == 2 * fresh) {
            allDone.set_value();
        }
    };
    for (int index = 0; index < fresh; ++index) {
        const HttpRequest resend =
            stampRequest(leavingPath, "2024040100000" + std::to_string(index));
        session_->dataTask(stampRequest(arrivalPath, "2024040112000" + std::to_string(index)),
                           [this, resend, count](TransferResult result) {
                               count(result);
                               session_->dataTask(resend, count);
                           });
    }
    ASSERT_EQ(allDone.get_future().wait_for(completionCap), std::future_status::ready);
    EXPECT_EQ(unexpected, 0);

    const auto requests = received(*service_);
    ASSERT_THAT(requests, SizeIs(2 * fresh));
    std::vector<std::string> tims;
    for (const ServiceRequest& request : requests) {
        tims.push_back(request.query);
    }
    std::sort(tims.begin(), tims.end());
    EXPECT_EQ(std::unique(tims.begin(), tims.end()), tims.end());
    // No completion runs twice, even a while later.
    EXPECT_EQ(completions, 2 * fresh);
}

// More transfers than are handed to Qt at once: the ones kept waiting must each still be sent,
// or time out by their own deadline, and complete exactly once.
TEST_F(QtUrlSessionTest, ABacklogBeyondTheTransfersInFlightCompletesEveryTransferOnce) {
    constexpr int backlog = 150;
    constexpr int silent = 40;
    ASSERT_TRUE(service_->silence(leavingPath));
    std::mutex mutex;
    std::map<std::string, std::vector<TransferResult>> results; // by tim
    std::promise<void> allDone;
    int completions = 0;
    const auto ask = [&](const std::string& path, const std::string& tim, double timeout) {
        HttpRequest request = stampRequest(path, tim);
        request.timeoutSeconds = timeout;
        session_->dataTask(request, [&, tim](TransferResult result) {
            const std::lock_guard lock(mutex);
            results[tim].push_back(std::move(result));
            if (++completions == backlog + silent) {
                allDone.set_value();
            }
        });
    };
    // The silent ones first, so that answered ones queue behind transfers that never end.
    for (int index = 0; index < silent; ++index) {
        ask(leavingPath, "202404011" + std::to_string(10000 + index), 1.0);
    }
    for (int index = 0; index < backlog; ++index) {
        ask(arrivalPath, "202404010" + std::to_string(10000 + index), 60.0);
    }
    ASSERT_EQ(allDone.get_future().wait_for(completionCap), std::future_status::ready);

    const std::lock_guard lock(mutex);
    ASSERT_THAT(results, SizeIs(backlog + silent));
    int answered = 0;
    int timedOut = 0;
    for (const auto& [tim, outcomes] : results) {
        ASSERT_THAT(outcomes, SizeIs(1)) << tim;
        const TransferResult& result = outcomes.front();
        if (tim.starts_with("2024040101")) { // an arrival
            ASSERT_TRUE(result.response.has_value()) << tim;
            EXPECT_EQ(result.response->statusCode, 200) << tim;
            answered += result.error ? 0 : 1;
        } else {
            ASSERT_TRUE(result.error.has_value()) << tim;
            EXPECT_EQ(result.error->kind, "TimeoutError") << tim;
            ++timedOut;
        }
    }
    EXPECT_EQ(answered, backlog);
    EXPECT_EQ(timedOut, silent);
    std::set<std::string> arrivals;
    for (const ServiceRequest& request : received(*service_)) {
        if (request.path == arrivalPath) {
            arrivals.insert(request.query);
        }
    }
    EXPECT_THAT(arrivals, SizeIs(backlog));
}

// Start-up connects ahead of the arrival stamp: the connection must be of the kind the transfers
// use, carry nothing by itself, and relax no check of the certificate.
TEST_F(QtUrlSessionTest, APreconnectedConnectionCarriesTheFirstTransferAndNothingElse) {
    session_->preconnect(service_->origin());
    ASSERT_TRUE(QTest::qWaitFor([&] { return service_->connections() == 1; }, 30000));
    EXPECT_THAT(received(*service_), IsEmpty());

    const Completed completed = transfer(*session_, stampRequest());
    ASSERT_TRUE(completed.result.response.has_value());
    EXPECT_EQ(completed.result.response->statusCode, 200);
    const auto requests = received(*service_);
    ASSERT_THAT(requests, SizeIs(1));
    EXPECT_EQ(requests.front().connection, 1);
    EXPECT_EQ(service_->connections(), 1);
}

TEST_F(QtUrlSessionTest, StoppingDropsUnfinishedTransfersWithoutRunningTheirCompletions) {
    ASSERT_TRUE(service_->silence(arrivalPath));
    std::atomic<bool> completed{false};
    // Held by each completion: when it is the only owner left, the completions are gone.
    const auto token = std::make_shared<int>(0);
    session_->dataTask(stampRequest(), [&completed, token](TransferResult) { completed = true; });

    // Wait until the request is at the service, so that it is truly in flight.
    bool arrived = false;
    for (int attempt = 0; attempt < 1000 && !arrived; ++attempt) {
        arrived = !received(*service_).empty();
        if (!arrived) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ASSERT_TRUE(arrived);
    session_->stop();
    EXPECT_FALSE(completed);
    EXPECT_EQ(token.use_count(), 1);

    // Asked for after the end, a transfer is dropped at once.
    session_->dataTask(stampRequest(), [&completed, token](TransferResult) { completed = true; });
    EXPECT_EQ(token.use_count(), 1);
    session_.reset();
    EXPECT_FALSE(completed);
    EXPECT_THAT(received(*service_), SizeIs(1));
}

} // namespace
} // namespace talverin::testing
