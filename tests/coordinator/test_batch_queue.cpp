// The batch queue's state machine against a scripted engine and scripted media work: what gets
// queued, the order and outcome of the loop, stop and restart, the overall fraction and the export.

#include "backend/api_error.h"
#include "coordinator/batch_queue_manager.h"
#include "coordinator/review_prompter.h"
#include "pipeline/media_error.h"
#include "pipeline/server_wait.h"
#include "platform/async.h"
#include "platform/settings_store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <deque>
#include <map>
#include <variant>

using namespace hf;
using namespace std::chrono_literals;

namespace {

using Gate = std::shared_ptr<SharedResult<bool>>;

Gate newGate()
{
    return std::make_shared<SharedResult<bool>>();
}

QString baseOf(const QUrl& url)
{
    return QFileInfo(url.fileName()).completeBaseName();
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A separation that reports, may wait at a gate, may fail, and writes three small stems.
class FakeEngine final : public SeparationEngineProtocol {
public:
    QString stemsFolder;
    QSet<QString> failing;          // base names (of the extracted soundtrack's video) that fail
    Gate hold;                      // when set, separations of `holdNames` (all when empty) wait here
    QSet<QString> holdNames;
    bool holdIgnoresStop = false;   // the held call goes on after a stop, reports late, then ends
    QStringList calls;
    std::vector<std::pair<JobKind, bool>> requests;
    int running = 0;
    int maxRunning = 0;
    // What the next calls end with, in turn: an error, or null for success; then success.
    std::deque<std::exception_ptr> outcomes;
    QHash<QUrl, QString> kept;   // the job each failed call kept to be resumed
    QStringList cancelled;

    QCoro::Task<SeparatedStems> separate(QUrl audioFile, double, JobKind kind, bool claimCheck,
                                         ProgressCallback progress, std::stop_token stop, std::shared_ptr<OutageBound>) override
    {
        const QString name = baseOf(audioFile).mid(QStringLiteral("source-").size());
        calls << name;
        requests.emplace_back(kind, claimCheck);
        maxRunning = std::max(maxRunning, ++running);
        try {
            progress({ProcessingStage::Kind::uploading, 0.02, QStringLiteral("Creating job")});
            co_await sleepFor(1ms, stop);
            if (hold && !hold->isReady() && (holdNames.isEmpty() || holdNames.contains(name))) {
                progress({ProcessingStage::Kind::separating, 0.5, QStringLiteral("Separating")});
                Gate gate = hold;
                if (holdIgnoresStop) {
                    const std::stop_token unstoppable;
                    co_await gate->wait(unstoppable);
                    progress({ProcessingStage::Kind::separating, 0.8, QStringLiteral("Late")});
                    throwIfStopped(stop);
                } else {
                    co_await gate->wait(stop);
                }
            }
            if (failing.contains(name))
                throw APIError::accountLimitReached();
            if (!outcomes.empty()) {
                const std::exception_ptr outcome = outcomes.front();
                outcomes.pop_front();
                if (outcome) {
                    kept.insert(audioFile, QStringLiteral("job-") + name);
                    std::rethrow_exception(outcome);
                }
            }
            progress({ProcessingStage::Kind::downloading, 0.96, QStringLiteral("Downloading effects")});
        } catch (...) {
            --running;
            throw;
        }
        --running;
        SeparatedStems stems;
        const QString folder = stemsFolder + u'/' + name;
        QDir().mkpath(folder);
        for (const char* stem : {"dialogue", "music", "effects"})
            writeFile(folder + u'/' + QLatin1String(stem) + QStringLiteral(".flac"), stem);
        stems.dialogueURL = QUrl::fromLocalFile(folder + QStringLiteral("/dialogue.flac"));
        stems.musicURL = QUrl::fromLocalFile(folder + QStringLiteral("/music.flac"));
        stems.effectsURL = QUrl::fromLocalFile(folder + QStringLiteral("/effects.flac"));
        co_return stems;
    }

    QCoro::Task<CloudJob> promote(QString, double, bool, std::stop_token) override { co_return CloudJob{}; }
    QCoro::Task<void> cancel(QString jobID) override { cancelled << jobID; co_return; }
    std::optional<QString> interruptedJob(const QUrl& f) const override
    {
        return kept.contains(f) ? std::optional(kept[f]) : std::nullopt;
    }
};

// Media work that writes small marker files, notices two steps working in one folder at once, and
// can hold a probe or the remux (the latter the way work on the thread pool runs on after a stop).
class FakeMedia final : public MediaOperations {
public:
    std::map<QString, MediaError> probeFailures;   // by file name
    std::map<QString, Gate> probeHolds;
    int probesEnded = 0;
    Gate remuxHold;
    std::vector<std::pair<AudioQuality, double>> mixes;
    QStringList busyFolders;
    bool overlapped = false;

    QCoro::Task<double> inspect(QUrl video, std::stop_token) override
    {
        co_await sleepFor(1ms);
        if (auto hold = probeHolds.find(video.fileName()); hold != probeHolds.end()) {
            Gate gate = hold->second;
            co_await gate->wait();
        }
        ++probesEnded;
        if (auto failure = probeFailures.find(video.fileName()); failure != probeFailures.end())
            throw failure->second;
        co_return 5.0;
    }

    QCoro::Task<ExtractedAudio> extractSoundtrack(QUrl video, QUrl folder, std::optional<double>,
                                                  std::stop_token stop) override
    {
        const QString path = folder.toLocalFile();
        enter(path);
        try {
            co_await sleepFor(1ms, stop);
        } catch (...) {
            busyFolders.removeOne(path);
            throw;
        }
        busyFolders.removeOne(path);
        ExtractedAudio extracted;
        extracted.url = QUrl::fromLocalFile(path + QStringLiteral("/source-") + baseOf(video) + QStringLiteral(".m4a"));
        extracted.duration = extracted.sourceDuration = 5;
        writeFile(extracted.url.toLocalFile(), "audio");
        co_return extracted;
    }

    QCoro::Task<QUrl> mix(QUrl, QUrl, QUrl output, AudioQuality quality, double ambience, std::stop_token stop) override
    {
        co_await sleepFor(1ms, stop);
        mixes.emplace_back(quality, ambience);
        writeFile(output.toLocalFile(), "mix");
        co_return output;
    }

    // The mix and the copy tell their progress when `stepReports` holds some (0.15 s apart, past
    // the reports' throttle).
    std::vector<double> stepReports;

    QCoro::Task<QUrl> mixSeparated(QUrl dialogue, QUrl effects, QUrl, QUrl output, AudioQuality quality,
                                   double ambience, std::stop_token stop, MediaProgress progress) override
    {
        co_await report(progress, stop);
        co_return co_await mix(dialogue, effects, output, quality, ambience, stop);
    }

    QCoro::Task<QUrl> remuxReporting(QUrl video, QUrl soundtrack, QUrl destination,
                                     VideoDemuxerMuxer::FileType type, std::stop_token stop,
                                     MediaProgress progress) override
    {
        co_await report(progress, stop);
        co_return co_await remux(video, soundtrack, destination, type, stop);
    }

    QCoro::Task<QUrl> remux(QUrl video, QUrl, QUrl destination, VideoDemuxerMuxer::FileType,
                            std::stop_token stop) override
    {
        const QString path = QFileInfo(destination.toLocalFile()).path();
        enter(path);
        if (remuxHold && !remuxHold->isReady()) {
            Gate gate = remuxHold;
            co_await gate->wait();
        } else {
            co_await sleepFor(1ms);
        }
        writeFile(destination.toLocalFile(), video.toLocalFile().toUtf8());
        busyFolders.removeOne(path);
        throwIfStopped(stop);
        co_return destination;
    }

    QCoro::Task<void> verifyExport(QUrl, QUrl, QUrl, std::stop_token stop) override
    {
        co_await sleepFor(1ms, stop);
    }

private:
    QCoro::Task<void> report(const MediaProgress& progress, std::stop_token stop)
    {
        for (double fraction : stepReports) {
            if (progress)
                progress(fraction);
            co_await sleepFor(150ms, stop);
        }
    }

    void enter(const QString& folder)
    {
        if (busyFolders.contains(folder))
            overlapped = true;
        busyFolders << folder;
    }
};

} // namespace

class TestBatchQueue : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    MemorySettingsStore defaults;
    std::unique_ptr<ReviewPrompter> prompter;
    FakeEngine engine;
    std::shared_ptr<FakeMedia> media;
    SeparationSettings settings;
    std::unique_ptr<BatchQueueManager> queue;

