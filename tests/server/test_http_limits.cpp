// What a careless or hostile local client can do to the service over loopback: clients that send
// their headers slowly, uploads refused while they run, bytes sent after a refusal, and the modes
// of the files the service keeps. (Bodies past their limit: test_http_program.) Then each bound of
// the connections on their own, made small: the head's and a bounded body's overall deadlines,
// which connection makes room in a full waiting set, and a body of exactly its limit.

#include "http/connections.h"
#include "test_http_support.h"
#include "support/small_disk.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QtTest>

#include <dlfcn.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>

using namespace hf::test::http;
using hf::test::waitUntil;
using namespace std::chrono_literals;

// Every fsync and fdatasync of this process (SQLite's commits use the latter) records the path it
// flushed, so that a test sees which writes reached the disk before they were answered.
namespace {
std::mutex g_syncedMutex;
std::vector<std::string> g_synced;

std::vector<std::string> takeSynced()
{
    std::lock_guard lock(g_syncedMutex);
    return std::exchange(g_synced, {});
}

int recordSync(int fd, const char* name)
{
    using Sync = int (*)(int);
    const auto real = reinterpret_cast<Sync>(::dlsym(RTLD_NEXT, name));
    std::error_code error;
    const std::filesystem::path target = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), error);
    if (!error) {
        std::lock_guard lock(g_syncedMutex);
        g_synced.push_back(target.string());
    }
    return real(fd);
}
} // namespace

extern "C" int fsync(int fd)
{
    return recordSync(fd, "fsync");
}

extern "C" int fdatasync(int fd)
{
    return recordSync(fd, "fdatasync");
}

namespace {

// A request that must never run when it arrives as the unread body of a refused one.
const std::string kSmuggled = "POST /api/auth/sign-in/anonymous HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                              "Content-Type: application/json\r\nContent-Length: 2\r\n\r\n{}";

bool hasPartialUpload(const QString& folder)
{
    return !QDir(folder).entryList({"input.part-*"}, QDir::Files).isEmpty();
}

// A bare bounded server with `limits` and a body limit of `bodyLimit` on every route; POST /echo
// answers the length of the body it got, GET / an empty 200.
class BoundServer {
public:
    BoundServer(const hf::server::ConnectionLimits& limits, std::uint64_t bodyLimit)
    {
        m_http.bodyLimit = [bodyLimit](const httplib::Request&) { return bodyLimit; };
        m_http.Get("/", [](const httplib::Request&, httplib::Response& res) { res.set_content("", "text/plain"); });
        m_http.Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(std::to_string(req.body.size()), "text/plain");
        });
        m_http.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
            if (hf::server::bodyOverLimit())
                res.status = 413;
            return httplib::Server::HandlerResponse::Unhandled;
        }));
        port = m_http.bind_to_any_port("127.0.0.1");
        m_http.startConnections(limits);
        m_listener = std::thread([this] { m_http.listen_after_bind(); });
        waitUntil([this] { return m_http.is_running(); }, 5000);
    }
    ~BoundServer()
    {
        m_http.stop();
        m_listener.join();
    }

    int port = -1;

private:
    hf::server::BoundedServer m_http;
    std::thread m_listener;
};

// Sends one piece of `pieces` every `pauseMs` until the server answers or closes; returns how
// long that took, or -1 when it let every piece in without either.
qint64 trickle(RawConnection& connection, const std::vector<std::string>& pieces, int pauseMs)
{
    QElapsedTimer timer;
    timer.start();
    for (const std::string& piece : pieces) {
        if (!connection.send(piece) || connection.answered() || connection.closed())
            return timer.elapsed();
        connection.wait(pauseMs);
        if (connection.answered() || connection.closed())
            return timer.elapsed();
    }
    return -1;
}

} // namespace

