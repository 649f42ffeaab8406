// Export preparation against scripted media: the files' names and container, the bundle, the
// count of verified exports, the review prompt's suppression, and the exported mark.

#include "helpers_coordinator.h"

#include "support/test_support.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>

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
        c->modifyCurrentResult([&](SeparationResult& r) { r.sourceVideoURL = QUrl::fromLocalFile(rig->dir.filePath(name)); });
    }

private Q_SLOTS:
    void init()
    {
        rig = std::make_unique<CoordinatorRig>();
        c = rig->coordinator.get();
    }
    void cleanup() { rig.reset(); }

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
        auto cancelled = [&]() -> QCoro::Task<void> {
            try {
                co_await c->prepareExport(AudioQuality::aac, stop.get_token());
            } catch (const Cancelled&) {
                co_return;
            }
            throw std::runtime_error("not cancelled");
        };
        auto running = cancelled();
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
};

QTEST_GUILESS_MAIN(TestCoordinatorExport)
#include "test_coordinator_export.moc"
