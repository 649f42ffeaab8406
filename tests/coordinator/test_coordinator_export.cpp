// Export preparation against scripted media: the files' names and container, the bundle, the
// count of verified exports, the review prompt's suppression, the exported mark, the level an
// export is mixed at, what a failed export leaves in the cache, and a video that changed on
// disk after it was cleaned.

#include "helpers_coordinator.h"

#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>
#include <cmath>

using namespace hf;
using namespace hf::test;

class TestCoordinatorExport : public QObject {
    Q_OBJECT

    std::unique_ptr<CoordinatorRig> rig;
    EngineCoordinator* c = nullptr;

    QStringList exportFolders() const
    {
        return QDir(rig->work()).entryList({"Export-*"}, QDir::Dirs | QDir::NoDotAndDotDot);
    }

    // The current full result as if it came from `name`.
    void sourceNamed(const QString& name)
    {
        const QUrl url = rig->video(name);
        c->modifyCurrentResult([&](SeparationResult& r) { r.sourceVideoURL = url; });
    }

    // Prepares an export that must end cancelled.
    QCoro::Task<void> prepareUntilCancelled(std::stop_token stop)
    {
        try {
            co_await c->prepareExport(AudioQuality::aac, stop);
        } catch (const Cancelled&) {
            co_return;
        }
        throw std::runtime_error("not cancelled");
    }

private Q_SLOTS:
    void init()
    {
        rig = std::make_unique<CoordinatorRig>();
        c = rig->coordinator.get();
    }
    void cleanup() { rig.reset(); }

    // The preparation of an export tells how far it has come: in order, from its start to its
    // end, the mix's share on the way.
    void preparationProgressMovesToTheEnd()
    {
        QVERIFY(rig->openFullResult(rig->video("Long.mp4", 7200)));
        rig->media->mixReports = {0.5, 1.0};
        std::vector<double> reports;
        runTask(c->prepareExport(AudioQuality::aac, {}, [&reports](double f) { reports.push_back(f); }));
        QVERIFY2(reports.size() >= 3, qPrintable(QString::number(reports.size())));
        for (size_t i = 1; i < reports.size(); ++i)
            QVERIFY(reports[i] > reports[i - 1]);
        QVERIFY(reports.front() < 0.01);
        QCOMPARE(reports.back(), 1.0);
        // Two hours of sound and a small file: the mix is nearly all of it.
        QVERIFY(std::ranges::any_of(reports, [](double f) { return f > 0.45 && f < 0.55; }));
    }

    // The mix is a part of the clean: it moves the bar on from where the separation left it, never
    // back, and its own progress shows under its own step up to the end.
    void mixMovesTheBarOnFromTheSeparation()
    {
        QVERIFY(rig->openAndPreview(rig->video("Long.mp4", 45)));
        rig->media->mixGate = makeGate();
        std::vector<double> bar;
        connect(c, &EngineCoordinator::progressChanged, this, [&] { bar.push_back(c->progress().fractionCompleted); });
        c->cleanFullVideo();
        const QString mixing = QStringLiteral("Mixing dialogue and ambience");
        QVERIFY(waitFor([&] { return c->progress().currentStatusMessage == mixing && rig->media->mixProgress; }));
        const double separated = c->progress().fractionCompleted;
        QVERIFY2(separated > 0.2 && separated < 0.9, qPrintable(QString::number(separated)));
        double last = separated;
        // Reports come at most ten times a second.
        for (double share : {0.1, 0.4, 0.7}) {
            QTest::qWait(150);
            rig->media->mixProgress(share);
            QVERIFY2(waitFor([&] { return c->progress().fractionCompleted > last; }),
                     qPrintable(QString::number(c->progress().fractionCompleted)));
            last = c->progress().fractionCompleted;
            QVERIFY(last < 1.0);
            QCOMPARE(c->progress().currentStatusMessage, mixing);
        }
        rig->media->mixGate->resolve(true);
        QVERIFY(waitFor([&] { return c->hasFullResult() && !c->isProcessing(); }));
        QCOMPARE(c->progress().fractionCompleted, 1.0);
        for (size_t i = 1; i < bar.size(); ++i)
            QVERIFY2(bar[i] >= bar[i - 1], qPrintable(QStringLiteral("%1 after %2").arg(bar[i]).arg(bar[i - 1])));
    }