    QString batchFolder() const { return dir.filePath(QStringLiteral("Batch")); }
    QUrl source(const QString& name) const { return QUrl::fromLocalFile(dir.filePath(QStringLiteral("src/") + name)); }

    const BatchJob& jobNamed(const QString& name) const
    {
        for (const BatchJob& j : queue->jobs())
            if (j.sourceVideoURL.fileName() == name)
                return j;
        static const BatchJob none;
        return none;
    }
    QString folderOf(const QString& name) const
    {
        return batchFolder() + u'/' + jobNamed(name).id.toString(QUuid::WithoutBraces).toUpper();
    }
    QStringList names() const
    {
        QStringList out;
        for (const BatchJob& j : queue->jobs())
            out << j.sourceVideoURL.fileName();
        return out;
    }
    bool waitIdle() { return QTest::qWaitFor([&] { return !queue->isProcessingQueue(); }, 10000); }
    bool waitWorking(const QString& name, ProcessingStage::Kind stage)
    {
        return QTest::qWaitFor([&] {
            const auto& s = jobNamed(name).status;
            return s.isWorking() && s.progress().stage.kind() == stage;
        }, 10000);
    }

private Q_SLOTS:
    void init()
    {
        QDir(dir.path()).removeRecursively();
        QDir().mkpath(dir.path());
        prompter = std::make_unique<ReviewPrompter>(defaults);
        engine = FakeEngine();
        engine.stemsFolder = dir.filePath(QStringLiteral("Jobs"));
        media = std::make_shared<FakeMedia>();
        settings = SeparationSettings{};
        queue = std::make_unique<BatchQueueManager>(&engine, nullptr, prompter.get(), batchFolder(),
                                                    [this] { return settings; }, media);
    }

