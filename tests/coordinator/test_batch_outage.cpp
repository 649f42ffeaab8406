// The batch queue through a network outage, as the application runs it: the real media work and
// the cloud engine against the local server, which is stopped while an item is cleaned. The queue
// waits and tries again instead of failing every item after it; a longer outage pauses it with a
// message, and Start goes on where it paused.

#include "helpers_cloud.h"
#include "helpers_media.h"

#include "coordinator/batch_queue_manager.h"
#include "pipeline/cloud_separation_engine.h"
#include "support/local_server.h"
#include "support/test_support.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace hf;
using namespace std::chrono_literals;

class TestBatchOutage : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<hf::test::LocalCloud> local;
    std::unique_ptr<CloudSeparationEngine> engine;
    QList<QUrl> movies;

    // Calls `onChange` with the second job's status after every change of the jobs.
    static void watchSecond(BatchQueueManager& queue, std::function<void(const BatchJobStatus&)> onChange)
    {
        QObject::connect(&queue, &BatchQueueManager::jobsChanged, &queue, [&queue, onChange] {
            if (queue.jobs().size() > 1)
                onChange(queue.jobs()[1].status);
        });
    }

    std::unique_ptr<BatchQueueManager> makeQueue(const QString& name)
    {
        auto queue = std::make_unique<BatchQueueManager>(engine.get(), nullptr, nullptr, dir.filePath(name),
                                                         [] { return SeparationSettings{}; });
        queue->enqueue(movies);
        const bool probed = QTest::qWaitFor([&] {
            return std::ranges::all_of(queue->jobs(), [](const BatchJob& j) { return j.duration > 0; });
        }, 20000);
        return probed ? std::move(queue) : nullptr;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!hf::test::haveProgram(QStringLiteral("ffmpeg")))
            QSKIP("needs ffmpeg");
        local = std::make_unique<hf::test::LocalCloud>();
        engine = local->makeEngine(dir.filePath(QStringLiteral("Jobs")));
        hf::test::runTask(local->api->signInAnonymously());
        for (int i = 0; i < 4; ++i) {
            const QString movie = dir.filePath(QStringLiteral("clip%1.mp4").arg(i));
            QVERIFY(hf::test::makeMovie(movie, 2));
            movies << QUrl::fromLocalFile(movie);
        }
    }

    void outageDuringAnItemIsWaitedOut()
    {
        auto queue = makeQueue(QStringLiteral("Batch-wait"));
        QVERIFY(queue);
        queue->setOutageRetryDelay(100ms);
        // The server goes away while the second item is cleaned, and comes back once the queue
        // has tried that item again three times.
        int returnedToPending = 0;
        bool stopped = false;
        bool wasWorking = false;
        watchSecond(*queue, [&](const BatchJobStatus& status) {
            if (status.isWorking() && !stopped) {
                stopped = true;
                local->server->stop();
            }
            if (wasWorking && status.isPending())
                ++returnedToPending;
            wasWorking = status.isWorking();
        });

        queue->start();
        QVERIFY(QTest::qWaitFor([&] { return returnedToPending >= 3; }, 30000));
        QVERIFY(queue->isProcessingQueue());
        QCOMPARE(queue->errorMessage(),
                 std::optional<QString>(QStringLiteral(
                     "Hushframe couldn't reach its servers. The queue will try again in a moment.")));
        QVERIFY(queue->jobs()[0].status.isCompleted());
        for (size_t i = 1; i < 4; ++i)
            QVERIFY(!queue->jobs()[i].status.isFailed());

        local->server->restart();
        QVERIFY(QTest::qWaitFor([&] { return !queue->isProcessingQueue(); }, 60000));
        for (const BatchJob& job : queue->jobs())
            QVERIFY2(job.status.isCompleted(), qPrintable(job.status.error()));
        QCOMPARE(queue->errorMessage(), std::nullopt);
    }

    void longerOutagePausesAndStartGoesOn()
    {
        auto queue = makeQueue(QStringLiteral("Batch-pause"));
        QVERIFY(queue);
        queue->setOutageRetryDelay(10ms);
        bool stopped = false;
        watchSecond(*queue, [&](const BatchJobStatus& status) {
            if (status.isWorking() && !stopped) {
                stopped = true;
                local->server->stop();
            }
        });

        queue->start();
        QVERIFY(QTest::qWaitFor([&] { return !queue->isProcessingQueue(); }, 30000));
        QCOMPARE(queue->errorMessage(),
                 std::optional<QString>(QStringLiteral(
                     "Hushframe couldn't reach its servers, so the queue has paused. Press Start to go on.")));
        QVERIFY(queue->jobs()[0].status.isCompleted());
        // Nothing failed: the item that lost the servers and every one after it wait their turn.
        for (size_t i = 1; i < 4; ++i)
            QVERIFY(queue->jobs()[i].status.isPending());

        local->server->restart();
        queue->start();
        QCOMPARE(queue->errorMessage(), std::nullopt);
        QVERIFY(QTest::qWaitFor([&] { return !queue->isProcessingQueue(); }, 60000));
        for (const BatchJob& job : queue->jobs())
            QVERIFY2(job.status.isCompleted(), qPrintable(job.status.error()));
    }

    void cleanupTestCase()
    {
        engine.reset();
        local.reset();
    }
};

QTEST_GUILESS_MAIN(TestBatchOutage)
#include "test_batch_outage.moc"