class HttpLimitsTest : public QObject {
    Q_OBJECT

private slots:
    void slowClientsHoldNoWorker()
    {
        QTemporaryDir data;
        auto options = optionsIn(data);
        options.headSeconds = 2;
        LocalServer server(options);
        httplib::Client client(server.url());
        client.set_read_timeout(5);
        std::string token = signInAnonymously(client);
        QVERIFY(!token.empty());

        // 100 clients that send one header line every quarter second and never finish.
        std::vector<std::unique_ptr<RawConnection>> slow;
        for (int i = 0; i < 100; ++i) {
            slow.push_back(std::make_unique<RawConnection>(server.port()));
            QVERIFY(slow.back()->isOpen());
            slow.back()->send("GET /v1/me HTTP/1.1\r\nHost: 127.0.0.1\r\n");
        }
        std::atomic<bool> done{false};
        QElapsedTimer sinceStart;
        sinceStart.start();
        std::thread trickle([&] {
            for (int round = 0; round < 20 && !done; ++round) {
                for (auto& c : slow)
                    if (!c->closed())
                        c->send("X-Slow-" + std::to_string(round) + ": 1\r\n", 100);
                std::this_thread::sleep_for(250ms);
            }
        });

        // Everyone else is answered as usual meanwhile.
        qint64 slowest = 0;
        for (int i = 0; i < 20; ++i) {
            QElapsedTimer timer;
            timer.start();
            auto me = client.Get("/v1/me", bearer(token));
            QVERIFY(me && me->status == 200);
            slowest = std::max(slowest, timer.elapsed());
            std::this_thread::sleep_for(100ms);
        }
        done = true;
        trickle.join();
        QVERIFY2(slowest < 2000, QByteArray::number(slowest));

        // Each slow client was let go after the bounded time, though it kept sending.
        for (auto& c : slow)
            QVERIFY(c->closed() || c->waitForClose(2000));
        QVERIFY2(sinceStart.elapsed() < 8000, QByteArray::number(sinceStart.elapsed()));
        QCOMPARE(slow.front()->statusLine(), std::string("HTTP/1.1 408 Request Timeout"));
    }

    void refusedUploadsAreAnsweredAtOnce()
    {
        QTemporaryDir data;
        LocalServer server(optionsIn(data));
        httplib::Client owner(server.url());
        httplib::Client other(server.url());
        std::string ownerToken = signInAnonymously(owner);
        std::string otherToken = signInAnonymously(other);
        QJsonObject body{{"kind", "full"}, {"durationSeconds", 30.0}, {"contentType", "audio/mp4"}};
        auto answer = json(postJson(owner, "/v1/jobs", ownerToken, body));
        std::string id = answer["job"][u"id"].toString().toStdString();
        std::string uploadPath = pathOf(answer["upload"][u"url"].toString());
        QString folder = data.filePath("jobs/" + QString::fromStdString(id));

        // A throttled upload under way...
        RawConnection upload(server.port());
        const std::uint64_t total = std::uint64_t(8) << 20;
        upload.send(head("PUT " + uploadPath, "Content-Type: audio/mp4\r\nContent-Length: " + std::to_string(total) + "\r\n"));
        std::uint64_t sent = upload.sendUntilAnswered(256 * 1024, spaces);
        QVERIFY(waitUntil([&] { return hasPartialUpload(folder); }, 5000));

        // ...is canceled: its client hears 409 at once, while still sending, and the connection ends.
        QElapsedTimer timer;
        timer.start();
        auto canceled = postJson(owner, "/v1/jobs/" + id + "/cancel", ownerToken);
        QCOMPARE(json(canceled)["job"][u"status"].toString(), QString("canceled"));
        upload.sendUntilAnswered(total - sent, spaces, 16 * 1024, 50);
        QVERIFY(upload.answered());
        QCOMPARE(upload.statusLine(), std::string("HTTP/1.1 409 Conflict"));
        QVERIFY2(timer.elapsed() < 3000, QByteArray::number(timer.elapsed()));
        QVERIFY(upload.waitForClose(5000));
        QCOMPARE(upload.answerCount(), 1);
        QVERIFY(!QDir(folder).exists());

        // Another account's job actions go on meanwhile without waiting for the upload.
        auto otherJob = json(postJson(other, "/v1/jobs", otherToken, body))["job"][u"id"].toString().toStdString();
        RawConnection second(server.port());
        auto secondAnswer = json(postJson(owner, "/v1/jobs", ownerToken, body));
        second.send(head("PUT " + pathOf(secondAnswer["upload"][u"url"].toString()),
                         "Content-Type: audio/mp4\r\nContent-Length: " + std::to_string(total) + "\r\n"));
        second.sendUntilAnswered(256 * 1024, spaces);
        postJson(owner, "/v1/jobs/" + secondAnswer["job"][u"id"].toString().toStdString() + "/cancel", ownerToken);
        for (const char* action : {"/start", "/cancel", "/promote"}) {
            QElapsedTimer beside;
            beside.start();
            auto r = postJson(other, "/v1/jobs/" + otherJob + action, otherToken, {{"durationSeconds", 30.0}});
            QVERIFY(r);
            QVERIFY2(beside.elapsed() < 2000, action);
        }
        second.sendUntilAnswered(total, spaces, 16 * 1024, 20);
        QCOMPARE(second.statusLine(), std::string("HTTP/1.1 409 Conflict"));
    }

