// Replacing the open video against scripted media: the pending replacement and its answers, and
// reopening a recent video with its stored result (no processing), without it, or when it is gone.

#include "helpers_coordinator.h"

#include "support/test_support.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTest>

using namespace hf;
using namespace hf::test;

class TestCoordinatorReplace : public QObject {
    Q_OBJECT

    std::unique_ptr<CoordinatorRig> rig;
    EngineCoordinator* c = nullptr;

    RecentVideos::Entry entryNamed(const QString& name) const
    {
        for (const auto& entry : rig->recents->entries())
            if (entry.displayName == name)
                return entry;
        return {};
    }

private Q_SLOTS:
    void init()
    {
        rig = std::make_unique<CoordinatorRig>();
        c = rig->coordinator.get();
    }
    void cleanup() { rig.reset(); }

    void pendingReplacementAndItsAnswers()
    {
        // A preview asks nothing: the importer opens at once, for the editor.
        QVERIFY(rig->openAndPreview(rig->video("clip.mp4")));
        c->setImportTarget(ImportTarget::queue);
        c->presentFileImporter();
        QVERIFY(c->isFileImporterPresented() && !c->hasPendingReplacement());
        QCOMPARE(c->importTarget(), ImportTarget::editor);
        c->setFileImporterPresented(false);

        // An unexported full clean asks first, with the open video's name.
        c->cleanFullVideo();
        QVERIFY(waitFor([&] { return c->hasFullResult() && !c->isPromoting(); }));
        c->setImportTarget(ImportTarget::queue);
        c->presentFileImporter();
        QVERIFY(!c->isFileImporterPresented());
        QCOMPARE(c->pendingReplacement()->videoName, QString("clip.mp4"));

        // Replace: the request closes at once and the importer opens about 0.35 s later.
        QElapsedTimer clock;
        clock.start();
        c->confirmReplacement();
        QVERIFY(!c->hasPendingReplacement() && !c->isFileImporterPresented());
        QVERIFY(waitFor([&] { return c->isFileImporterPresented(); }));
        QVERIFY(clock.elapsed() >= 300);
        QCOMPARE(c->importTarget(), ImportTarget::editor);
        c->confirmReplacement();   // nothing pending: nothing happens
        c->setFileImporterPresented(false);

        // Export first: the replacement is dropped and the export sheet opens.
        c->setShowExportSheet(false);
        c->presentFileImporter();
        QVERIFY(c->hasPendingReplacement());
        c->exportBeforeReplacing();
        QVERIFY(!c->hasPendingReplacement() && c->showExportSheet());
        QVERIFY(!QTest::qWaitFor([&] { return c->isFileImporterPresented(); }, 500));

        // Once exported, the importer opens without asking; the recent entry is marked.
        c->noteExported();
        QVERIFY(!c->hasUnexportedFullResult());
        QVERIFY(rig->recents->entries().front().exported);
        c->presentFileImporter();
        QVERIFY(c->isFileImporterPresented() && !c->hasPendingReplacement());
    }