    void namesContainersAndBundle()
    {
        // Only a preview: refused with its text, nothing written.
        QVERIFY(rig->openAndPreview(rig->video("Holiday.MOV")));
        try {
            runTask(c->prepareExport(AudioQuality::aac));
            QFAIL("a preview was exported");
        } catch (const MediaError& e) {
            QCOMPARE(e.localizedDescription(), QString("Exporting failed: Clean the full video before exporting."));
        }
        QVERIFY(exportFolders().isEmpty());
        QVERIFY(!rig->prompter->sessionIsSuppressed);

        c->cleanFullVideo();
        QVERIFY(waitFor([&] { return c->hasFullResult() && !c->isPromoting(); }));
        c->modifyCurrentResult([](SeparationResult& r) { r.ambience = 0.3; });
        c->modifySettings([](SeparationSettings& s) { s.ambience = 0.3; });
        const SeparationResult result = *c->currentResult();
        const ExportBundle bundle = runTask(c->prepareExport(AudioQuality::aac));
        const QFileInfo video(bundle.videoURL.toLocalFile());
        QCOMPARE(video.fileName(), QString("Holiday (Hushframe).mov"));
        QCOMPARE(QFileInfo(bundle.audioURL.toLocalFile()).fileName(), QString("Holiday (Hushframe).m4a"));
        QCOMPARE(QFileInfo(bundle.audioURL.toLocalFile()).path(), video.path());
        QVERIFY(QRegularExpression("^Export-[0-9A-F]{8}$").match(video.dir().dirName()).hasMatch());
        QCOMPARE(video.dir().absolutePath(), QDir(rig->work()).filePath(video.dir().dirName()));
        QCOMPARE(bundle.stemURLs,
                 (std::vector<QUrl>{result.dialogueStemURL, result.musicStemURL, result.effectsStemURL}));
        QCOMPARE(bundle.quality, AudioQuality::aac);
        // A fresh mix at the result's level, remuxed into the source's container.
        QCOMPARE(rig->media->mixAmbiences.back(), 0.3);
        QCOMPARE(rig->media->remuxes.back().video, result.sourceVideoURL);
        QCOMPARE(rig->media->remuxes.back().soundtrack, bundle.audioURL);
        QCOMPARE(rig->media->remuxes.back().type, VideoDemuxerMuxer::FileType::quickTimeMovie);

        const struct {
            const char* source;
            AudioQuality quality;
            const char* video;
            const char* audio;
        } cases[] = {
            {"clip.mkv", AudioQuality::aac, "clip (Hushframe).mp4", "clip (Hushframe).m4a"},
            {"clip.m4v", AudioQuality::aac, "clip (Hushframe).m4v", "clip (Hushframe).m4a"},
            {"my.clip.mp4", AudioQuality::losslessPCM, "my.clip (Hushframe).mov", "my.clip (Hushframe).wav"},
        };
        for (const auto& t : cases) {
            sourceNamed(t.source);
            const ExportBundle b = runTask(c->prepareExport(t.quality));
            QCOMPARE(QFileInfo(b.videoURL.toLocalFile()).fileName(), QString(t.video));
            QCOMPARE(QFileInfo(b.audioURL.toLocalFile()).fileName(), QString(t.audio));
            QCOMPARE(rig->media->mixQualities.back(), t.quality);
        }
        QCOMPARE(exportFolders().size(), 4);   // a folder per export
    }