    void cleanup()
    {
        queue.reset();
        // Let stopped steps wind down before the fakes are reset.
        (void)QTest::qWaitFor([&] { return engine.running == 0 && media->busyFolders.isEmpty(); }, 5000);
    }

    void enqueueTakesEachMovieOnce()
    {
        queue->enqueue({source("a.mp4"), source("a.mp4"), source("notes.txt"), source("README"),
                        source("photo.png"), source("b.mov")});
        queue->enqueue({source("b.mov"), source("c.mkv")});
        QCOMPARE(names(), (QStringList{"a.mp4", "b.mov", "c.mkv"}));
        QCOMPARE(queue->pendingJobs(), 3);
        QVERIFY(QTest::qWaitFor([&] { return media->probesEnded == 3; }));
        for (const BatchJob& j : queue->jobs())
            QCOMPARE(j.duration, 5.0);

        // A movie that can't be read shows as failed before anything runs.
        media->probeFailures.emplace("broken.mp4", MediaError(MediaError::Case::noAudioTrack));
        queue->enqueue({source("broken.mp4")});
        QVERIFY(QTest::qWaitFor([&] { return jobNamed("broken.mp4").status.isFailed(); }));
        QCOMPARE(jobNamed("broken.mp4").status.error(),
                 QStringLiteral("This video has no soundtrack, so there's no music to remove."));
        QCOMPARE(queue->overallProgressFraction(), 0.25);
        QVERIFY(!queue->isProcessingQueue());
        QVERIFY(engine.calls.isEmpty());
    }

