// The request core against a server that misbehaves: the local server behind a proxy that
// trickles an answer or sends a gigabyte of JSON. Every request ends by its deadline and no answer
// is read past its bound, on every JSON route.

#include "backend/api_client.h"
#include "backend/session_token_store.h"
#include "platform/network.h"
#include "support/faulty_proxy.h"
#include "support/local_server.h"
#include "support/test_support.h"
#include "helpers_backend.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#include <functional>
#include <tuple>

using namespace hf;
using namespace std::chrono_literals;
using hf::test::FaultyProxy;
using hf::test::LocalServer;
using hf::test::expectAPIError;
using hf::test::runTask;

namespace {

// The most resident memory this process has had so far, in bytes (0 when unknown).
qint64 peakResidentBytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong() * 1024;
    return 0;
}

} // namespace

class TestRequestBounds : public QObject {
    Q_OBJECT

    std::unique_ptr<LocalServer> server;
    std::unique_ptr<FaultyProxy> proxy;
    std::unique_ptr<QNetworkAccessManager> session;
    InMemoryTokenStore tokens;
    std::unique_ptr<APIClient> api;
    QString jobID;

    struct Route {
        const char* method;
        const char* path;
        std::function<void()> call;
    };

    // Every JSON route of the client, each one call of its operation.
    std::vector<Route> routes()
    {
        return {
            {"POST", "/api/auth/sign-in/anonymous", [this] { runTask(api->signInAnonymously()); }},
            {"GET", "/api/auth/get-session", [this] { runTask(api->getSession()); }},
            {"GET", "/v1/me", [this] { runTask(api->account()); }},
            {"POST", "/v1/jobs", [this] { runTask(api->createJob(jobRequest())); }},
            {"GET", "/v1/jobs/[^/]+", [this] { runTask(api->job(jobID)); }},
            {"POST", "/v1/jobs/[^/]+/cancel", [this] { runTask(api->cancelJob(jobID)); }},
        };
    }

    static CreateJobRequest jobRequest()
    {
        CreateJobRequest request;
        request.kind = JobKind::full;
        request.durationSeconds = 12;
        request.contentType = QStringLiteral("audio/mp4");
        return request;
    }

private Q_SLOTS:
    void initTestCase()
    {
        server = std::make_unique<LocalServer>();
        proxy = std::make_unique<FaultyProxy>(server->port());
        session.reset(makeEphemeralNetworkSession(nullptr));
        api = std::make_unique<APIClient>(proxy->baseUrl(), session.get(), &tokens);
        runTask(api->signInAnonymously());
        jobID = runTask(api->createJob(jobRequest())).job.id;
    }

    void init()
    {
        proxy->clear();
        api->setRequestDeadline(2min);
        api->setMaxAnswerBytes(APIClient::defaultMaxAnswerBytes);
        // A replaced answer may leave its connection half read; start afresh.
        session->clearConnectionCache();
    }

    void trickledAnswerEndsAtTheDeadline()
    {
        // One byte every 200 ms restarts the inactivity timer each time; only the deadline ends it.
        api->setRequestDeadline(700ms);
        for (const Route& route : routes()) {
            init();
            api->setRequestDeadline(700ms);
            proxy->replace(route.method, route.path, FaultyProxy::Answer::trickle);
            QElapsedTimer clock;
            clock.start();
            const APIError e = expectAPIError(route.call);
            QVERIFY2(e.kind() == APIError::Case::network, route.path);
            QCOMPARE(e.description(), QStringLiteral("The request timed out."));
            QVERIFY2(clock.elapsed() < 6000, route.path);
            QCOMPARE(proxy->replaced(), 1);
        }
        // The same routes answer normally afterwards.
        init();
        QCOMPARE(runTask(api->job(jobID)).id, jobID);
    }