    // A question about replacing the open video closes unanswered once what it would lose is gone;
    // a change that leaves it at stake leaves the question.
    void aQuestionThatNoLongerHoldsIsDropped_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("dropped");
        QTest::newRow("result exported") << QStringLiteral("export") << true;
        QTest::newRow("video closed") << QStringLiteral("close") << true;
        QTest::newRow("an error shown") << QStringLiteral("error") << false;
    }
    void aQuestionThatNoLongerHoldsIsDropped()
    {
        QFETCH(QString, change);
        QFETCH(bool, dropped);
        QVERIFY(rig->openAndPreview(rig->video("clip.mp4")));
        c->cleanFullVideo();
        QVERIFY(waitFor([&] { return c->hasFullResult() && !c->isPromoting(); }));
        bool performed = false;
        QVERIFY(c->askBeforeReplacing([&] { performed = true; }));
        QVERIFY(c->hasPendingReplacement());
        if (change == QLatin1String("export"))
            c->noteExported();
        else if (change == QLatin1String("close"))
            c->clearSource();
        else
            c->setErrorMessage(QStringLiteral("Something went wrong."));
        QCOMPARE(c->hasPendingReplacement(), !dropped);
        c->confirmReplacement();
        QCOMPARE(QTest::qWaitFor([&] { return performed; }, 600), !dropped);
    }

    void reopeningARecentVideo()
    {
        // An exported full result of one video, then another video open at a new ambience level.
        const QUrl first = rig->video("first.mp4");
        QVERIFY(rig->openFullResult(first));
        c->noteExported();
        const SeparationResult stored = *c->currentResult();
        QVERIFY(rig->openAndPreview(rig->video("second.mp4")));
        c->setAmbience(0.4);
        QVERIFY(waitFor([&] { return !c->isRemixing() && c->currentResult()->ambience == 0.4; }));
        const size_t separations = rig->engine->calls.size();
        const size_t extractions = rig->media->extractions.size();

        // Reopened with its stored result: no processing, the exported state kept, a new id, and
        // a re-mix at the current level.
        // The open video stays until the stored one has been read.
        c->openRecent(entryNamed("first.mp4"));
        QVERIFY(c->isImporting() && c->source()->displayName == QString("second.mp4"));
        QVERIFY(waitFor([&] { return !c->isImporting() && c->hasFullResult(); }));
        QCOMPARE(c->source()->url, first);
        QCOMPARE(rig->recents->entries().front().displayName, QString("first.mp4"));
        QVERIFY(c->currentResult()->id != stored.id);
        QCOMPARE(c->currentResult()->jobID, stored.jobID);
        QCOMPARE(c->currentResult()->dialogueStemURL, stored.dialogueStemURL);
        QVERIFY(!c->hasUnexportedFullResult());
        QVERIFY(waitFor([&] { return !c->isRemixing() && c->currentResult()->ambience == 0.4; }));
        QVERIFY(waitFor([&] { return c->stemEnvelopes().has_value() && !c->thumbnail().isNull(); }));
        QCOMPARE(rig->engine->calls.size(), separations);
        QCOMPARE(rig->media->extractions.size(), extractions);
        QVERIFY(!c->isProcessing());

        // A later opening wins over a restore still loading its video.
        rig->engine->gate = makeGate();
        c->openRecent(entryNamed("first.mp4"));
        c->openVideo(rig->video("third.mp4"));
        QVERIFY(waitFor([&] { return rig->engine->calls.size() == separations + 1 && !c->isImporting(); }));
        QTest::qWait(30);
        QCOMPARE(c->source()->displayName, QString("third.mp4"));
        QVERIFY(!c->currentResult());
        rig->engine->gate->resolve(true);
        rig->engine->gate.reset();
        QVERIFY(waitFor([&] { return c->hasPreviewResult(); }));

        // Its stems gone: opened like a new file, with the automatic preview.
        QVERIFY(QFile::remove(stored.effectsStemURL.toLocalFile()));
        c->openRecent(entryNamed("first.mp4"));
        QVERIFY(waitFor([&] {
            return c->hasPreviewResult() && !c->isProcessing() && c->currentResult()->sourceVideoURL == first;
        }));
        QCOMPARE(c->source()->url, first);
        QCOMPARE(rig->engine->calls.back().kind, JobKind::preview);

        // The video itself gone: the entry leaves the list with the message; the open video stays.
        QVERIFY(QFile::remove(rig->dir.filePath("second.mp4")));
        c->openRecent(entryNamed("second.mp4"));
        QCOMPARE(c->errorMessage(),
                 QString("That video isn't available anymore. It may have been moved or deleted."));
        QVERIFY(entryNamed("second.mp4").displayName.isEmpty());
        QCOMPARE(c->source()->url, first);
    }
};

QTEST_GUILESS_MAIN(TestCoordinatorReplace)
#include "test_coordinator_replace.moc"