    void bookkeeping()
    {
        QVERIFY(rig->openFullResult(rig->video("clip.mp4")));

        // The same result exported twice counts once.
        runTask(c->prepareExport(AudioQuality::aac));
        runTask(c->prepareExport(AudioQuality::aac));
        QCOMPARE(rig->prompter->successCount(), qint64(1));
        QVERIFY(c->verifiedExportAwaitingReview());
        QVERIFY(c->hasUnexportedFullResult());

        // A cancelled export leaves the review prompt alone.
        rig->media->verifyGate = makeGate();
        std::stop_source stop;
        auto running = prepareUntilCancelled(stop.get_token());
        QVERIFY(waitFor([&] { return rig->media->remuxes.size() == 3; }));
        stop.request_stop();
        runTask(std::move(running));
        QVERIFY(!rig->prompter->sessionIsSuppressed);
        rig->media->verifyGate.reset();

        // A failed verification is thrown, suppresses the prompt and counts nothing.
        rig->media->verifyError = MediaError(MediaError::Case::verificationFailed);
        c->modifyCurrentResult([](SeparationResult& r) { r.id = QUuid::createUuid(); });
        QVERIFY_THROWS_EXCEPTION(MediaError, runTask(c->prepareExport(AudioQuality::aac)));
        QVERIFY(rig->prompter->sessionIsSuppressed);
        QCOMPARE(rig->prompter->successCount(), qint64(1));

        // Saved: no longer unexported, and marked in the recent videos.
        c->noteExported();
        QVERIFY(!c->hasUnexportedFullResult());
        QCOMPARE(c->exportedResultID(), std::optional<QUuid>(c->currentResult()->id));
        QVERIFY(rig->recents->entries().front().exported);
    }
    // Export pressed right after the ambience was moved, before its re-mix: the export carries
    // the level on screen, not the one of the result's current soundtrack.
    void exportRightAfterAmbienceChange()
    {
        QVERIFY(rig->openFullResult(rig->video("walk.mp4")));
        c->setAmbience(0.75);
        QVERIFY(waitFor([&] { return std::abs(c->currentResult()->ambience - 0.75) < 1e-9 && !c->isRemixing(); }));
        c->setAmbience(0.2);
        QVERIFY(std::abs(c->currentResult()->ambience - 0.75) < 1e-9);   // the re-mix is still pending
        const ExportBundle bundle = runTask(c->prepareExport(AudioQuality::aac));
        const auto it = std::find(rig->media->mixOutputs.begin(), rig->media->mixOutputs.end(), bundle.audioURL);
        QVERIFY(it != rig->media->mixOutputs.end());
        QCOMPARE(rig->media->mixAmbiences[size_t(it - rig->media->mixOutputs.begin())], 0.2);
    }

    // An export that fails or is cancelled leaves nothing in the cache; one that ends is
    // discarded by its owner, keeping only what was saved into its own folder.
    void workingCopiesGo()
    {
        QVERIFY(rig->openFullResult(rig->video("clip.mp4")));
        rig->media->verifyError = MediaError(MediaError::Case::verificationFailed);
        QVERIFY_THROWS_EXCEPTION(MediaError, runTask(c->prepareExport(AudioQuality::aac)));
        QVERIFY(exportFolders().isEmpty());
        rig->media->verifyError.reset();

        rig->media->verifyGate = makeGate();
        std::stop_source stop;
        auto running = prepareUntilCancelled(stop.get_token());
        QVERIFY(waitFor([&] { return rig->media->remuxes.size() == 2; }));
        QCOMPARE(exportFolders().size(), 1);
        stop.request_stop();
        runTask(std::move(running));
        QVERIFY(exportFolders().isEmpty());
        rig->media->verifyGate.reset();

        const ExportBundle bundle = runTask(c->prepareExport(AudioQuality::aac));
        QCOMPARE(exportFolders().size(), 1);
        QFile video(bundle.videoURL.toLocalFile());
        QVERIFY(video.open(QIODevice::WriteOnly));
        video.close();
        EngineCoordinator::discardExportFiles(bundle, {bundle.videoURL.toLocalFile()});
        QVERIFY(QFileInfo::exists(bundle.videoURL.toLocalFile()));
        QVERIFY(!QFileInfo::exists(bundle.audioURL.toLocalFile()));
        EngineCoordinator::discardExportFiles(bundle);
        QVERIFY(exportFolders().isEmpty());
    }