    void gigabyteAnswerIsRefusedUnread_data()
    {
        QTest::addColumn<int>("answer");
        QTest::newRow("length announced") << int(FaultyProxy::Answer::hugeWithLength);
        QTest::newRow("chunked") << int(FaultyProxy::Answer::hugeChunked);
        QTest::newRow("gzip-encoded") << int(FaultyProxy::Answer::gzipFlood);
    }

    void gigabyteAnswerIsRefusedUnread()
    {
        QFETCH(int, answer);
        const qint64 before = peakResidentBytes();
        for (const Route& route : routes()) {
            init();
            proxy->replace(route.method, route.path, FaultyProxy::Answer(answer));
            QElapsedTimer clock;
            clock.start();
            const APIError e = expectAPIError(route.call);
            QVERIFY2(e.kind() == APIError::Case::invalidResponse, route.path);
            QVERIFY2(clock.elapsed() < 10000, route.path);
            QCOMPARE(proxy->replaced(), 1);
        }
        // Six gigabyte answers later the process has never held much more than the bound of one
        // answer at a time, however fast they came.
        const qint64 grown = peakResidentBytes() - before;
        QVERIFY2(grown < 64 * 1024 * 1024, qPrintable(QString::number(grown)));

        // A bound set lower refuses an ordinary answer that is longer, and lets a shorter one by.
        init();
        api->setMaxAnswerBytes(16);
        QCOMPARE(expectAPIError([&] { runTask(api->job(jobID)); }).kind(), APIError::Case::invalidResponse);
        api->setMaxAnswerBytes(64 * 1024);
        QCOMPARE(runTask(api->job(jobID)).id, jobID);
    }

    // An answer cut off mid-body, sent elsewhere or malformed is refused as what it is, on every
    // JSON route: a lost connection (with the network's message, never an update prompt), an
    // unexpected response (a redirect leads nowhere this client asked for), or a fault of the
    // server (a success with no body, or one that names a key twice and so says two things; the
    // session routes read their answers leniently and are left out there).
    void brokenAnswersSayWhatWentWrong()
    {
        const std::tuple<FaultyProxy::Answer, APIError::Case, bool> broken[] = {
            {FaultyProxy::Answer::cutShort, APIError::Case::network, true},
            {FaultyProxy::Answer::redirect, APIError::Case::invalidResponse, true},
            {FaultyProxy::Answer::emptySuccess, APIError::Case::server, false},
            {FaultyProxy::Answer::repeatedKeys, APIError::Case::server, false},
        };
        for (const auto& [answer, expected, sessionRoutes] : broken) {
            for (const Route& route : routes()) {
                if (!sessionRoutes && QByteArray(route.path).startsWith("/api/auth"))
                    continue;
                init();
                proxy->replace(route.method, route.path, answer);
                const APIError e = expectAPIError(route.call);
                QVERIFY2(e.kind() == expected, route.path);
                QVERIFY2(!e.localizedDescription().contains(u"update"), route.path);
                QCOMPARE(proxy->replaced(), 1);
            }
        }
    }

