// The hushframe-server program run as its own process, so that it can be measured, starved of
// disk and killed from outside: its memory under bodies past their limit, answers on a full disk,
// a restart after a kill, and its log.

#include "test_http_support.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

using namespace hf::test::http;
using hf::test::waitUntil;

namespace {

// One run of the program on a data folder; stopped (or killed) when it goes.
class ServerProcess {
public:
    explicit ServerProcess(const QString& dataDir, std::function<void()> childSetup = {}, int port = 0)
    {
        m_process.setProgram(QStringLiteral(HF_SERVER_PROGRAM));
        m_process.setArguments({"--port", QString::number(port), "--data", dataDir});
        if (childSetup)
            m_process.setChildProcessModifier(childSetup);
        m_process.start();
        if (!m_process.waitForStarted(10000))
            return;
        QByteArray line;
        QElapsedTimer timer;
        timer.start();
        while (!line.contains('\n') && timer.elapsed() < 10000 && m_process.state() == QProcess::Running)
            if (m_process.waitForReadyRead(200))
                line += m_process.readAllStandardOutput();
        const QByteArray prefix = "Listening on http://127.0.0.1:";
        if (line.startsWith(prefix))
            m_port = line.mid(prefix.size()).trimmed().toInt();
    }
    ~ServerProcess() { stop(); }

    int port() const { return m_port; }
    bool exited(int& code)
    {
        if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(10000))
            return false;
        code = m_process.exitCode();
        return true;
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port); }

    // The most resident memory the process has had, in KiB.
    long peakKiB() const
    {
        QFile status(QString("/proc/%1/status").arg(m_process.processId()));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmHWM:"))
                return line.mid(6).trimmed().split(' ').first().toLong();
        return -1;
    }

    // Lowers (or raises back) the size any file of the process may reach.
    bool limitFileSize(rlim_t bytes)
    {
        rlimit current{};
        if (::prlimit(pid_t(m_process.processId()), RLIMIT_FSIZE, nullptr, &current) != 0)
            return false;
        rlimit wanted{bytes, current.rlim_max};
        return ::prlimit(pid_t(m_process.processId()), RLIMIT_FSIZE, &wanted, nullptr) == 0;
    }

    void kill()
    {
        ::kill(pid_t(m_process.processId()), SIGKILL);
        m_process.waitForFinished(10000);
    }
    // Stops it (SIGTERM) and returns everything it wrote to stderr.
    QByteArray stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(10000)) {
                m_process.kill();
                m_process.waitForFinished(5000);
            }
        }
        m_log += m_process.readAllStandardError();
        return m_log;
    }

private:
    QProcess m_process;
    QByteArray m_log;
    int m_port = 0;
};

std::string feedbackOf(int messageBytes)
{
    return QJsonDocument(QJsonObject{{"app", "Hushframe"},
                                     {"message", QString(messageBytes, 'm')},
                                     {"timestamp", "2026-12-07T10:00:00Z"}})
        .toJson(QJsonDocument::Compact)
        .toStdString();
}

QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden);
}

} // namespace

class HttpProgramTest : public QObject {
    Q_OBJECT

private slots:
    // Bodies far past the limit, in each framing, leave the server's memory where it was.
    void memoryStaysFlatPastTheBodyLimit()
    {
        QTemporaryDir data;
        ServerProcess server(data.path());
        QVERIFY(server.port() > 0);
        httplib::Client client(server.url());
        std::string token = signInAnonymously(client);
        QVERIFY(!token.empty());
        QCOMPARE(client.Post("/feedback", feedbackOf(100), "application/json")->status, 201);
        const long before = server.peakKiB();
        QVERIFY(before > 0);

        const std::uint64_t body = std::uint64_t(24) << 20;
        const std::string framings[] = {
            head("POST /api/auth/sign-in/anonymous", "Content-Type: application/json\r\nConnection: close\r\n"),
            head("POST /feedback", "Content-Type: application/json\r\nTransfer-Encoding: Chunked\r\n"),
            head("POST /v1/jobs", "Authorization: Bearer " + token
                                      + "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body)
                                      + "\r\n"),
        };
        for (const auto& framing : framings) {
            RawConnection c(server.port());
            c.send(framing);
            if (framing.find("Chunked") != std::string::npos)
                c.sendUntilAnswered(body, [&](std::uint64_t offset, size_t size) { return chunkedPiece(offset, size, body); });
            else
                c.sendUntilAnswered(body, spaces);
            QVERIFY(c.waitForAnswer(5000));
            QCOMPARE(c.statusLine(), std::string("HTTP/1.1 413 Payload Too Large"));
            QVERIFY(c.waitForClose(5000));
        }
        const long grown = server.peakKiB() - before;
        QVERIFY2(grown < 8 * 1024, qPrintable(QString("the peak grew by %1 KiB").arg(grown)));

        // A compressed body could unpack to any size.
        RawConnection compressed(server.port());
        compressed.send(head("POST /feedback", "Content-Type: application/json\r\nContent-Encoding: gzip\r\n"
                                               "Content-Length: 2\r\n")
                        + "{}");
        QVERIFY(compressed.waitForAnswer(5000));
        QCOMPARE(compressed.statusLine(), std::string("HTTP/1.1 415 Unsupported Media Type"));
        // Within the limit, a body is taken as usual, with its length or without one.
        QCOMPARE(client.Post("/feedback", feedbackOf(900 * 1024), "application/json")->status, 201);
        RawConnection unframed(server.port());
        unframed.send(head("POST /api/auth/sign-in/anonymous", "Content-Type: application/json\r\nConnection: close\r\n")
                      + "{}");
        unframed.finishSending();
        QVERIFY(unframed.waitForAnswer(5000));
        QCOMPARE(unframed.statusLine(), std::string("HTTP/1.1 200 OK"));
    }