    void nothingAfterARefusalRunsAsARequest()
    {
        QTemporaryDir data;
        auto options = optionsIn(data);
        options.anonymousLimit = 1;
        LocalServer server(options);
        httplib::Client client(server.url());
        std::string token = signInAnonymously(client); // uses up this address's one anonymous sign-in
        auto answer = json(postJson(client, "/v1/jobs", token,
                                    {{"kind", "full"}, {"durationSeconds", 5.0}, {"contentType", "audio/mp4"}}));
        std::string uploadPath = pathOf(answer["upload"][u"url"].toString());
        std::string wrongKey = uploadPath.substr(0, uploadPath.find("key=") + 4) + "nope";

        struct Case {
            const char* name;
            std::string request;
            const char* status;
        };
        const Case cases[] = {
            {"chunked upload with a wrong key",
             head("PUT " + wrongKey, "Content-Type: audio/mp4\r\nTransfer-Encoding: chunked\r\n") + kSmuggled,
             "HTTP/1.1 403 Forbidden"},
            {"upload with a wrong key and its whole body",
             head("PUT " + wrongKey, "Content-Type: audio/mp4\r\nContent-Length: "
                                         + std::to_string(kSmuggled.size()) + "\r\n")
                 + kSmuggled + kSmuggled,
             "HTTP/1.1 403 Forbidden"},
            {"JSON body stated past the limit",
             head("POST /v1/jobs", "Content-Type: application/json\r\nContent-Length: 2000000\r\n") + kSmuggled,
             "HTTP/1.1 413 Payload Too Large"},
        };
        for (const auto& c : cases) {
            RawConnection connection(server.port());
            connection.send(c.request);
            QVERIFY2(connection.waitForClose(5000), c.name);
            QCOMPARE(connection.statusLine(), std::string(c.status));
            QVERIFY2(connection.answerCount() == 1, c.name);
        }
        // Had a smuggled sign-in run, it would have been refused by the limit, not missing: the
        // address still has no sign-in to spare and no other account was made.
        QCOMPARE(client.Post("/api/auth/sign-in/anonymous", "{}", "application/json")->status, 429);
    }