    // An answer in the codings the client asked for, in any list, is read; one in a coding it
    // cannot undo, or whose compressed data stops short, is refused as a broken or cut answer.
    void encodedAnswersAreReadOrRefusedAsWhatTheyAre()
    {
        using Encode = std::function<std::string(const std::string&)>;
        const auto as = [](int bits) { return [bits](const std::string& b) { return FaultyProxy::compress(b, bits); }; };
        const Encode gzip = as(FaultyProxy::gzip);
        const std::tuple<const char*, Encode, std::optional<APIError::Case>> codings[] = {
            {"gzip", gzip, {}},
            {"x-gzip", gzip, {}},
            {"deflate", as(FaultyProxy::zlib), {}},
            {"deflate", as(FaultyProxy::rawDeflate), {}},
            {"gzip, identity", gzip, {}},
            {"identity,gzip", gzip, {}},
            {"deflate, gzip", [&](const std::string& b) { return gzip(as(FaultyProxy::zlib)(b)); }, {}},
            {"gzip", [&](const std::string& b) { return gzip(b.substr(0, 10)) + gzip(b.substr(10)); }, {}},
            {"gzip, gzip, gzip, gzip, gzip", [&](const std::string& b) { return gzip(gzip(gzip(gzip(gzip(b))))); },
             APIError::Case::server},
            {"br", [](const std::string& b) { return b; }, APIError::Case::server},
            {"gzip", [&](const std::string& b) { return gzip(b).substr(0, gzip(b).size() - 6); }, APIError::Case::network},
        };
        for (const auto& [coding, encode, refused] : codings) {
            init();
            proxy->reshape("GET", "/v1/jobs/[^/]+", [coding, encode](int&, std::string& body, httplib::Headers& headers) {
                body = encode(body);
                headers.emplace("Content-Encoding", coding);
            });
            if (!refused) {
                QCOMPARE(runTask(api->job(jobID)).id, jobID);
                continue;
            }
            const APIError e = expectAPIError([&] { runTask(api->job(jobID)); });
            QVERIFY2(e.kind() == *refused, coding);
            QVERIFY2(e.kind() != APIError::Case::network || e.isCutOff(), coding);
        }
    }

    // A job's answer that describes another job is refused with a message of its own, and the
    // bound on an answer's size lets through exactly that many bytes.
    void answersAboutAnotherJobAndTheSizeBound()
    {
        const Route jobRoutes[] = {
            {"GET", "/v1/jobs/[^/]+", [this] { runTask(api->job(jobID)); }},
            {"POST", "/v1/jobs/[^/]+/start", [this] { runTask(api->startJob(jobID)); }},
            {"POST", "/v1/jobs/[^/]+/claim-check", [this] { runTask(api->startClaimCheck(jobID)); }},
        };
        for (const Route& route : jobRoutes) {
            init();
            proxy->rewrite(route.method, route.path, [](int& status, std::string& body) {
                status = 200;
                body = R"({"job":{"id":"job_other","kind":"full","status":"queued","durationSeconds":12}})";
            });
            const APIError e = expectAPIError(route.call);
            QCOMPARE(e.localizedDescription(),
                     QStringLiteral("Hushframe's servers answered about another job. Nothing from that answer was "
                                    "kept. Please try again."));
        }

        init();
        const qint64 size = runTask(api->send(QStringLiteral("GET"), QStringLiteral("/v1/jobs/") + jobID,
                                              std::nullopt, true, false, false)).body.size();
        api->setMaxAnswerBytes(size);
        QCOMPARE(runTask(api->job(jobID)).id, jobID);
        api->setMaxAnswerBytes(size - 1);
        QCOMPARE(expectAPIError([&] { runTask(api->job(jobID)); }).kind(), APIError::Case::invalidResponse);

        // So does the bound on the body as sent: gzip that only stores the JSON (so larger than it).
        const qint64 sent = qint64(FaultyProxy::compress(std::string(size_t(size), ' '), FaultyProxy::gzip, 0).size());
        for (const qint64 bound : {sent, sent - 1}) {
            init();
            api->setMaxAnswerBytes(bound);
            proxy->reshape("GET", "/v1/jobs/[^/]+", [](int&, std::string& body, httplib::Headers& headers) {
                body = FaultyProxy::compress(body, FaultyProxy::gzip, 0);
                headers.emplace("Content-Encoding", "gzip");
            });
            const auto read = [&] { return runTask(api->job(jobID)).id; };
            QVERIFY(bound == sent ? read() == jobID : expectAPIError(read).kind() == APIError::Case::invalidResponse);
        }
    }

    void cleanupTestCase()
    {
        api.reset();
        session.reset();
        proxy.reset();
        server.reset();
    }
};

QTEST_GUILESS_MAIN(TestRequestBounds)
#include "test_request_bounds.moc"
