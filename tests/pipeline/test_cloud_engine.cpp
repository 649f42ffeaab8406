// The cloud separation engine against the local server over loopback, with its fault knobs, and
// against a scripted peer where only the requests themselves matter.

#include "helpers_cloud.h"
#include "helpers_media.h"

#include "backend/api_client.h"
#include "pipeline/cloud_separation_engine.h"
#include "pipeline/video_demuxer_muxer.h"
#include "platform/network.h"
#include "support/local_server.h"
#include "support/test_http_server.h"
#include "support/test_support.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cmath>
#include <thread>

using namespace hf;
using namespace std::chrono_literals;
using hf::test::LocalServer;
using hf::test::filesUnder;
using hf::test::runTask;
using hf::test::thrown;

namespace {

// Counts the requests the local server receives on one route, through a fault that only waits a
// millisecond and says how often it fired.
class RequestCounter {
public:
    static constexpr int budget = 100000;

    RequestCounter(LocalServer& server, const char* method, const char* path) : m_port(server.port())
    {
        m_id = server.addFault(QJsonObject{{"method", method}, {"path", path}, {"delayMs", 1}, {"times", budget}});
    }

    int count() const
    {
        httplib::Client client("127.0.0.1", m_port);
        auto result = client.Get("/_test/faults");
        if (!result)
            return -1;
        const QJsonObject answer = QJsonDocument::fromJson(QByteArray::fromStdString(result->body)).object();
        for (const auto& f : answer.value(QStringLiteral("faults")).toArray())
            if (f.toObject().value(QStringLiteral("id")).toInt() == m_id)
                return budget - f.toObject().value(QStringLiteral("times")).toInt();
        return budget;
    }

private:
    int m_port;
    int m_id;
};

// Reports 40% on the calling thread, then 90% from a thread of its own just before it returns:
// that last event can only reach the main thread after the upload has ended.
class LateReportingUploader final : public AudioUploading {
public:
    QCoro::Task<void> upload(QUrl, UploadInstruction, Progress progress, std::stop_token) override
    {
        progress(0.4);
        std::thread([progress] { progress(0.9); }).join();
        co_return;
    }
};

} // namespace

