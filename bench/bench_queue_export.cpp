// "Export all completed..." of the batch queue on large files: the copies run on a worker thread,
// as the sidebar's footer runs them, while a 5 ms timer on the main thread measures how long the
// event loop is kept from running (the window's responsiveness). The copying time is set beside
// the time `cp` takes for the same files into another folder of the same file system, followed by
// `sync` of its copies, since ours are on the disk before they take their names (before and after
// ours), with both sides' CPU time and the load average.
// Usage: bench_queue_export [folder (fixtures kept between runs)] [megabytes per file] [files]

#include "bench_measure.h"
#include "coordinator/batch_queue_manager.h"
#include "platform/async.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <cstdio>

using namespace hf;

namespace {

Q_LOGGING_CATEGORY(lcBench, "dev.lanternworkshop.Hushframe.Bench")

double selfCpu()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return bench::cpuSeconds(usage);
}

// Of the children waited for so far (cp).
double childrenCpu()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return bench::cpuSeconds(usage);
}

// A file of random bytes (not sparse, so both copies really read and write it).
bool fixture(const QString& path, qint64 megabytes)
{
    if (QFileInfo(path).size() == megabytes * 1024 * 1024)
        return true;
    std::printf("making %s ...\n", qPrintable(QFileInfo(path).fileName()));
    std::fflush(stdout);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1024 * 1024, Qt::Uninitialized);
    for (qint64 i = 0; i < megabytes; ++i) {
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
        if (file.write(block) != block.size())
            return false;
    }
    return file.flush();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString folder = args.value(1, QStandardPaths::writableLocation(QStandardPaths::TempLocation)
                                             + QStringLiteral("/hf-bench-queue-export"));
    const qint64 megabytes = args.value(2, QStringLiteral("2048")).toLongLong();
    const int count = args.value(3, QStringLiteral("2")).toInt();
    const QString sources = folder + QStringLiteral("/outputs");
    QDir().mkpath(sources);

    std::vector<BatchJob> jobs;
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        const QString path = sources + QStringLiteral("/video %1 (Hushframe).mp4").arg(i + 1);
        if (!fixture(path, megabytes)) {
            std::fprintf(stderr, "could not write %s\n", qPrintable(path));
            return 1;
        }
        BatchJob job;
        job.id = QUuid::createUuid();
        job.status = BatchJobStatus::completed(QUrl::fromLocalFile(path));
        jobs.push_back(job);
        paths << path;
    }

    // The reference: cp into a fresh folder, once before and once after ours (the order favours
    // whichever runs while the page cache is still empty of the other's writes).
    const QString byCp = folder + QStringLiteral("/by-cp");
    QElapsedTimer clock;
    double cpCpu = 0;   // both runs
    auto copyWithCp = [&] {
        QDir(byCp).removeRecursively();
        QDir().mkpath(byCp);
        clock.restart();
        const double before = childrenCpu();
        QProcess cp;
        cp.start(QStringLiteral("cp"), paths + QStringList{byCp});
        cp.waitForFinished(-1);
        QStringList copies;
        for (const QString& path : paths)
            copies << QDir(byCp).filePath(QFileInfo(path).fileName());
        QProcess sync;
        sync.start(QStringLiteral("sync"), copies);
        sync.waitForFinished(-1);
        const double seconds = clock.nsecsElapsed() / 1e9;
        cpCpu += childrenCpu() - before;
        QDir(byCp).removeRecursively();
        return seconds;
    };
    const double loadBefore = bench::loadAverage();
    clock.start();
    double cpSeconds = copyWithCp();

    // Ours, off the main thread, with the main loop watched.
    const QString byQueue = folder + QStringLiteral("/by-queue");
    QDir(byQueue).removeRecursively();
    QDir().mkpath(byQueue);
    qint64 longestGapMs = 0;
    QElapsedTimer sinceTick;
    QTimer ticker;
    ticker.setInterval(5);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longestGapMs = std::max(longestGapMs, sinceTick.restart());
    });
    int written = 0;
    double queueSeconds = 0;
    double ownCpu = 0;
    auto run = [&]() -> QCoro::Task<void> {
        sinceTick.start();
        ticker.start();
        clock.restart();
        ownCpu = selfCpu();
        const std::vector<BatchJob> snapshot = jobs;
        const QString destination = byQueue;
        auto copying = runOffThread({}, [snapshot, destination] {
            return BatchQueueManager::exportCompletedOutputs(snapshot, destination);
        });
        written = co_await std::move(copying);
        queueSeconds = clock.nsecsElapsed() / 1e9;
        ownCpu = selfCpu() - ownCpu;
        ticker.stop();
        QCoreApplication::quit();
    };
    QTimer::singleShot(0, [&] { spawn(run(), lcBench(), QStringLiteral("Export")); });
    app.exec();

    QDir(byQueue).removeRecursively();
    cpSeconds = (cpSeconds + copyWithCp()) / 2;
    const double total = double(megabytes) * count;
    std::printf("%d files of %lld MB\n", count, megabytes);
    std::printf("load average %.1f before, %.1f after (cp and sync ran before and after ours)\n", loadBefore,
                bench::loadAverage());
    std::printf("cp + sync (mean of 2): %.2f s (%.0f MB/s), CPU %.2f s\n", cpSeconds, total / cpSeconds, cpCpu / 2);
    std::printf("queue export:   %.2f s (%.0f MB/s), CPU %.2f s, %d files written\n", queueSeconds,
                total / queueSeconds, ownCpu, written);
    std::printf("ratio queue/cp: %.2f\n", queueSeconds / cpSeconds);
    std::printf("longest main-loop gap during the export: %lld ms (timer every 5 ms)\n", longestGapMs);
    return written == count ? 0 : 1;
}