    // Servers out of reach: each try of the item waits longer (doubling, up to a cap) and the
    // queue pauses after the last; a gateway's 503 counts as such, any finished item starts the
    // count afresh, and a refusal of the server's own is a failure of the item alone.
    void outageTriesAndWaits_data()
    {
        QTest::addColumn<QString>("outcomes");   // per call: n network, g 503, e 500, b 429 for 30 s, s success
        QTest::addColumn<QList<int>>("waits");   // seconds
        QTest::addColumn<QString>("end");        // per item: c completed, p pending, f failed
        QTest::addColumn<bool>("paused");
        QTest::newRow("seven outages pause") << "nnnnnnn" << QList<int>{5, 10, 20, 40, 60, 60} << "p" << true;
        QTest::newRow("503 is an outage") << "ggs" << QList<int>{5, 10} << "c" << false;
        QTest::newRow("success resets") << "nnsns" << QList<int>{5, 10, 5} << "cc" << false;
        QTest::newRow("server fault") << "es" << QList<int>{} << "fc" << false;
        QTest::newRow("busy as long as asked") << "bbs" << QList<int>{30, 30} << "c" << false;
    }

    void outageTriesAndWaits()
    {
        QFETCH(QString, outcomes);
        QFETCH(QList<int>, waits);
        QFETCH(QString, end);
        QFETCH(bool, paused);
        APIError busy = APIError::server(APIErrorCode::rateLimited, {}, 429);
        busy.setRetryAfter(30s);
        for (QChar c : outcomes)
            engine.outcomes.push_back(
                c == u'n'   ? std::make_exception_ptr(APIError::network(QStringLiteral("down")))
                : c == u's' ? nullptr
                : c == u'b' ? std::make_exception_ptr(busy)
                            : std::make_exception_ptr(APIError::server(APIErrorCode::internal, {}, c == u'g' ? 503 : 500)));
        QList<int> slept;
        queue->setWaitClock(WaitClock{[] { return std::chrono::steady_clock::now(); },
                                      [&slept](std::chrono::milliseconds d, std::stop_token stop) -> QCoro::Task<void> {
                                          slept << int(d.count() / 1000);
                                          co_await sleepFor(0ms, stop);
                                      }});
        QList<QUrl> items;
        for (int i = 0; i < end.size(); ++i)
            items << source(QStringLiteral("item%1.mp4").arg(i));
        queue->enqueue(items);
        if (end.contains(u'f'))
            QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("Batch item .* failed")));
        queue->start();
        QVERIFY(waitIdle());
        QCOMPARE(slept, waits);
        for (int i = 0; i < end.size(); ++i) {
            const BatchJobStatus& status = queue->jobs()[size_t(i)].status;
            QCOMPARE(status.isCompleted() ? u'c' : status.isPending() ? u'p' : u'f', end[i]);
        }
        QCOMPARE(queue->errorMessage().has_value(), paused);
    }

    void loopGoesOnAfterAFailure()
    {
        settings.checkSongsAutomatically = true;
        engine.failing = {"b"};
        queue->enqueue({source("a.mp4"), source("b.mp4"), source("Holiday.mov")});
        QSignalSpy running(queue.get(), &BatchQueueManager::isProcessingQueueChanged);
        QTest::ignoreMessage(QtCriticalMsg, qUtf8Printable("Batch item b.mp4 failed: "
                                                           + APIError::accountLimitReached().localizedDescription()));
        queue->start();
        queue->start();   // already running: nothing more
        QVERIFY(queue->isProcessingQueue());
        queue->enqueue({source("late.mp4")});   // joins the running loop at its place
        QVERIFY(waitIdle());
        QCOMPARE(running.count(), 2);

        QCOMPARE(engine.calls, (QStringList{"a", "b", "Holiday", "late"}));
        for (const auto& [kind, songCheck] : engine.requests) {
            QCOMPARE(kind, JobKind::full);
            QVERIFY(!songCheck);
        }
        QCOMPARE(jobNamed("a.mp4").status,
                 BatchJobStatus::completed(QUrl::fromLocalFile(folderOf("a.mp4") + "/a (Hushframe).mp4")));
        QCOMPARE(jobNamed("b.mp4").status, BatchJobStatus::failed(APIError::accountLimitReached().localizedDescription()));
        QCOMPARE(jobNamed("late.mp4").status.kind(), BatchJobStatus::Kind::completed);
        QCOMPARE(QDir(folderOf("Holiday.mov")).entryList(QDir::Files),
                 (QStringList{"Holiday (Hushframe).m4a", "Holiday (Hushframe).mov", "source-Holiday.m4a"}));
        QVERIFY(prompter->sessionIsSuppressed);
        QCOMPARE(queue->activeJobId(), std::nullopt);
        QCOMPARE(queue->overallProgressFraction(), 1.0);
        QCOMPARE(queue->completedJobs(), 3);

        // Nothing left to do: start does nothing.
        queue->start();
        QVERIFY(!queue->isProcessingQueue());
    }

    void settingsAreReadAsEachJobStarts()
    {
        settings.ambience = 0.3;
        settings.audioQuality = AudioQuality::losslessPCM;
        engine.hold = newGate();
        engine.holdNames = {"a"};
        queue->enqueue({source("a.mp4"), source("clip.mp4")});
        queue->start();
        QVERIFY(waitWorking("a.mp4", ProcessingStage::Kind::separating));
        settings.ambience = 0.9;
        settings.audioQuality = AudioQuality::aac;
        engine.hold->resolve(true);
        QVERIFY(waitIdle());

        QCOMPARE(media->mixes, (std::vector<std::pair<AudioQuality, double>>{{AudioQuality::losslessPCM, 0.3},
                                                                              {AudioQuality::aac, 0.9}}));
        QCOMPARE(QDir(folderOf("a.mp4")).entryList({"a (*"}, QDir::Files),
                 (QStringList{"a (Hushframe).mov", "a (Hushframe).wav"}));
        QCOMPARE(QDir(folderOf("clip.mp4")).entryList({"clip (*"}, QDir::Files),
                 (QStringList{"clip (Hushframe).m4a", "clip (Hushframe).mp4"}));
    }

    void overallFractionAndClearAll()
    {
        QCOMPARE(queue->overallProgressFraction(), 0.0);
        media->probeFailures.emplace("x.mp4", MediaError(MediaError::Case::unreadable));
        engine.hold = newGate();
        engine.holdNames = {"b"};
        queue->enqueue({source("x.mp4"), source("a.mp4"), source("b.mp4")});
        QCOMPARE(queue->overallProgressFraction(), 0.0);
        QVERIFY(QTest::qWaitFor([&] { return jobNamed("x.mp4").status.isFailed(); }));
        queue->start();
        QVERIFY(waitWorking("b.mp4", ProcessingStage::Kind::separating));
        QVERIFY(jobNamed("a.mp4").status.isCompleted());
        const double working = jobNamed("b.mp4").status.progress().fractionCompleted;
        QVERIFY(working > 0 && working < 0.5);
        QCOMPARE(queue->overallProgressFraction(), (1 + 1 + working) / 3);
        QCOMPARE(queue->activeJobId(), jobNamed("b.mp4").id);

        queue->clearAll();
        QVERIFY(queue->jobs().empty());
        QVERIFY(!queue->isProcessingQueue());
        QCOMPARE(queue->activeJobId(), std::nullopt);
        QCOMPARE(queue->overallProgressFraction(), 0.0);
        QVERIFY(QTest::qWaitFor([&] { return engine.running == 0; }));
        QVERIFY(queue->jobs().empty());
        QVERIFY(QFileInfo::exists(batchFolder()));   // clearing deletes no file
    }

    // A job's bar runs forward from the separation through the mix and the copy into the video,
    // each finishing step moving it on while it works, never back.
    void finishingStepsMoveTheBarOn()
    {
        media->stepReports = {0.2, 0.6};
        queue->enqueue({source("a.mp4")});
        std::vector<ProcessingProgress> seen;
        connect(queue.get(), &BatchQueueManager::jobsChanged, this, [&] {
            if (jobNamed("a.mp4").status.isWorking())
                seen.push_back(jobNamed("a.mp4").status.progress());
        });
        queue->start();
        QVERIFY(waitIdle());
        QVERIFY(jobNamed("a.mp4").status.isCompleted());
        for (ProcessingStage::Kind step : {ProcessingStage::Kind::mixing, ProcessingStage::Kind::remuxingVideo}) {
            QSet<double> fractions;
            for (const ProcessingProgress& p : seen)
                if (p.stage.kind() == step)
                    fractions.insert(p.fractionCompleted);
            QVERIFY2(fractions.size() >= 3, qPrintable(QString::number(fractions.size())));
        }
        for (size_t i = 1; i < seen.size(); ++i)
            QVERIFY2(seen[i].fractionCompleted >= seen[i - 1].fractionCompleted,
                     qPrintable(QStringLiteral("%1 after %2").arg(seen[i].fractionCompleted).arg(seen[i - 1].fractionCompleted)));
        QVERIFY(seen.back().fractionCompleted < 1.0);
    }

    // A stop drops the flags at once; the step in flight runs on (here: a separation that only
    // notices the stop when it returns, then a remux on the thread pool). Restarting at once,
    // even twice, must neither run that job in two places nor let a late report through.
    void stopThenStartNeverRunsAJobTwice_data()
    {
        QTest::addColumn<bool>("duringRemux");
        QTest::newRow("separation") << false;
        QTest::newRow("remux") << true;
    }
    void stopThenStartNeverRunsAJobTwice()
    {
        QFETCH(bool, duringRemux);
        Gate gate = newGate();
        if (duringRemux)
            media->remuxHold = gate;
        else {
            engine.hold = gate;
            engine.holdIgnoresStop = true;
        }
        queue->enqueue({source("a.mp4"), source("b.mp4")});
        std::vector<BatchJobStatus> seen;
        connect(queue.get(), &BatchQueueManager::jobsChanged, this,
                [&] { seen.push_back(jobNamed("a.mp4").status); });
        queue->start();
        QVERIFY(duringRemux ? waitWorking("a.mp4", ProcessingStage::Kind::remuxingVideo) : waitWorking("a.mp4", ProcessingStage::Kind::separating));
        const auto seenBeforeStop = seen.size();

        queue->stop();
        QVERIFY(!queue->isProcessingQueue());
        QCOMPARE(queue->activeJobId(), std::nullopt);
        QCOMPARE(jobNamed("a.mp4").status, BatchJobStatus::pending());
        queue->start();
        queue->stop();
        queue->start();
        QVERIFY(queue->isProcessingQueue());
        QTest::qWait(20);   // give a wrongly started run the chance to begin
        QCOMPARE(jobNamed("a.mp4").status, BatchJobStatus::pending());

        gate->resolve(true);
        QVERIFY(waitIdle());
        QVERIFY(jobNamed("a.mp4").status.isCompleted());
        QVERIFY(jobNamed("b.mp4").status.isCompleted());
        QCOMPARE(engine.calls, (QStringList{"a", "a", "b"}));
        QCOMPARE(engine.maxRunning, 1);
        QVERIFY(!media->overlapped);
        for (size_t i = seenBeforeStop; i < seen.size(); ++i)
            QVERIFY(!(seen[i].isWorking() && seen[i].progress().currentStatusMessage == u"Late"));
        // The stopped run's files stay where they were written.
        QVERIFY(QDir(folderOf("a.mp4")).entryList({"source-*"}, QDir::Files).size() == 1);
    }

    void removeAndRetry()
    {
        // Removing the active job stops the loop; the others stay pending.
        engine.hold = newGate();
        engine.holdNames = {"a"};
        queue->enqueue({source("a.mp4"), source("b.mp4"), source("c.mp4")});
        queue->start();
        QVERIFY(waitWorking("a.mp4", ProcessingStage::Kind::separating));
        queue->remove(jobNamed("a.mp4").id);
        QVERIFY(!queue->isProcessingQueue());
        QCOMPARE(names(), (QStringList{"b.mp4", "c.mp4"}));
        QCOMPARE(queue->pendingJobs(), 2);
        QVERIFY(QTest::qWaitFor([&] { return engine.running == 0; }));
        QCOMPARE(queue->pendingJobs(), 2);
        queue->remove(QUuid::createUuid());   // unknown: nothing changes
        QCOMPARE(names(), (QStringList{"b.mp4", "c.mp4"}));

        // Retry while running: a retried job before the current one comes next.
        queue->clearAll();
        engine.failing = {"a"};
        engine.hold = newGate();
        engine.holdNames = {"b"};
        queue->enqueue({source("a.mp4"), source("b.mp4"), source("c.mp4")});
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Batch item a.mp4 failed"));
        queue->start();
        QVERIFY(waitWorking("b.mp4", ProcessingStage::Kind::separating));
        QVERIFY(jobNamed("a.mp4").status.isFailed());
        engine.failing.clear();
        queue->retryFailed();
        QCOMPARE(jobNamed("a.mp4").status, BatchJobStatus::pending());
        engine.hold->resolve(true);
        QVERIFY(waitIdle());
        QCOMPARE(engine.calls.mid(engine.calls.size() - 4), (QStringList{"a", "b", "a", "c"}));
        QCOMPARE(queue->completedJobs(), 3);

        queue->clearCompleted();
        QVERIFY(queue->jobs().empty());
        QCOMPARE(queue->overallProgressFraction(), 0.0);

        // Removing the item that waits between tries leaves no word of a try to come, cancels the
        // job kept for it and takes its files.
        queue->setWaitClock({[] { return std::chrono::steady_clock::now(); },
                             [](std::chrono::milliseconds, std::stop_token stop) { return sleepFor(1h, stop); }});
        engine.outcomes = {std::make_exception_ptr(APIError::server(APIErrorCode::rateLimited, {}, 429))};
        queue->enqueue({source("a.mp4")});
        queue->start();
        QVERIFY(QTest::qWaitFor([&] { return queue->errorMessage() && QFileInfo::exists(folderOf("a.mp4")); }));
        const QString waited = folderOf("a.mp4");
        queue->remove(jobNamed("a.mp4").id);
        QCOMPARE(queue->errorMessage(), std::nullopt);
        QVERIFY(QTest::qWaitFor([&] { return !QFileInfo::exists(waited) && engine.cancelled == QStringList{"job-a"}; }));
    }

    // A removed item's folder goes as soon as nothing writes there: at once for an item no step
    // works on (one that failed while another item runs, or while a stopped run's step still
    // works on another), once its step lets go for the item a stopped step still works on.
    void removedItemsFolderGoesOnceNothingWritesThere_data()
    {
        QTest::addColumn<bool>("afterStop");   // the run was stopped in b's copy, and started again
        QTest::addColumn<QString>("removed");
        QTest::newRow("failed, b working") << false << "a.mp4";
        QTest::newRow("failed, b's stopped copy in flight") << true << "a.mp4";
        QTest::newRow("b, its stopped copy in flight") << true << "b.mp4";
    }
    void removedItemsFolderGoesOnceNothingWritesThere()
    {
        QFETCH(bool, afterStop);
        QFETCH(QString, removed);
        engine.failing = {"a"};
        media->remuxHold = newGate();
        queue->enqueue({source("a.mp4"), source("b.mp4"), source("c.mp4")});
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Batch item a.mp4 failed"));
        queue->start();
        QVERIFY(waitWorking("b.mp4", ProcessingStage::Kind::remuxingVideo));
        if (afterStop)
            queue->stop(), queue->start();
        const QString folder = folderOf(removed);
        QVERIFY(QDir(folder).entryList({"source-*"}, QDir::Files).size() == 1);
        queue->remove(jobNamed(removed).id);
        QCOMPARE(QFileInfo::exists(folder), removed == u"b.mp4");   // only b's folder is written to
        media->remuxHold->resolve(true);
        QVERIFY(QTest::qWaitFor([&] { return !QFileInfo::exists(folder); }));
        QVERIFY(waitIdle());
        QVERIFY(jobNamed("c.mp4").status.isCompleted());
    }

    void lateProbeFailureLeavesAFinishedJob()
    {
        Gate probe = newGate();
        media->probeHolds.emplace("a.mp4", probe);
        media->probeFailures.emplace("a.mp4", MediaError(MediaError::Case::unreadable));
        queue->enqueue({source("a.mp4")});
        queue->start();
        QVERIFY(waitIdle());
        QVERIFY(jobNamed("a.mp4").status.isCompleted());
        probe->resolve(true);
        QVERIFY(QTest::qWaitFor([&] { return media->probesEnded == 1; }));
        QVERIFY(jobNamed("a.mp4").status.isCompleted());
        QCOMPARE(jobNamed("a.mp4").duration, 0.0);
    }

    void exportNamesAndCounts()
    {
        QTemporaryDir out;
        QCOMPARE(queue->exportOutputs(out.path()), 0);

        queue->enqueue({source("x/clip.mp4"), source("y/clip.mp4"), source("other.mov"), source("bad.mp4")});
        engine.failing = {"bad"};
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Batch item bad.mp4 failed"));
        queue->start();
        QVERIFY(waitIdle());
        QCOMPARE(queue->completedJobs(), 3);

        // A file of the user's under an output's name is kept unless replacing it was chosen; two
        // outputs of one name never replace each other.
        QVERIFY(writeFile(out.filePath("clip (Hushframe).mp4"), "the user's"));
        QCOMPARE(BatchQueueManager::existingOutputs(queue->jobs(), out.path()), QStringList{"clip (Hushframe).mp4"});
        bool threw = false;
        try {
            queue->exportOutputs(out.path());
        } catch (const FileSystemError& e) {
            threw = true;
            QCOMPARE(e.localizedDescription(), QStringLiteral("Couldn't copy clip (Hushframe).mp4: File exists"));
        }
        QVERIFY(threw);
        QCOMPARE(readFile(out.filePath("clip (Hushframe).mp4")), QByteArray("the user's"));
        QCOMPARE(QDir(out.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"clip (Hushframe).mp4"});
        const QStringList expected{"clip (Hushframe) 2.mp4", "clip (Hushframe).mp4", "other (Hushframe).mov"};
        for (int round = 0; round < 2; ++round) {
            QCOMPARE(queue->exportOutputs(out.path(), true), 3);
            QCOMPARE(QDir(out.path()).entryList(QDir::Files | QDir::Hidden), expected);
            QCOMPARE(readFile(out.filePath("clip (Hushframe).mp4")), source("x/clip.mp4").toLocalFile().toUtf8());
            QCOMPARE(readFile(out.filePath("clip (Hushframe) 2.mp4")), source("y/clip.mp4").toLocalFile().toUtf8());
        }
        QCOMPARE(BatchQueueManager::existingOutputs(queue->jobs(), out.path()),
                 (QStringList{"clip (Hushframe).mp4", "clip (Hushframe) 2.mp4", "other (Hushframe).mov"}));

        // A failed copy throws and leaves the file that stood there, and no half copy.
        QVERIFY(QFile::remove(jobNamed("clip.mp4").status.videoURL().toLocalFile()));
        QVERIFY(writeFile(out.filePath("clip (Hushframe).mp4"), "keep"));
        threw = false;
        try {
            queue->exportOutputs(out.path(), true);
        } catch (const FileSystemError& e) {
            threw = true;
            QVERIFY(e.localizedDescription().startsWith("Couldn't copy clip (Hushframe).mp4"));
        }
        QVERIFY(threw);
        QCOMPARE(readFile(out.filePath("clip (Hushframe).mp4")), QByteArray("keep"));
        QCOMPARE(QDir(out.path()).entryList(QDir::Files | QDir::Hidden), expected);

        // A folder under an output's name: the final rename fails, and no temporary copy stays
        // in the user's folder.
        QVERIFY(writeFile(jobNamed("clip.mp4").status.videoURL().toLocalFile(), source("x/clip.mp4").toLocalFile().toUtf8()));
        QVERIFY(QFile::remove(out.filePath("other (Hushframe).mov")));
        QVERIFY(QDir().mkpath(out.filePath("other (Hushframe).mov/inside")));
        threw = false;
        try {
            queue->exportOutputs(out.path(), true);
        } catch (const FileSystemError& e) {
            threw = true;
            QVERIFY(e.localizedDescription().startsWith("Couldn't copy other (Hushframe).mov"));
        }
        QVERIFY(threw);
        QCOMPARE(QDir(out.path()).entryList(QDir::Files | QDir::Hidden),
                 (QStringList{"clip (Hushframe) 2.mp4", "clip (Hushframe).mp4"}));
        QVERIFY(QFileInfo(out.filePath("other (Hushframe).mov")).isDir());
    }
};

QTEST_GUILESS_MAIN(TestBatchQueue)
#include "test_batch_queue.moc"