class TestCloudEngine : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<hf::test::LocalCloud> local;
    std::unique_ptr<CloudSeparationEngine> engine;
    QUrl soundtrack;
    double duration = 0;
    std::vector<ProcessingProgress> reports;
    std::stop_source stop;

    QString jobsFolder() const { return dir.filePath(QStringLiteral("Jobs")); }

    // Runs a full separation of the soundtrack; `onReport` may stop it.
    SeparatedStems separate(std::function<void(const ProcessingProgress&)> onReport = {},
                            JobKind kind = JobKind::full)
    {
        auto record = [this, onReport](const ProcessingProgress& p) {
            reports.push_back(p);
            if (onReport)
                onReport(p);
        };
        return runTask(engine->separate(soundtrack, duration, kind, false, record, stop.get_token()), 90000);
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!hf::test::haveProgram(QStringLiteral("ffmpeg")))
            QSKIP("needs ffmpeg");
        local = std::make_unique<hf::test::LocalCloud>();
        runTask(local->api->signInAnonymously());

        // A real soundtrack: a short movie, its soundtrack extracted as the application does.
        const std::optional<ExtractedAudio> extracted = hf::test::makeSoundtrack(dir.path(), 6);
        QVERIFY(extracted);
        soundtrack = extracted->url;
        duration = extracted->duration;
    }

    void init()
    {
        local->server->clearFaults();
        // An injected refusal leaves its unread body on a kept-alive connection; start afresh.
        local->transferSession->clearConnectionCache();
        QDir(jobsFolder()).removeRecursively();
        engine = local->makeEngine(jobsFolder());
        reports.clear();
        stop = std::stop_source();
    }

    void soundtrackToThreeStems()
    {
        const SeparatedStems stems = separate();

        QCOMPARE(stems.job.status, JobStatus::succeeded);
        const QString folder = QDir(jobsFolder()).filePath(stems.job.id);
        QCOMPARE(stems.dialogueURL, QUrl::fromLocalFile(folder + "/dialogue.flac"));
        QCOMPARE(stems.musicURL, QUrl::fromLocalFile(folder + "/music.flac"));
        QCOMPARE(stems.effectsURL, QUrl::fromLocalFile(folder + "/effects.flac"));
        QCOMPARE(filesUnder(jobsFolder()).size(), 3);   // no temporary file left behind
        for (const QUrl& stem : {stems.dialogueURL, stems.musicURL, stems.effectsURL}) {
            const QJsonArray audio = hf::test::probeStreams(stem.toLocalFile(), "audio");
            QCOMPARE(audio.size(), 1);
            QCOMPARE(audio[0]["codec_name"].toString(), QStringLiteral("flac"));
            QVERIFY(std::abs(hf::test::probeDuration(stem.toLocalFile()) - duration) < 0.5);
        }

        // The reports: in order, never backwards, never 1.0, from creation to the last download.
        QVERIFY(reports.size() >= 6);
        QCOMPARE(reports.front(), (ProcessingProgress{ProcessingStage::Kind::uploading, 0.02, "Creating job"}));
        for (size_t i = 1; i < reports.size(); ++i)
            QVERIFY(reports[i].fractionCompleted >= reports[i - 1].fractionCompleted);
        for (const auto& r : reports)
            QVERIFY(r.fractionCompleted < 1.0);
        const auto uploaded = std::find_if(reports.begin(), reports.end(), [](const ProcessingProgress& r) {
            return r.currentStatusMessage == u"Uploading audio (100%)";
        });
        QVERIFY(uploaded != reports.end());
        QCOMPARE(uploaded->fractionCompleted, 0.30);
        // Each stem's download starts its share of the bar and fills it as its bytes arrive.
        const QString names[] = {"dialogue", "music", "effects"};
        for (int i = 0; i < 3; ++i)
            for (const auto& [share, arrived] : {std::pair(0, ""), std::pair(1, " (100%)")})
                QCOMPARE(std::ranges::count(reports, ProcessingProgress{ProcessingStage::Kind::downloading,
                                                                        0.9 + 0.03 * (i + share),
                                                                        "Downloading " + names[i] + arrived}),
                         1);
        QCOMPARE(reports.back().currentStatusMessage, QStringLiteral("Downloading effects (100%)"));
    }

    void pollFailuresInARow()
    {
        // A poll that gets no answer in time is a transport failure (a dropped connection would
        // be retried once by the network stack, which blurs the count). The limits stay far from
        // both an ordinary answer (milliseconds) and a held one, however loaded the machine.
        auto unanswered = [&](int times) {
            engine->setServerSilenceLimits(1500ms, 60s);
            local->server->addFault(QJsonObject{{"method", "GET"}, {"path", "/v1/jobs/*"}, {"delayMs", 6000}, {"times", times}});
        };

        // Four failures in a row are survived...
        unanswered(4);
        QCOMPARE(separate().job.status, JobStatus::succeeded);

        // ...the fifth ends the call with it.
        init();
        unanswered(5);
        auto e = thrown<APIError>([&] { separate(); });
        QVERIFY(e);
        QCOMPARE(e->kind(), APIError::Case::network);

        // Any answer that is not a transport failure ends it at once, and the job is given up.
        init();
        RequestCounter cancels(*local->server, "POST", "/v1/jobs/*/cancel");
        local->server->addFault(QJsonObject{{"method", "GET"}, {"path", "/v1/jobs/*"}, {"status", 500}, {"times", 1}});
        e = thrown<APIError>([&] { separate(); });
        QVERIFY(e);
        QCOMPARE(e->kind(), APIError::Case::server);
        QCOMPARE(e->status(), 500);
        QVERIFY(hf::test::waitUntil([&] { return cancels.count() == 1; }));
    }

    void stoppingCancelsAJobStillUnderWay()
    {
        RequestCounter cancels(*local->server, "POST", "/v1/jobs/*/cancel");

        // Stopped while the job waits or runs: one cancel request, and the call ends silently.
        QVERIFY_THROWS_EXCEPTION(Cancelled, separate([&](const ProcessingProgress& p) {
            if (p.stage.kind() == ProcessingStage::Kind::queued || p.stage.kind() == ProcessingStage::Kind::separating)
                stop.request_stop();
        }));
        QVERIFY(hf::test::waitUntil([&] { return cancels.count() == 1; }));

        // Stopped during the download: the job has succeeded, so nothing is cancelled, and the
        // stem being fetched leaves nothing behind.
        init();
        RequestCounter laterCancels(*local->server, "POST", "/v1/jobs/*/cancel");
        local->server->addFault(QJsonObject{{"method", "GET"}, {"path", "/stems/*/dialogue.flac"}, {"delayMs", 1500}});
        QVERIFY_THROWS_EXCEPTION(Cancelled, separate([&](const ProcessingProgress& p) {
            if (p.stage.kind() == ProcessingStage::Kind::downloading)
                stop.request_stop();
        }));
        QVERIFY(filesUnder(jobsFolder()).isEmpty());
        QTest::qWait(300);
        QCOMPARE(laterCancels.count(), 0);
    }

    void failuresThatSendNothingOrKeepWhatArrived()
    {
        // Longer than 3 hours (or not a number): refused before any report or request.
        RequestCounter creates(*local->server, "POST", "/v1/jobs");
        for (double tooLong : {10800.5, std::nan("")}) {
            auto e = thrown<SeparationError>([&] {
                runTask(engine->separate(soundtrack, tooLong, JobKind::full, false,
                                         [&](const ProcessingProgress& p) { reports.push_back(p); }));
            });
            QVERIFY(e);
            QCOMPARE(*e, SeparationError::tooLong());
            QCOMPARE(e->localizedDescription(), QStringLiteral("Videos can be up to 3 hours long."));
        }
        QVERIFY(reports.empty());
        QCOMPARE(creates.count(), 0);

        // The storage target refuses: the uploader's error, and the job, of no use without its
        // upload, is cancelled. (The refusal comes before the body is read, so the file is small
        // enough to be sent whole.)
        RequestCounter cancels(*local->server, "POST", "/v1/jobs/*/cancel");
        local->server->addFault(QJsonObject{{"method", "PUT"}, {"path", "/storage/*"}, {"status", 403}, {"times", 1}});
        const QString small = dir.filePath(QStringLiteral("small.m4a"));
        QFile::remove(small);
        QVERIFY(QFile::copy(soundtrack.toLocalFile(), small));
        QVERIFY(QFile(small).resize(8 * 1024));
        auto upload = thrown<UploadError>([&] {
            runTask(engine->separate(QUrl::fromLocalFile(small), duration, JobKind::full, false, {}));
        });
        QVERIFY(upload);
        QCOMPARE(*upload, UploadError::rejected(403));
        QVERIFY(hf::test::waitUntil([&] { return cancels.count() == 1; }));

        // The connection drops during the upload, again and again: each job is cancelled, and
        // none is kept to be resumed.
        for (int attempt = 0; attempt < 3; ++attempt) {
            local->server->addFault(QJsonObject{{"method", "PUT"}, {"path", "/storage/*"}, {"drop", true}, {"times", 2}});
            upload = thrown<UploadError>([&] { separate(); });
            QVERIFY(upload);
            QCOMPARE(upload->errorCase(), UploadError::Case::interrupted);
            QVERIFY(hf::test::waitUntil([&] { return cancels.count() == 2 + attempt; }));
            QVERIFY(!engine->interruptedJob(soundtrack));
        }

        // The music stem is missing: the dialogue stays, no music file appears.
        init();
        local->server->addFault(QJsonObject{{"method", "GET"}, {"path", "/stems/*/music.flac"}, {"status", 404}, {"times", 1}});
        auto e = thrown<SeparationError>([&] { separate(); });
        QVERIFY(e);
        QCOMPARE(*e, SeparationError::downloadFailed("music", 404));
        QCOMPARE(e->localizedDescription(),
                 QStringLiteral("Downloading the music stem failed (HTTP 404). Please try again."));
        const QStringList files = filesUnder(jobsFolder());
        QCOMPARE(files.size(), 1);
        QVERIFY(files.first().endsWith(u"/dialogue.flac"));
    }

    void requestBodiesOfCreateAndPromote()
    {
        hf::test::TestHttpServer peer;
        peer.reply("POST", "/v1/jobs", 500, "");
        const std::string job =
            R"({"job":{"id":"job_1","kind":"full","status":"succeeded","durationSeconds":95.5}})";
        peer.reply("POST", "/v1/jobs/job_1/promote", 200, job);
        InMemoryTokenStore peerTokens;
        peerTokens.save(QStringLiteral("tok"));
        APIClient peerApi(peer.baseUrl(), local->apiSession.get(), &peerTokens);
        CloudSeparationEngine peerEngine(&peerApi, local->uploader.get(), local->transferSession.get(), jobsFolder());

        // A preview is cut to 30 seconds and never asks for a song check.
        QVERIFY(thrown<APIError>([&] {
            runTask(peerEngine.separate(soundtrack, 45, JobKind::preview, true, {}));
        }));
        QVERIFY(thrown<APIError>([&] {
            runTask(peerEngine.separate(soundtrack, 45, JobKind::full, true, {}));
        }));

        // A promotion sends the duration as given and the song check only when asked.
        const CloudJob promoted = runTask(peerEngine.promote(QStringLiteral("job_1"), 95.5, false));
        QCOMPARE(promoted.kind, JobKind::full);
        runTask(peerEngine.promote(QStringLiteral("job_1"), 95.5, true));

        const auto got = peer.received();
        QCOMPARE(got.size(), size_t(4));
        auto body = [&](size_t i) { return QJsonDocument::fromJson(QByteArray::fromStdString(got[i].body)).object(); };
        QCOMPARE(body(0), (QJsonObject{{"kind", "preview"}, {"durationSeconds", 30}, {"contentType", "audio/mp4"}}));
        QCOMPARE(body(1), (QJsonObject{{"kind", "full"}, {"durationSeconds", 45}, {"contentType", "audio/mp4"},
                                       {"claimCheck", true}}));
        QCOMPARE(got[2].path, std::string("/v1/jobs/job_1/promote"));
        QCOMPARE(body(2), (QJsonObject{{"durationSeconds", 95.5}}));
        QCOMPARE(body(3), (QJsonObject{{"durationSeconds", 95.5}, {"claimCheck", true}}));
        local->apiSession->clearConnectionCache();
    }

    void jobThatEndsAtItsStart()
    {
        hf::test::TestHttpServer peer;
        auto json = [](const QJsonObject& o) { return QJsonDocument(o).toJson().toStdString(); };
        const QJsonObject job{{"id", "job_2"}, {"kind", "full"}, {"status", "awaiting_upload"}, {"durationSeconds", 10}};
        QJsonObject failed = job;
        failed["status"] = "failed";
        failed["error"] = QJsonObject{{"code", "too_long"}, {"message", ""}};
        const QJsonObject upload{{"url", "http://127.0.0.1:9/up"}, {"method", "PUT"}, {"headers", QJsonObject{}}};
        peer.reply("POST", "/v1/jobs", 201, json({{"job", job}, {"upload", upload}}));
        peer.reply("POST", "/v1/jobs/job_2/start", 200, json({{"job", failed}}));
        InMemoryTokenStore peerTokens;
        peerTokens.save(QStringLiteral("tok"));
        APIClient peerApi(peer.baseUrl(), local->apiSession.get(), &peerTokens);
        LateReportingUploader late;
        CloudSeparationEngine peerEngine(&peerApi, &late, local->transferSession.get(), jobsFolder());

        auto e = thrown<SeparationError>([&] {
            runTask(peerEngine.separate(soundtrack, 10, JobKind::full, false,
                                        [&](const ProcessingProgress& p) { reports.push_back(p); }));
        });
        QVERIFY(e);
        QCOMPARE(*e, SeparationError::jobFailed("too_long", ""));
        QCOMPARE(e->localizedDescription(), QStringLiteral("The soundtrack was longer than expected. Please try again."));
        // No poll after an end state, and the upload event that came after the upload was dropped.
        QCOMPARE(peer.count("GET", "/v1/jobs/job_2"), 0);
        QCOMPARE(peer.count("POST", "/v1/jobs/job_2/cancel"), 0);
        QCOMPARE(reports.size(), size_t(2));
        QCOMPARE(reports[0], (ProcessingProgress{ProcessingStage::Kind::uploading, 0.02, "Creating job"}));
        QCOMPARE(reports[1].currentStatusMessage, QStringLiteral("Uploading audio (40%)"));
        QCOMPARE(reports[1].fractionCompleted, 0.05 + 0.25 * 0.4);
        local->apiSession->clearConnectionCache();
    }

    // Exactly three hours is within the limit: the job is asked for with that length. Only
    // failures in a row end the wait: four, an answer, four more are survived.
    void threeHoursAndFailuresBetweenAnswers()
    {
        hf::test::TestHttpServer peer;
        auto json = [](const QJsonObject& o) { return QJsonDocument(o).toJson().toStdString(); };
        const QJsonObject job{{"id", "job_3"}, {"kind", "full"}, {"status", "awaiting_upload"}, {"durationSeconds", 10800}};
        QJsonObject running = job, failed = job;
        running["status"] = "processing";
        failed["status"] = "failed";
        failed["error"] = QJsonObject{{"code", "internal"}, {"message", "stopped here"}};
        const QJsonObject upload{{"url", "http://127.0.0.1:9/up"}, {"method", "PUT"}, {"headers", QJsonObject{}}};
        peer.reply("POST", "/v1/jobs", 201, json({{"job", job}, {"upload", upload}}));
        peer.reply("POST", "/v1/jobs/job_3/start", 200, json({{"job", running}}));
        auto polls = std::make_shared<std::atomic<int>>(0);
        peer.on("GET", "/v1/jobs/job_3", [=](const httplib::Request&, httplib::Response& response) {
            const int n = ++*polls;
            if (n == 5 || n == 10) {
                response.set_content(json({{"job", n == 5 ? running : failed}}), "application/json");
                return;
            }
            std::this_thread::sleep_for(450ms);   // past the client's patience: a transport failure
            response.set_content(json({{"job", running}}), "application/json");
        });
        InMemoryTokenStore peerTokens;
        peerTokens.save(QStringLiteral("tok"));
        QNetworkAccessManager* session = makeEphemeralNetworkSession(this);
        APIClient peerApi(peer.baseUrl(), session, &peerTokens);
        peerApi.setRequestTimeout(200ms);
        LateReportingUploader late;
        CloudSeparationEngine peerEngine(&peerApi, &late, local->transferSession.get(), jobsFolder());
        peerEngine.setPollInterval(20ms);

        auto e = thrown<SeparationError>([&] {
            runTask(peerEngine.separate(soundtrack, 10800.0, JobKind::full, false, {}), 60000);
        });
        QVERIFY(e);
        QCOMPARE(*e, SeparationError::jobFailed("internal", "stopped here"));
        QCOMPARE(polls->load(), 10);
        const auto got = peer.received();
        QVERIFY(!got.empty());
        QCOMPARE(QJsonDocument::fromJson(QByteArray::fromStdString(got.front().body)).object().value("durationSeconds"),
                 QJsonValue(10800));
    }

    void pollsEveryTwoSeconds()
    {
        engine = std::make_unique<CloudSeparationEngine>(local->api.get(), local->uploader.get(),
                                                         local->transferSession.get(), jobsFolder());
        QCOMPARE(engine->pollInterval(), std::chrono::milliseconds(2000));
        // Time from the start's report to the next one, which only a poll can bring.
        QElapsedTimer clock;
        std::vector<qint64> at;
        separate([&](const ProcessingProgress&) {
            if (!clock.isValid())
                clock.start();
            at.push_back(clock.elapsed());
        });
        const auto started = std::find_if(reports.begin(), reports.end(), [](const ProcessingProgress& r) {
            return r.stage.kind() == ProcessingStage::Kind::queued || r.stage.kind() == ProcessingStage::Kind::separating;
        });
        QVERIFY(started != reports.end());
        const size_t i = size_t(started - reports.begin());
        QVERIFY(i + 1 < at.size());
        const qint64 wait = at[i + 1] - at[i];
        QVERIFY2(wait >= 1950 && wait < 3500, qPrintable(QString::number(wait)));
    }
};

QTEST_GUILESS_MAIN(TestCloudEngine)
#include "test_cloud_engine.moc"