    // The video was replaced on disk (as when it is rendered again under the same name) or
    // deleted after it was cleaned: the export refuses it in words, and writes nothing.
    void sourceChangedOrDeleted()
    {
        const QUrl url = rig->video("Talk.mp4");
        QVERIFY(rig->openFullResult(url));
        QFile file(url.toLocalFile());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("a shorter video rendered under the same name");
        file.close();
        try {
            runTask(c->prepareExport(AudioQuality::aac));
            QFAIL("a changed video was exported");
        } catch (const MediaError& e) {
            QCOMPARE(e.errorCase(), MediaError::Case::sourceChanged);
            QCOMPARE(e.localizedDescription(),
                     QString("\u201cTalk.mp4\u201d has changed since it was cleaned, so its clean soundtrack no longer "
                             "fits it. Clean it again to export it."));
        }
        QVERIFY(rig->media->remuxes.empty());
        QVERIFY(exportFolders().isEmpty());

        // Cleaning again opens the file as it is now and starts over.
        const QUuid stale = c->currentResult()->id;
        c->cleanChangedSourceAgain();
        QVERIFY(waitFor([&] { return c->hasPreviewResult() && !c->isProcessing(); }));
        QVERIFY(c->currentResult()->id != stale);
        QVERIFY(c->source()->fingerprint);
        QCOMPARE(c->source()->fingerprint->size, QFileInfo(url.toLocalFile()).size());

        c->cleanFullVideo();
        QVERIFY(waitFor([&] { return c->hasFullResult() && !c->isPromoting() && !c->isProcessing(); }));
        runTask(c->prepareExport(AudioQuality::aac));
        QVERIFY(QFile::remove(url.toLocalFile()));
        try {
            runTask(c->prepareExport(AudioQuality::aac));
            QFAIL("a deleted video was exported");
        } catch (const MediaError& e) {
            QCOMPARE(e.errorCase(), MediaError::Case::sourceMissing);
            QVERIFY2(e.localizedDescription().contains("Talk.mp4"), qPrintable(e.localizedDescription()));
            QVERIFY(!e.localizedDescription().contains("No such file"));
        }
    }

    // A video whose clean the cache's bound took reopens as a new video, saying why.
    void reopeningADroppedClean()
    {
        const QUrl talk = rig->video("Talk.mp4");
        QVERIFY(rig->openFullResult(talk));
        rig->recents->setCacheLimit(1);
        QVERIFY(rig->openFullResult(rig->video("other.mp4")));
        const RecentVideos::Entry entry = rig->recents->entries().back();
        QVERIFY(entry.resultDropped);
        c->openRecent(entry);
        QVERIFY(waitFor([&] { return c->hasPreviewResult() && !c->isProcessing() && !c->isImporting(); }));
        QCOMPARE(c->source()->url, talk);
        QCOMPARE(c->errorMessage(), std::optional<QString>("The earlier clean of \u201cTalk.mp4\u201d was removed to keep "
                                                           "Hushframe\u2019s cache small. It opens as a new video: "
                                                           "clean it again to export it."));
    }

    // A recent video whose file changed since it was cleaned is not shown with its old clean:
    // it opens as a new video with a message saying why, also after a restart.
    void reopeningAChangedVideo()
    {
        const QUrl talk = rig->video("Talk.mp4");
        QVERIFY(rig->openFullResult(talk));
        QVERIFY(rig->openAndPreview(rig->video("other.mp4")));

        // Unchanged, it is restored with its result, and nothing is said.
        RecentVideos::Entry entry = rig->recents->entries().back();
        QCOMPARE(entry.displayName, QString("Talk.mp4"));
        QVERIFY(entry.result && entry.result->cleanedFrom);
        c->openRecent(entry);
        QVERIFY(waitFor([&] { return c->hasFullResult() && !c->isImporting(); }));
        QVERIFY(!c->errorMessage());
        QVERIFY(rig->openAndPreview(rig->video("other.mp4")));

        QFile file(talk.toLocalFile());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("rendered again");
        file.close();
        // After a restart the store still knows what the video was when it was cleaned.
        RecentVideos reloaded(rig->defaults.get(), rig->caches());
        entry = reloaded.entries().back();
        QVERIFY(reloaded.sourceChangedSinceCleaned(entry, talk));
        QVERIFY(!reloaded.restoredResult(entry, talk));

        entry = rig->recents->entries().back();
        c->openRecent(entry);
        QVERIFY(waitFor([&] { return c->hasPreviewResult() && !c->isProcessing() && !c->isImporting(); }));
        QCOMPARE(c->source()->url, talk);
        QVERIFY(c->errorMessage());
        QVERIFY2(c->errorMessage()->contains("\u201cTalk.mp4\u201d has changed since it was cleaned"),
                 qPrintable(*c->errorMessage()));
        QVERIFY(!rig->recents->entries().front().result);
    }
};

QTEST_GUILESS_MAIN(TestCoordinatorExport)
#include "test_coordinator_export.moc"