    // With the process's file size limit standing in for a full disk (lowered once the database is
    // set up), feedback and uploads that cannot be stored are refused at once and leave nothing
    // behind; a feedback small enough to sit in a write buffer is no exception.
    void fullDiskIsReportedAtOnce()
    {
        QTemporaryDir data;
        ServerProcess server(data.path(), [] { ::signal(SIGXFSZ, SIG_IGN); });
        QVERIFY(server.port() > 0);
        httplib::Client client(server.url());
        client.set_read_timeout(10);
        std::string token = signInAnonymously(client);
        auto answer = json(postJson(client, "/v1/jobs", token,
                                    {{"kind", "full"}, {"durationSeconds", 10.0}, {"contentType", "audio/mp4"}}));
        std::string id = answer["job"][u"id"].toString().toStdString();
        const QString feedbackFolder = data.filePath("feedback");

        QVERIFY(server.limitFileSize(512));
        QElapsedTimer timer;
        timer.start();
        for (int size : {800, 200 * 1024}) {
            auto refused = client.Post("/feedback", feedbackOf(size), "application/json");
            QVERIFY(refused);
            QCOMPARE(refused->status, 507);
            QCOMPARE(filesIn(feedbackFolder), QStringList());
        }
        RawConnection upload(server.port());
        const std::uint64_t size = std::uint64_t(4) << 20;
        upload.send(head("PUT " + pathOf(answer["upload"][u"url"].toString()),
                         "Content-Type: audio/mp4\r\nContent-Length: " + std::to_string(size) + "\r\n"));
        upload.sendUntilAnswered(size, spaces);
        QVERIFY(upload.waitForAnswer(5000));
        QCOMPARE(upload.statusLine(), std::string("HTTP/1.1 507 Insufficient Storage"));
        QVERIFY(timer.elapsed() < 5000);
        QCOMPARE(filesIn(data.filePath("jobs/" + QString::fromStdString(id))), QStringList());

        QVERIFY(server.limitFileSize(RLIM_INFINITY));
        const std::string small = feedbackOf(6000);
        QCOMPARE(client.Post("/feedback", small, "application/json")->status, 201);
        auto stored = filesIn(feedbackFolder);
        QCOMPARE(stored.size(), 1);
        QCOMPARE(readFile(QDir(feedbackFolder).filePath(stored.first())), small);
    }

    // What a kill leaves half-written (an upload, a stem, a feedback) is gone after the restart;
    // the job itself carries on.
    void restartAfterAKillRemovesTemporaryFiles()
    {
        QTemporaryDir data;
        std::string token, id, uploadPath;
        QString folder;
        {
            ServerProcess server(data.path());
            QVERIFY(server.port() > 0);
            httplib::Client client(server.url());
            token = signInAnonymously(client);
            auto answer = json(postJson(client, "/v1/jobs", token,
                                        {{"kind", "full"}, {"durationSeconds", 30.0}, {"contentType", "audio/mp4"}}));
            id = answer["job"][u"id"].toString().toStdString();
            uploadPath = pathOf(answer["upload"][u"url"].toString());
            folder = data.filePath("jobs/" + QString::fromStdString(id));

            RawConnection upload(server.port());
            upload.send(head("PUT " + uploadPath, "Content-Type: audio/mp4\r\nContent-Length: 8388608\r\n"));
            upload.sendUntilAnswered(1 << 20, spaces);
            QVERIFY(waitUntil([&] { return !QDir(folder).entryList({"input.part-*"}, QDir::Files).isEmpty(); }, 5000));
            // What an interrupted separation and feedback leave, by the names they write under.
            QVERIFY(QDir(folder).mkpath("stems"));
            QFile stem(folder + "/stems/dialogue.flac.partial-x1y2z3");
            QVERIFY(stem.open(QIODevice::WriteOnly) && stem.write("fLaC") == 4);
            stem.close();
            QFile note(data.filePath("feedback/20261207T100000-abc.json.part-x1y2z3"));
            QVERIFY(note.open(QIODevice::WriteOnly) && note.write("{") == 1);
            note.close();
            server.kill();
        }
        QCOMPARE(QDir(folder).entryList({"input.part-*"}, QDir::Files).size(), 1);

        ServerProcess again(data.path());
        QVERIFY(again.port() > 0);
        QCOMPARE(filesIn(folder), QStringList());
        QCOMPARE(filesIn(folder + "/stems"), QStringList());
        QCOMPARE(filesIn(data.filePath("feedback")), QStringList());
        httplib::Client client(again.url());
        QCOMPARE(json(client.Get("/v1/jobs/" + id, bearer(token)))["job"][u"status"].toString(),
                 QString("awaiting_upload"));
        QCOMPARE(client.Put(uploadPath, {}, std::string(1000, 'x'), "audio/mp4")->status, 200);
    }

