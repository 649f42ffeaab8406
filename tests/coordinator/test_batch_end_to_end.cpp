// The batch queue as the application runs it: the real media work and the cloud engine against
// the local server, on generated movies, checked with ffprobe.

#include "helpers_audition.h"
#include "helpers_cloud.h"
#include "helpers_media.h"

#include "backend/account_store.h"
#include "backend/api_client.h"
#include "backend/session_token_store.h"
#include "coordinator/batch_queue_manager.h"
#include "coordinator/review_prompter.h"
#include "pipeline/audio_uploader.h"
#include "pipeline/cloud_separation_engine.h"
#include "platform/network.h"
#include "platform/settings_store.h"
#include "support/local_server.h"
#include "support/test_support.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

using namespace hf;

namespace {

constexpr double movieSeconds = 4;

} // namespace

class TestBatchEndToEnd : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<hf::test::LocalCloud> local;
    MemorySettingsStore defaults;
    std::unique_ptr<AccountStore> account;
    std::unique_ptr<CloudSeparationEngine> engine;
    std::unique_ptr<ReviewPrompter> prompter;

private Q_SLOTS:
    void initTestCase()
    {
        if (!hf::test::haveProgram(QStringLiteral("ffmpeg")) || !hf::test::haveProgram(QStringLiteral("ffprobe")))
            QSKIP("needs ffmpeg and ffprobe");
        local = std::make_unique<hf::test::LocalCloud>();
        account = std::make_unique<AccountStore>(local->api.get(), &defaults);
        engine = local->makeEngine(dir.filePath(QStringLiteral("Jobs")));
        prompter = std::make_unique<ReviewPrompter>(defaults);
        hf::test::runTask(local->api->signInAnonymously());
    }

    void threeMoviesOneWithoutSound()
    {
        const QString sources = dir.filePath(QStringLiteral("sources"));
        QVERIFY(QDir().mkpath(sources));
        const QString beach = sources + QStringLiteral("/beach.mp4");
        const QString holiday = sources + QStringLiteral("/Holiday.mov");
        const QString silent = sources + QStringLiteral("/silent.mp4");
        QVERIFY(hf::test::makeMovie(beach, movieSeconds));
        QVERIFY(hf::test::makeMovie(holiday, movieSeconds));
        QVERIFY(hf::test::makePicture(silent, movieSeconds));

        BatchQueueManager queue(engine.get(), account.get(), prompter.get(), dir.filePath(QStringLiteral("Batch")),
                                [] { return SeparationSettings{}; });
        queue.enqueue({QUrl::fromLocalFile(beach), QUrl::fromLocalFile(silent), QUrl::fromLocalFile(holiday)});
        const QString noSound = QStringLiteral("This video has no soundtrack, so there's no music to remove.");
        QVERIFY(QTest::qWaitFor([&] {
            return queue.jobs()[1].status.isFailed() && queue.jobs()[0].duration > 0 && queue.jobs()[2].duration > 0;
        }, 20000));
        QCOMPARE(queue.jobs()[1].status.error(), noSound);
        QVERIFY(std::abs(queue.jobs()[0].duration - movieSeconds) < 0.1);

        queue.start();
        QVERIFY(QTest::qWaitFor([&] { return !queue.isProcessingQueue(); }, 120000));

        QCOMPARE(queue.completedJobs(), 2);
        QCOMPARE(queue.jobs()[1].status, BatchJobStatus::failed(noSound));
        const QList<std::pair<int, QString>> expected{{0, "beach (Hushframe).mp4"}, {2, "Holiday (Hushframe).mov"}};
        for (const auto& [index, name] : expected) {
            const BatchJob& job = queue.jobs()[index];
            QVERIFY2(job.status.isCompleted(), qPrintable(job.status.error()));
            const QString output = job.status.videoURL().toLocalFile();
            QCOMPARE(QFileInfo(output).fileName(), name);
            QCOMPARE(QFileInfo(output).dir().dirName(), job.id.toString(QUuid::WithoutBraces).toUpper());
            const QJsonObject probed = hf::test::probe(output);
            QCOMPARE(hf::test::streamTypes(probed), (QStringList{"video:h264", "audio:aac"}));
            QVERIFY(std::abs(probed["format"]["duration"].toString().toDouble() - movieSeconds) < 0.25);
            // The source is left as it was.
            QCOMPARE(hf::test::streamTypes(hf::test::probe(job.sourceVideoURL.toLocalFile())), (QStringList{"video:h264", "audio:aac"}));
        }
        QVERIFY(prompter->sessionIsSuppressed == false);

        QTemporaryDir out;
        QCOMPARE(queue.exportOutputs(out.path()), 2);
        QStringList exported = QDir(out.path()).entryList(QDir::Files | QDir::Hidden);
        exported.sort();
        QCOMPARE(exported, (QStringList{"Holiday (Hushframe).mov", "beach (Hushframe).mp4"}));

        // Retried, the silent movie runs through the loop and fails there with the same text.
        QTest::ignoreMessage(QtCriticalMsg, qUtf8Printable("Batch item silent.mp4 failed: " + noSound));
        queue.retryFailed();
        QVERIFY(QTest::qWaitFor([&] { return !queue.isProcessingQueue(); }, 20000));
        QCOMPARE(queue.jobs()[1].status, BatchJobStatus::failed(noSound));
        QVERIFY(prompter->sessionIsSuppressed);
        QCOMPARE(queue.completedJobs(), 2);
    }
};

QTEST_GUILESS_MAIN(TestBatchEndToEnd)
#include "test_batch_end_to_end.moc"