    // A head must come whole within its time of the opening, however steadily its bytes trickle;
    // so must a bounded body within its own, though no read stalls.
    void trickledHeadsAndBodiesMeetTheirDeadlines()
    {
        hf::server::ConnectionLimits limits;
        limits.headTime = 600ms;
        limits.boundedBodyTime = 600ms;
        BoundServer server(limits, 1 << 20);

        RawConnection slowHead(server.port);
        std::vector<std::string> headPieces{"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n"};
        for (int i = 0; i < 40; ++i)
            headPieces.push_back("X-Slow-" + std::to_string(i) + ": 1\r\n");
        const qint64 headTook = trickle(slowHead, headPieces, 100);
        QVERIFY2(headTook >= 0 && headTook < 2500, QByteArray::number(headTook));
        QVERIFY(slowHead.waitForClose(2000));
        QCOMPARE(slowHead.statusLine(), std::string("HTTP/1.1 408 Request Timeout"));

        RawConnection slowBody(server.port);
        std::vector<std::string> bodyPieces{head("POST /echo", "Content-Length: 40\r\n")};
        for (int i = 0; i < 40; ++i)
            bodyPieces.push_back(" ");
        const qint64 bodyTook = trickle(slowBody, bodyPieces, 100);
        QVERIFY2(bodyTook >= 0 && bodyTook < 2500, QByteArray::number(bodyTook));
        QVERIFY(slowBody.waitForAnswer(2000));
        QVERIFY2(slowBody.statusLine() != "HTTP/1.1 200 OK", slowBody.statusLine().c_str());

        // A quick client in the same bounds is served.
        RawConnection quick(server.port);
        quick.send(head("POST /echo", "Content-Length: 3\r\n") + "abc");
        QVERIFY(quick.waitForAnswer(2000));
        QCOMPARE(quick.statusLine(), std::string("HTTP/1.1 200 OK"));
    }

    // With the waiting set full, the connection that has waited longest is closed for a new one;
    // the others are still served.
    void aFullWaitingSetDropsTheStalest()
    {
        hf::server::ConnectionLimits limits;
        limits.headTime = 10s;
        limits.maxWaiting = 2;
        BoundServer server(limits, 1 << 20);

        std::vector<std::unique_ptr<RawConnection>> waiting;
        for (int i = 0; i < 3; ++i) {
            waiting.push_back(std::make_unique<RawConnection>(server.port));
            QVERIFY(waiting.back()->send("GET / HTTP/1.1\r\n"));
            // In the waiting set before the next one opens.
            waiting.back()->wait(100);
        }
        QVERIFY(waiting[0]->waitForClose(3000));
        for (int i : {1, 2}) {
            QVERIFY(!waiting[i]->closed());
            QVERIFY(waiting[i]->send("Host: 127.0.0.1\r\n\r\n"));
            QVERIFY(waiting[i]->waitForAnswer(3000));
            QCOMPARE(waiting[i]->statusLine(), std::string("HTTP/1.1 200 OK"));
        }
    }

    // A body of exactly its limit is taken, with or without a stated length; a byte more is 413.
    void aBodyOfExactlyItsLimitPasses()
    {
        BoundServer server(hf::server::ConnectionLimits{}, 100);
        for (const bool stated : {true, false}) {
            for (const size_t size : {size_t(100), size_t(101)}) {
                const std::string body(size, 'x');
                RawConnection connection(server.port);
                connection.send(head("POST /echo", stated ? "Content-Length: " + std::to_string(size) + "\r\n" : ""));
                connection.send(body);
                if (!stated)
                    connection.finishSending();
                QVERIFY(connection.waitForAnswer(5000));
                const std::string what = (stated ? "stated " : "unstated ") + std::to_string(size);
                QVERIFY2(connection.statusLine() == (size == 100 ? "HTTP/1.1 200 OK" : "HTTP/1.1 413 Payload Too Large"),
                         (what + ": " + connection.statusLine()).c_str());
            }
        }
    }