    // What an answer reports is in the database before the answer leaves: a kill right after it
    // (as a crash or a power cut would come) loses neither the upload nor the job's success.
    void recordsOutliveAKillRightAfterTheirAnswer()
    {
        if (!hf::test::haveProgram("ffmpeg"))
            QSKIP("ffmpeg is needed to make the audio fixture");
        QTemporaryDir data;
        const QString tone = data.filePath("tone.m4a");
        QVERIFY(makeAudio(tone, "sine=frequency=440:duration=1", {"-c:a", "aac"}));
        std::string token, id;
        QJsonObject job;
        {
            ServerProcess server(data.filePath("server"));
            QVERIFY(server.port() > 0);
            httplib::Client client(server.url());
            token = signInAnonymously(client);
            auto answer = json(postJson(client, "/v1/jobs", token,
                                        {{"kind", "full"}, {"durationSeconds", 1.0}, {"contentType", "audio/mp4"}}));
            id = answer["job"][u"id"].toString().toStdString();
            QCOMPARE(client.Put(pathOf(answer["upload"][u"url"].toString()), {}, readFile(tone), "audio/mp4")->status, 200);
            server.kill();
        }
        {
            ServerProcess server(data.filePath("server"));
            QVERIFY(server.port() > 0);
            httplib::Client client(server.url());
            const QString started = json(postJson(client, "/v1/jobs/" + id + "/start", token))["job"][u"status"].toString();
            QVERIFY2(started == "queued" || started == "processing", qPrintable(started));
            job = waitForJob(client, token, id, [](auto& j) { return hasStatus(j, "succeeded"); });
            server.kill();
        }
        QVERIFY(hasStatus(job, "succeeded"));
        ServerProcess server(data.filePath("server"));
        QVERIFY(server.port() > 0);
        httplib::Client client(server.url());
        QCOMPARE(json(client.Get("/v1/jobs/" + id, bearer(token)))["job"][u"status"].toString(), QString("succeeded"));
        auto stem = client.Get(pathOf(job["outputs"][u"dialogue"].toString()));
        QVERIFY(stem && stem->status == 200);
    }

    // One server per port: a second one on a busy port says so and ends, and the first serves on.
    void aBusyPortIsAnErrorAtStart()
    {
        QTemporaryDir data;
        ServerProcess first(data.filePath("first"));
        QVERIFY(first.port() > 0);
        ServerProcess second(data.filePath("second"), {}, first.port());
        int code = 0;
        QVERIFY(second.exited(code));
        QCOMPARE(code, 1);
        const QByteArray log = second.stop();
        QVERIFY2(log.contains("the port is already in use"), log.constData());
        httplib::Client client(first.url());
        QVERIFY(!signInAnonymously(client).empty());
    }

    // A request cannot write a line of its own into the log.
    void loggedPathsAreEscaped()
    {
        QTemporaryDir data;
        ServerProcess server(data.path());
        QVERIFY(server.port() > 0);
        RawConnection c(server.port());
        c.send(head("GET /v1/me%0aForged:%20line%0d%0a", ""));
        QVERIFY(c.waitForAnswer(5000));
        const QByteArray log = server.stop();
        QVERIFY(log.contains("%0AForged:%20line%0D%0A"));
        for (const QByteArray& line : log.split('\n'))
            QVERIFY2(!line.startsWith("Forged"), line.constData());
    }

    // Started without songs to check against, it says so: its checks will answer "not_checked".
    void saysWhenItHasNoSongCatalogue()
    {
        QTemporaryDir data;
        ServerProcess server(data.path());
        QVERIFY(server.port() > 0);
        QVERIFY(server.stop().contains("No song catalogue given (--catalogue DIR): song checks are answered \"not_checked\""));
    }
};

QTEST_GUILESS_MAIN(HttpProgramTest)
#include "test_http_program.moc"
