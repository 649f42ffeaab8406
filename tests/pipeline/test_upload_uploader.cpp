// The soundtrack uploader against a scripted peer and the local server's storage target.

#include "backend/api_client.h"
#include "pipeline/audio_uploader.h"
#include "platform/network.h"
#include "support/local_server.h"
#include "support/test_http_server.h"
#include "support/test_support.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace hf;
using hf::test::runTask;
using hf::test::TestHttpServer;

namespace {

QByteArray randomBytes(qsizetype size)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator generator(7);
    generator.fillRange(reinterpret_cast<quint32*>(data.data()), size / 4);
    return data;
}

template<class F>
std::optional<UploadError> uploadError(F&& f)
{
    try {
        f();
    } catch (const UploadError& e) {
        return e;
    }
    return std::nullopt;
}

} // namespace

class TestUploader : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString file;
    QByteArray content;
    std::unique_ptr<QNetworkAccessManager> session;
    std::unique_ptr<URLSessionUploader> uploader;

    UploadInstruction instruction(const QUrl& base, const QString& path, const QString& method,
                                  QMap<QString, QString> headers = {})
    {
        QUrl url = base;
        url.setPath(path);
        return UploadInstruction{url, method, std::move(headers)};
    }

private Q_SLOTS:
    void initTestCase()
    {
        content = randomBytes(512 * 1024);
        file = dir.filePath(QStringLiteral("soundtrack.m4a"));
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(content);
        out.close();
        session.reset(makeEphemeralNetworkSession(nullptr));
        uploader = std::make_unique<URLSessionUploader>(session.get());
    }

    // Close kept-alive connections before each test's peer goes away, so that it stops at once.
    void cleanup() { session->clearConnectionCache(); }

    void sendsExactlyTheInstructedRequest()
    {
        TestHttpServer peer;
        peer.reply("PUT", "/bucket/a", 204, "");
        peer.reply("POST", "/bucket/b", 200, "ignored");
        std::vector<double> fractions;
        auto record = [&](double f) { fractions.push_back(f); };

        runTask(uploader->upload(QUrl::fromLocalFile(file),
                                 instruction(peer.baseUrl(), "/bucket/a", "PUT",
                                             {{"Content-Type", "audio/mp4"}, {"x-upload-meta", "abc"}}),
                                 record));
        QVERIFY(!fractions.empty());
        QCOMPARE(fractions.back(), 1.0);
        QCOMPARE(std::count(fractions.begin(), fractions.end(), 1.0), 1);
        QVERIFY(std::is_sorted(fractions.begin(), fractions.end()));

        runTask(uploader->upload(QUrl::fromLocalFile(file), instruction(peer.baseUrl(), "/bucket/b", "POST"), {}));
        session->clearConnectionCache();

        const auto got = peer.received();
        QCOMPARE(got.size(), size_t(2));
        QCOMPARE(got[0].method, std::string("PUT"));
        QVERIFY(got[0].body == content.toStdString());
        QCOMPARE(got[0].header("Content-Type"), std::string("audio/mp4"));
        QCOMPARE(got[0].header("x-upload-meta"), std::string("abc"));
        // The method string as given; no header of ours with an empty instruction.
        QCOMPARE(got[1].method, std::string("POST"));
        QVERIFY(!got[1].hasHeader("x-upload-meta"));
        for (const auto& r : got) {
            QVERIFY(!r.hasHeader("Authorization"));
            QVERIFY(!r.hasHeader("Cookie"));
        }
    }

    void refusalsAndFailures()
    {
        TestHttpServer peer;
        peer.reply("PUT", "/busy", 500, "");
        peer.reply("PUT", "/denied", 403, "");
        std::vector<double> fractions;
        auto record = [&](double f) { fractions.push_back(f); };
        const QUrl source = QUrl::fromLocalFile(file);

        auto e = uploadError([&] { runTask(uploader->upload(source, instruction(peer.baseUrl(), "/busy", "PUT"), record)); });
        QVERIFY(e);
        QCOMPARE(*e, UploadError::rejected(500));
        QVERIFY(std::find(fractions.begin(), fractions.end(), 1.0) == fractions.end());

        // Each refusal says what it was; a full disk on the target says the server is out of space.
        peer.reply("PUT", "/full", 507, "");
        const std::pair<const char*, QString> refusals[] = {
            {"/denied", QStringLiteral("The upload was rejected (HTTP 403). Please try again.")},
            {"/full", QStringLiteral("The separation server is out of space. Please try again later.")},
        };
        for (const auto& [path, message] : refusals) {
            e = uploadError([&] { runTask(uploader->upload(source, instruction(peer.baseUrl(), path, "PUT"), record)); });
            QVERIFY(e);
            QCOMPARE(e->localizedDescription(), message);
        }

        // A file that cannot be read, and an address that is not a web address: nothing is sent.
        const int before = int(peer.received().size());
        e = uploadError([&] {
            runTask(uploader->upload(QUrl::fromLocalFile(dir.filePath("missing.m4a")),
                                     instruction(peer.baseUrl(), "/busy", "PUT"), record));
        });
        QVERIFY(e && e->errorCase() == UploadError::Case::interrupted);
        QVERIFY(e->localizedDescription().startsWith(QStringLiteral("The upload was interrupted: ")));
        const QUrl elsewhere[] = {
            QUrl::fromLocalFile(dir.filePath("copy")),
            QUrl(QStringLiteral("ftp://127.0.0.1:%1/busy").arg(peer.baseUrl().port())),
            QUrl(QStringLiteral("data:audio/mp4,abc")),
        };
        for (const QUrl& target : elsewhere) {
            e = uploadError([&] { runTask(uploader->upload(source, UploadInstruction{target, "PUT", {}}, record)); });
            QVERIFY(e);
            QCOMPARE(*e, UploadError::interrupted(QStringLiteral("unsupported URL")));
        }
        QVERIFY(!QFile::exists(dir.filePath("copy")));
        QCOMPARE(int(peer.received().size()), before);
    }

    void storageTargetOfTheLocalServer()
    {
        hf::test::LocalServer server;
        std::unique_ptr<QNetworkAccessManager> apiSession(makeEphemeralNetworkSession(nullptr));
        InMemoryTokenStore tokens;
        APIClient api(server.baseUrl(), apiSession.get(), &tokens);
        runTask(api.signInAnonymously());

        // A real job takes the upload and can start; a wrong key is refused with 403. (The target
        // refuses before reading the body, so the refused file is small enough to be sent whole.)
        const CreateJobResponse created = runTask(api.createJob({JobKind::full, 20, "audio/mp4", std::nullopt}));
        UploadInstruction wrongKey = created.upload;
        wrongKey.url.setQuery(QStringLiteral("key=nope"));
        const QString small = dir.filePath(QStringLiteral("small.m4a"));
        QFile out(small);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(content.left(16 * 1024));
        out.close();
        auto e = uploadError([&] { runTask(uploader->upload(QUrl::fromLocalFile(small), wrongKey, {})); });
        QVERIFY(e);
        QCOMPARE(*e, UploadError::rejected(403));
        runTask(uploader->upload(QUrl::fromLocalFile(file), created.upload, {}));
        const JobStatus started = runTask(api.startJob(created.job.id)).status;
        QVERIFY(started == JobStatus::queued || started == JobStatus::processing);

        // A stop while the target holds the request ends the upload at once with hf::Cancelled.
        const CreateJobResponse second = runTask(api.createJob({JobKind::full, 20, "audio/mp4", std::nullopt}));
        server.addFault(QJsonObject{{"method", "PUT"}, {"path", "/storage/*"}, {"delayMs", 3000}, {"times", 1}});
        std::stop_source stop;
        QTimer::singleShot(200, [&] { stop.request_stop(); });
        QElapsedTimer clock;
        clock.start();
        QVERIFY_THROWS_EXCEPTION(Cancelled, runTask(uploader->upload(QUrl::fromLocalFile(file), second.upload, {},
                                                                     stop.get_token())));
        QVERIFY(clock.elapsed() < 2500);

        // A target that takes the body and then says nothing is given up after the time-out.
        const CreateJobResponse third = runTask(api.createJob({JobKind::full, 20, "audio/mp4", std::nullopt}));
        server.addFault(QJsonObject{{"method", "PUT"}, {"path", "/storage/*"}, {"delayMs", 5000}, {"times", 1}});
        URLSessionUploader impatient(session.get());
        impatient.setRequestTimeout(std::chrono::milliseconds(300));
        clock.restart();
        e = uploadError([&] { runTask(impatient.upload(QUrl::fromLocalFile(file), third.upload, {})); });
        QVERIFY(e);
        QCOMPARE(e->localizedDescription(), QStringLiteral("The upload was interrupted: The request timed out."));
        QVERIFY(clock.elapsed() < 4000);
    }
};

QTEST_GUILESS_MAIN(TestUploader)
#include "test_upload_uploader.moc"