    // An upload is kept only when all of it arrived within the job's allowance and is on the
    // disk: a cut-off body is refused (400), a declared length past the allowance at once (413),
    // a full disk with 507; none leaves a file. A whole one is flushed, with the record that it
    // arrived, before it is answered; a job's stems and its success likewise before it reads
    // "succeeded".
    void uploadsAreKeptWholeOrNotAtAll_data()
    {
        QTest::addColumn<double>("seconds");      // the job's declared duration
        QTest::addColumn<qint64>("declared");     // -1: the size of a one-second tone, sent as the body
        QTest::addColumn<qint64>("sent");
        QTest::addColumn<bool>("smallDisk");
        QTest::addColumn<bool>("chunked");        // sent in chunks, the length still declared
        QTest::addColumn<QString>("status");
        const qint64 MiB = 1 << 20;
        QTest::newRow("whole") << 30.0 << 256 * 1024LL << 256 * 1024LL << false << false << "200 OK";
        QTest::newRow("whole, then separated") << 30.0 << -1LL << -1LL << false << false << "200 OK";
        QTest::newRow("cut off") << 30.0 << MiB << MiB / 2 << false << false << "400 Bad Request";
        QTest::newRow("fewer chunks than declared") << 30.0 << 64 * 1024LL << 32 * 1024LL << false << true << "400 Bad Request";
        QTest::newRow("past the allowance") << 1.0 << 9 * MiB + 1 << 0LL << false << false << "413 Payload Too Large";
        QTest::newRow("full disk") << 30.0 << 4 * MiB << 4 * MiB << true << false << "507 Insufficient Storage";
    }

    void uploadsAreKeptWholeOrNotAtAll()
    {
        QFETCH(double, seconds);
        QFETCH(qint64, declared);
        QFETCH(qint64, sent);
        QFETCH(bool, smallDisk);
        QFETCH(bool, chunked);
        QFETCH(QString, status);
        QTemporaryDir plain;
        std::string audio;
        if (declared < 0) {
            if (!hf::test::haveProgram("ffmpeg"))
                QSKIP("ffmpeg is needed to make the audio fixture");
            QVERIFY(makeAudio(plain.filePath("tone.m4a"), "sine=frequency=440:duration=1", {"-c:a", "aac"}));
            audio = readFile(plain.filePath("tone.m4a"));
            declared = sent = qint64(audio.size());
        }
        std::optional<hf::test::SmallDisk> disk;
        if (smallDisk)
            disk.emplace(2 << 20, 2 << 20);
        const QString dataDir = disk ? disk->path() : plain.path();
        hf::server::ServerOptions options;
        options.dataDir = dataDir.toStdString();
        LocalServer server(options);
        httplib::Client client(server.url());
        const std::string token = signInAnonymously(client);
        auto answer = json(postJson(client, "/v1/jobs", token,
                                    {{"kind", "full"}, {"durationSeconds", seconds}, {"contentType", "audio/mp4"}}));
        const std::string id = answer["job"][u"id"].toString().toStdString();
        const QString folder = dataDir + "/jobs/" + QString::fromStdString(id);

        takeSynced();
        RawConnection upload(server.port());
        upload.send(head("PUT " + pathOf(answer["upload"][u"url"].toString()),
                         "Content-Type: audio/mp4\r\nContent-Length: " + std::to_string(declared) + "\r\n"
                             + (chunked ? "Transfer-Encoding: chunked\r\n" : "")));
        if (chunked) {
            upload.send(QByteArray::number(sent, 16).toStdString() + "\r\n" + std::string(size_t(sent), ' ') + "\r\n0\r\n\r\n");
        } else if (!audio.empty()) {
            upload.send(audio);
        } else {
            upload.sendUntilAnswered(std::uint64_t(sent), spaces);
            if (sent < declared)
                upload.finishSending();
        }
        QVERIFY(upload.waitForAnswer(10000));
        QCOMPARE(QString::fromStdString(upload.statusLine()), "HTTP/1.1 " + status);
        const QStringList kept = QDir(folder).entryList(QDir::Files);
        if (status != u"200 OK") {
            QCOMPARE(kept, QStringList());
            return;
        }
        QCOMPARE(kept, QStringList{"input"});
        QCOMPARE(QFileInfo(folder + "/input").size(), declared);
        // Each path flushed, or each one with this start when it ends in "-".
        auto flushed = [](const std::vector<std::string>& synced, const std::vector<std::string>& expected) {
            for (const std::string& what : expected)
                QVERIFY2(std::ranges::any_of(synced, [&](const std::string& path) {
                             return path.ends_with(what) || (what.ends_with('-') && path.find(what) != std::string::npos);
                         }),
                         what.c_str());
        };
        const std::string wal = "/server.sqlite-wal";
        flushed(takeSynced(), {id + "/input.part-", folder.toStdString(), wal});
        if (audio.empty())
            return;
        QCOMPARE(postJson(client, "/v1/jobs/" + id + "/start", token)->status, 200);
        QVERIFY(hasStatus(waitForJob(client, token, id, [](auto& j) { return hasStatus(j, "succeeded"); }), "succeeded"));
        flushed(takeSynced(), {id + "/stems/dialogue.flac", id + "/stems/music.flac", id + "/stems/effects.flac",
                               id + "/stems"});
    }

