// A full clean whose stem download failed, tried again: the coordinator with the real media work
// and the cloud engine against the local server behind a proxy that serves a page in place of one
// stem. The retry fetches the missing stems of the job that is still on the server instead of
// extracting, uploading and separating the soundtrack again.

#include "coordinator/batch_queue_manager.h"
#include "coordinator/engine_coordinator.h"
#include "helpers_audition.h"
#include "helpers_cloud.h"
#include "helpers_media.h"

#include "backend/api_client.h"
#include "pipeline/cloud_separation_engine.h"
#include "platform/settings_store.h"
#include "support/faulty_proxy.h"
#include "support/test_support.h"

#include <QDir>
#include <QRegularExpression>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

using namespace hf;
using namespace std::chrono_literals;
using hf::test::FaultyProxy;

class TestCoordinatorRetryDownload : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<test::LocalCloud> local;
    std::unique_ptr<FaultyProxy> proxy;
    std::unique_ptr<APIClient> api;
    std::unique_ptr<CloudSeparationEngine> engine;
    std::unique_ptr<MemorySettingsStore> defaults;
    std::unique_ptr<AccountStore> account;
    std::unique_ptr<RecentVideos> recents;
    std::unique_ptr<ReviewPrompter> prompter;
    std::unique_ptr<AudioPlayerService> player;
    std::unique_ptr<EngineCoordinator> coordinator;
    // The time this thread, where the engine's and the queue's timers run, was given to run.
    std::function<std::chrono::steady_clock::time_point()> given;

    QString caches() const { return dir.filePath(QStringLiteral("Caches")); }

private Q_SLOTS:
    void initTestCase()
    {
        if (!test::haveProgram(QStringLiteral("ffmpeg")))
            QSKIP("needs ffmpeg");
        local = std::make_unique<test::LocalCloud>();
        proxy = std::make_unique<FaultyProxy>(local->server->port());
        given = test::givenClockOfThisThread();
        proxy->clock = given;
        api = std::make_unique<APIClient>(proxy->baseUrl(), local->apiSession.get(), &local->tokens);
        test::runTask(api->signInAnonymously());
        engine = std::make_unique<CloudSeparationEngine>(api.get(), local->uploader.get(),
                                                         local->transferSession.get(), caches() + "/Jobs");
        engine->setPollInterval(50ms);
        defaults = std::make_unique<MemorySettingsStore>();
        account = std::make_unique<AccountStore>(api.get(), defaults.get());
        recents = std::make_unique<RecentVideos>(defaults.get(), caches());
        prompter = std::make_unique<ReviewPrompter>(*defaults);
        player = std::make_unique<AudioPlayerService>(std::make_unique<NullAudioOutput>(NullAudioOutput::Mode::manual));
        coordinator = std::make_unique<EngineCoordinator>(engine.get(), recents.get(), prompter.get(), account.get(),
                                                          player.get(), caches() + "/Work", SeparationSettings{},
                                                          defaults.get());
        coordinator->setPreviewSeconds(2);
    }

    void retryFetchesOnlyTheMissingStems()
    {
        const QString movie = dir.filePath(QStringLiteral("movie.mp4"));
        QVERIFY(test::makeMovie(movie, 5));
        coordinator->openVideo(QUrl::fromLocalFile(movie));
        QVERIFY(QTest::qWaitFor([&] { return coordinator->hasPreviewResult() && !coordinator->isProcessing(); },
                                60000));

        proxy->clear();
        proxy->replace("GET", "/stems/.*/music.flac", FaultyProxy::Answer::htmlPage);
        coordinator->cleanFullVideo();
        QVERIFY(QTest::qWaitFor([&] { return coordinator->errorMessage() && !coordinator->isProcessing(); }, 60000));
        QCOMPARE(*coordinator->errorMessage(),
                 QStringLiteral("The music stem that arrived isn't usable audio. Please try again."));
        QVERIFY(!coordinator->hasFullResult());
        QCOMPARE(proxy->received("POST", "/v1/jobs"), 1);
        QCOMPARE(proxy->received("PUT", ".*"), 1);

        coordinator->cleanFullVideo();
        QVERIFY(QTest::qWaitFor([&] { return coordinator->hasFullResult() && !coordinator->isProcessing(); }, 60000));
        QVERIFY2(!coordinator->errorMessage(), qPrintable(coordinator->errorMessage().value_or(QString())));
        // The same job: no new one, no upload, and the dialogue that had arrived is kept.
        QCOMPARE(proxy->received("POST", "/v1/jobs"), 1);
        QCOMPARE(proxy->received("PUT", ".*"), 1);
        QCOMPARE(proxy->received("GET", "/stems/.*/dialogue.flac"), 1);
        QCOMPARE(proxy->received("GET", "/stems/.*/music.flac"), 2);
        const SeparationResult full = *coordinator->currentResult();
        QVERIFY(full.coversWholeVideo);
        for (const QUrl& file : {full.dialogueStemURL, full.musicStemURL, full.effectsStemURL, full.cleanAudioURL})
            QVERIFY(std::abs(test::probeDuration(file.toLocalFile()) - 5.0) < 0.3);
    }

    // The server goes away while the full clean's job runs and comes back later: the clean waits,
    // saying so, then resumes its job instead of uploading and separating again. The bar never
    // goes back without its text saying why.
    void serverAwayDuringACleanIsWaitedForAndTheJobResumed()
    {
        const QString movie = dir.filePath(QStringLiteral("away.mp4"));
        QVERIFY(test::makeMovie(movie, 5));
        coordinator->openVideo(QUrl::fromLocalFile(movie));
        QVERIFY(QTest::qWaitFor([&] { return coordinator->hasPreviewResult() && !coordinator->isProcessing(); },
                                60000));
        coordinator->setOutageWait(OutageBackoff{200ms, 800ms, 30});
        engine->setServerSilenceLimits(300ms, 1s);
        proxy->clear();

        const QString waiting = QStringLiteral("Hushframe couldn't reach its servers. It will try again in a moment.");
        std::vector<ProcessingProgress> seen;
        bool stopped = false;
        QElapsedTimer away;
        auto connection = connect(coordinator.get(), &EngineCoordinator::progressChanged, this, [&] {
            const ProcessingProgress p = coordinator->progress();
            seen.push_back(p);
            const auto stage = p.stage.kind();
            if (!stopped && (stage == ProcessingStage::Kind::queued || stage == ProcessingStage::Kind::separating)) {
                stopped = true;
                local->server->stop();
                away.start();
            }
        });
        coordinator->cleanFullVideo();
        QVERIFY(QTest::qWaitFor([&] { return coordinator->progress().currentStatusMessage == waiting; }, 20000));
        QTest::qWait(std::max<qint64>(0, 2500 - away.elapsed()));
        local->server->restart();
        QVERIFY(QTest::qWaitFor([&] { return coordinator->hasFullResult() && !coordinator->isProcessing(); }, 60000));
        disconnect(connection);
        QVERIFY2(!coordinator->errorMessage(), qPrintable(coordinator->errorMessage().value_or(QString())));
        QCOMPARE(proxy->received("POST", "/v1/jobs"), 1);
        QCOMPARE(proxy->received("PUT", ".*"), 1);
        for (size_t i = 1; i < seen.size(); ++i) {
            if (seen[i].fractionCompleted >= seen[i - 1].fractionCompleted)
                continue;
            const QString& why = seen[i].currentStatusMessage;
            QVERIFY2(why == waiting || why.startsWith(u"Separating again from the start")
                         || seen[i].stage.kind() == ProcessingStage::Kind::completed,
                     qPrintable(seen[i - 1].currentStatusMessage + QStringLiteral(" -> ") + why));
        }
    }

    // Servers lost, busy or answering brokenly, for a clean and a batch item alike: the tries send
    // one soundtrack, make one job and share one bound, so the work ends soon after it however long
    // the pauses would be, in words that agree with those said meanwhile.
    void lostServersEndTheCleanWithinOneBound()
    {
        const char16_t* unreachable = u"Hushframe couldn't reach its servers.";
        const char16_t* faulty = u"Hushframe's servers ran into a problem.";
        const char16_t* busy = u"Hushframe's servers are busy";
        const struct {
            const char* method;
            const char* path;
            FaultyProxy::Answer answer;
            const char16_t* said;   // between tries and at the end
        } cases[] = {
            {"POST", "/v1/jobs", FaultyProxy::Answer::trickle, unreachable},
            {"POST", "/v1/jobs", FaultyProxy::Answer::emptySuccess, faulty},
            {"GET", "/v1/jobs/[^/]+", FaultyProxy::Answer::trickle, unreachable},
            {"GET", "/v1/jobs/[^/]+", FaultyProxy::Answer::rateLimited, busy},
            {"GET", "/v1/jobs/[^/]+", FaultyProxy::Answer::cutShort, faulty},
            {"GET", "/stems/.*/dialogue.flac", FaultyProxy::Answer::trickle, unreachable},
            {"GET", "/stems/.*/music.flac", FaultyProxy::Answer::cutShort, faulty},
            // Past a rate window's worth of bytes, which keep the try going but move no bound.
            {"GET", "/stems/.*/music.flac", FaultyProxy::Answer::stallHalfway, unreachable},
            {"GET", "/stems/.*/music.flac", FaultyProxy::Answer::cutAfterThird, faulty},
        };
        // Pauses between tries far longer than the bound: only the bound can end the work in time.
        coordinator->setOutageWait(OutageBackoff{20s, 20s, 30});
        // A request's limit that a busy machine keeps; a silent server is asked twice before it is
        // called silent, well within the bound, so that the work is tried again.
        constexpr std::chrono::milliseconds request = 1s, silence = 1500ms, outage = 3s;
        engine->setServerSilenceLimits(request, silence);
        engine->setDownloadMinimumRate(1000, 1s);
        engine->setOutageLimit(outage);
        const auto extractions = [&](const QString& folder) {
            return test::filesUnder(folder).filter(QRegularExpression(QStringLiteral("/source-[^/]*$"))).size();
        };
        int row = 0;
        for (const auto& c : cases) {
            for (const bool batch : {false, true}) {
                const QString movie = dir.filePath(QStringLiteral("lost-%1.mp4").arg(row++));
                QVERIFY(test::makeMovie(movie, 3));
                const QString work = batch ? caches() + "/Batch" : caches() + "/Work";
                const qsizetype extractedBefore = extractions(work);
                BatchQueueManager queue(engine.get(), nullptr, nullptr, caches() + "/Batch", {});
                queue.setOutageRetryDelay(20s);
                queue.enqueue(batch ? QList{QUrl::fromLocalFile(movie)} : QList<QUrl>{});
                QVERIFY(QTest::qWaitFor([&] { return !batch || queue.jobs()[0].duration > 0; }, 20000));
                proxy->clear();
                proxy->replace(c.method, c.path, c.answer, 1000);
                QStringList said;
                connect(&queue, &BatchQueueManager::errorMessageChanged, this,
                        [&] { said << queue.errorMessage().value_or(QString()); });
                auto connection = connect(coordinator.get(), &EngineCoordinator::progressChanged, this,
                                          [&] { said << coordinator->progress().currentStatusMessage; });
                batch ? queue.start() : coordinator->openVideo(QUrl::fromLocalFile(movie));
                const QString name = QString::fromLatin1(c.path) + QLatin1StringView(batch ? " (batch): " : " (clean): ");
                QVERIFY2(QTest::qWaitFor([&] {
                    return batch ? !queue.isProcessingQueue() : coordinator->errorMessage() && !coordinator->isProcessing();
                }, 40000), qPrintable(name));
                const auto ended = given();
                disconnect(connection);
                const QString final = batch ? queue.jobs()[0].status.error() : *coordinator->errorMessage();
                QVERIFY2(final.startsWith(QString::fromUtf16(c.said)), qPrintable(name + final));
                QVERIFY2(proxy->replaced() >= 2, qPrintable(name));
                QCOMPARE(extractions(work), extractedBefore + 1);
                QVERIFY2(proxy->received("POST", "/v1/jobs/[^/]+/start") <= 1, qPrintable(name));
                // The bound and one request's limit after the first answer that was no use, in the time
                // this process was given.
                const auto late = std::chrono::duration_cast<std::chrono::milliseconds>(ended - *proxy->firstReplacedAt());
                QVERIFY2(late < outage + request + silence, qPrintable(name + QStringLiteral("ended %1 ms after the first useless answer").arg(late.count())));
                for (const char16_t* words : {unreachable, faulty, busy}) {
                    const bool told = std::ranges::any_of(said, [&](const QString& s) {
                        return s.startsWith(QString::fromUtf16(words)) && s.contains(u"try again in a moment");
                    });
                    QVERIFY2(told == (words == c.said), qPrintable(name + said.join(u" | ")));
                }
            }
        }
    }

    // The server loses its data (accounts, sessions, jobs) while the clean's job runs: the clean
    // ends saying that its session ended and a new one started, in which the next clean is done.
    void serverThatLostItsDataSaysTheSessionEnded()
    {
        const QString movie = dir.filePath(QStringLiteral("lost-data.mp4"));
        QVERIFY(test::makeMovie(movie, 5));
        proxy->clear();
        coordinator->openVideo(QUrl::fromLocalFile(movie));
        QVERIFY(QTest::qWaitFor([&] { return coordinator->hasPreviewResult() && !coordinator->isProcessing(); }, 60000));
        bool lost = false;
        auto connection = connect(coordinator.get(), &EngineCoordinator::progressChanged, this, [&] {
            const auto stage = coordinator->progress().stage.kind();
            if (!lost && (stage == ProcessingStage::Kind::queued || stage == ProcessingStage::Kind::separating)) {
                lost = true;
                local->server->restart(true);
            }
        });
        coordinator->cleanFullVideo();
        QVERIFY(QTest::qWaitFor([&] { return coordinator->errorMessage() && !coordinator->isProcessing(); }, 60000));
        disconnect(connection);
        QCOMPARE(*coordinator->errorMessage(),
                 QStringLiteral("Your session on Hushframe's servers ended while this job ran, so the job couldn't "
                                "go on. A new session has started: please try again."));
        coordinator->cleanFullVideo();
        QVERIFY(QTest::qWaitFor([&] { return coordinator->hasFullResult() && !coordinator->isProcessing(); }, 60000));
    }

    void cleanupTestCase()
    {
        coordinator.reset();
        QTest::qWait(50);
        player.reset();
        prompter.reset();
        recents.reset();
        account.reset();
        engine.reset();
        api.reset();
        proxy.reset();
        local.reset();
    }
};

QTEST_GUILESS_MAIN(TestCoordinatorRetryDownload)
#include "test_coordinator_retry_download.moc"