    // A connection serves its limit of requests and no more: the last answer says it closes.
    void aConnectionServesItsLimitOfRequests()
    {
        hf::server::ConnectionLimits limits;
        limits.requestsPerConnection = 3;
        BoundServer server(limits, 100);
        RawConnection connection(server.port);
        std::string requests;
        for (int i = 0; i < 4; ++i)
            requests += head("GET /", "");
        connection.send(requests);
        QVERIFY(connection.waitForClose(5000));
        QCOMPARE(connection.answerCount(), 3);
    }

    void filesArePrivateUnderAnOpenUmask()
    {
        if (!hf::test::haveProgram("ffmpeg"))
            QSKIP("ffmpeg is needed to make the audio fixture");
        QTemporaryDir fixtures;
        QString tone = fixtures.filePath("tone.m4a");
        QVERIFY(makeAudio(tone, "sine=frequency=440:duration=1", {"-c:a", "aac"}));

        const mode_t previous = ::umask(022);
        struct Restore {
            mode_t mask;
            ~Restore() { ::umask(mask); }
        } restore{previous};
        QTemporaryDir parent;
        hf::server::ServerOptions options;
        options.dataDir = parent.filePath("data").toStdString();
        LocalServer server(options);
        httplib::Client client(server.url());
        std::string token = signInAnonymously(client);
        std::string id = runJob(client, token, tone, 1);
        QVERIFY(!id.empty());
        QVERIFY(hasStatus(waitForJob(client, token, id, [](auto& j) { return hasStatus(j, "succeeded"); }), "succeeded"));
        QCOMPARE(client.Post("/feedback", R"({"app":"Hushframe","message":"hi","timestamp":"2026-12-07T10:00:00Z"})",
                             "application/json")
                     ->status,
                 201);

        QString root = QString::fromStdString(options.dataDir.string());
        QStringList seen;
        QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        QStringList entries{root};
        while (it.hasNext())
            entries << it.next();
        for (const auto& path : entries) {
            struct stat info {};
            QVERIFY(::lstat(path.toLocal8Bit().constData(), &info) == 0);
            const mode_t mode = info.st_mode & 0777;
            const mode_t expected = S_ISDIR(info.st_mode) ? 0700 : 0600;
            QVERIFY2(mode == expected, qPrintable(QString("%1 has mode %2").arg(path).arg(mode, 0, 8)));
            seen << QDir(root).relativeFilePath(path);
        }
        for (const char* name : {"server.sqlite", "identity-secret", "appcast.xml", "feedback"})
            QVERIFY2(seen.contains(name), name);
        QVERIFY(seen.contains(QString::fromStdString("jobs/" + id + "/input")));
        QVERIFY(seen.contains(QString::fromStdString("jobs/" + id + "/stems/music.flac")));
    }
};

QTEST_GUILESS_MAIN(HttpLimitsTest)
#include "test_http_limits.moc"
