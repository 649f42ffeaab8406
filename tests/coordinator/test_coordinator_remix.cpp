// The ambience re-mix against scripted media: clamping and saving the level, the quarter-second
// wait in which the latest level wins, the swap into the result, the player and the recent
// videos, and which clean soundtrack files are deleted or kept.

#include "helpers_coordinator.h"

#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <cmath>
#include <limits>

using namespace hf;
using namespace hf::test;

class TestCoordinatorRemix : public QObject {
    Q_OBJECT

    std::unique_ptr<CoordinatorRig> rig;
    EngineCoordinator* c = nullptr;

    double storedAmbience() const { return SeparationSettings::load(*rig->defaults).ambience; }

    // Waits for the re-mix to settle; true when the result ended at `level`.
    bool settlesAt(double level)
    {
        return waitFor([&] { return !c->isRemixing() && c->currentResult()->ambience == level; });
    }

private Q_SLOTS:
    void init()
    {
        rig = std::make_unique<CoordinatorRig>();
        c = rig->coordinator.get();
    }
    void cleanup() { rig.reset(); }

    void levelsAreClampedAndSavedOnEveryChange()
    {
        // Without a result, a change only updates and saves the setting.
        QSignalSpy settingsSpy(c, &EngineCoordinator::settingsChanged);
        c->setAmbience(1.7);
        QCOMPARE(c->settings().ambience, 1.0);
        QCOMPARE(storedAmbience(), 1.0);
        c->setAmbience(-0.2);
        QCOMPARE(storedAmbience(), 0.0);
        c->setAmbience(0.5);
        c->setAmbience(std::numeric_limits<double>::quiet_NaN());
        QCOMPARE(c->settings().ambience, 0.0);
        c->setAmbience(0.0);   // unchanged, still announced
        QCOMPARE(settingsSpy.count(), 5);
        QVERIFY(rig->media->mixAmbiences.empty());

        // Within 0.001 of the result's level: saved, but nothing is rendered.
        c->setAmbience(0.75);
        QVERIFY(rig->openFullResult(rig->video("clip.mp4")));
        const size_t mixes = rig->media->mixAmbiences.size();
        c->setAmbience(0.7509);
        QCOMPARE(storedAmbience(), 0.7509);
        QVERIFY(!QTest::qWaitFor([&] { return c->isRemixing(); }, 400));
        QCOMPARE(rig->media->mixAmbiences.size(), mixes);
    }

    void latestLevelWinsAndIsSwappedIn()
    {
        QVERIFY(rig->openFullResult(rig->video("clip.mp4")));
        const SeparationResult before = *c->currentResult();
        const size_t mixes = rig->media->mixAmbiences.size();
        QSignalSpy remixingSpy(c, &EngineCoordinator::isRemixingChanged);

        for (double level : {0.1, 0.2, 0.3, 0.4, 0.5})
            c->setAmbience(level);
        QVERIFY(!c->isRemixing());   // still waiting
        QVERIFY(settlesAt(0.5));
        QCOMPARE(rig->media->mixAmbiences.size(), mixes + 1);
        QCOMPARE(rig->media->mixAmbiences.back(), 0.5);
        QCOMPARE(rig->media->mixQualities.back(), AudioQuality::aac);
        QCOMPARE(remixingSpy.count(), 2);

        // The new file sits beside the old one, which is gone now that the player plays the new.
        const QString mixed = c->currentResult()->cleanAudioURL.toLocalFile();
        QVERIFY(QRegularExpression("^clean-[0-9A-F]{8}\\.m4a$").match(QFileInfo(mixed).fileName()).hasMatch());
        QCOMPARE(QFileInfo(mixed).path(), QFileInfo(before.cleanAudioURL.toLocalFile()).path());
        QVERIFY(QFile::exists(mixed));
        QVERIFY(!QFile::exists(before.cleanAudioURL.toLocalFile()));

        // The recent entry keeps the new file and level.
        const RecentVideos::Entry entry = rig->recents->entries().front();
        const auto restored = rig->recents->restoredResult(entry, before.sourceVideoURL);
        QVERIFY(restored.has_value());
        QCOMPARE(restored->cleanAudioURL.toLocalFile(), mixed);
        QCOMPARE(restored->ambience, 0.5);
    }

    // A re-mix of a long result shows how far it has come, only forward, and nothing once done.
    void remixReportsItsProgress()
    {
        QVERIFY(rig->openFullResult(rig->video("clip.mp4")));
        rig->media->mixGate = makeGate();
        c->setAmbience(0.3);
        QVERIFY(waitFor([&] { return c->isRemixing() && rig->media->mixProgress; }));
        QCOMPARE(c->remixProgress(), 0.0);
        // Reports come at most ten times a second.
        for (double share : {0.25, 0.6}) {
            QTest::qWait(150);
            rig->media->mixProgress(share);
            QVERIFY(waitFor([&] { return c->remixProgress() == share; }));
        }
        rig->media->mixGate->resolve(true);
        QVERIFY(settlesAt(0.3));
        QCOMPARE(c->remixProgress(), 0.0);
    }

    void replacedFilesAreDeletedOnlyWhenSafe()
    {
        QVERIFY(rig->openFullResult(rig->video("clip.mp4")));

        // The player cannot read the new file: it keeps the old one, which therefore stays.
        rig->media->mixWritesAudio = false;
        QString old = c->currentResult()->cleanAudioURL.toLocalFile();
        c->setAmbience(0.2);
        QVERIFY(settlesAt(0.2));
        QVERIFY(QFile::exists(old));
        rig->media->mixWritesAudio = true;

        // A clean soundtrack outside the working folder is never deleted.
        const QString elsewhere = rig->dir.filePath("Elsewhere");
        QVERIFY(QDir().mkpath(elsewhere));
        old = elsewhere + "/clean-OUTSIDE.m4a";
        QVERIFY(writeSilentWav(old));
        c->modifyCurrentResult([&](SeparationResult& r) { r.cleanAudioURL = QUrl::fromLocalFile(old); });
        c->setAmbience(0.3);
        QVERIFY(settlesAt(0.3));
        QVERIFY(c->currentResult()->cleanAudioURL.toLocalFile().startsWith(elsewhere + "/clean-"));
        QVERIFY(QFile::exists(old));

        // A failed mix leaves the result as it was; the next change tries again.
        rig->media->mixError = MediaError::exportFailed("disk full");
        const SeparationResult kept = *c->currentResult();
        c->setAmbience(0.4);
        QVERIFY(waitFor([&] { return rig->media->mixAmbiences.back() == 0.4; }));
        QVERIFY(waitFor([&] { return !c->isRemixing(); }));
        QCOMPARE(*c->currentResult(), kept);
        QCOMPARE(c->settings().ambience, 0.4);
        rig->media->mixError.reset();
        c->setAmbience(0.45);
        QVERIFY(settlesAt(0.45));
    }

    void aLateRemixLeavesTheNextVideoAlone()
    {
        QVERIFY(rig->openFullResult(rig->video("first.mp4")));
        rig->media->mixGate = makeGate();
        c->setAmbience(0.3);
        QVERIFY(waitFor([&] { return c->isRemixing(); }));
        const QUrl lateMix = rig->media->mixOutputs.back();
        Gate held = rig->media->mixGate;
        rig->media->mixGate.reset();

        QVERIFY(rig->openAndPreview(rig->video("second.mp4")));
        QCOMPARE(c->currentResult()->ambience, 0.3);   // mixed at the new level from the start
        const SeparationResult second = *c->currentResult();
        held->resolve(true);
        QVERIFY(waitFor([&] { return !c->isRemixing(); }));
        QTest::qWait(30);
        QCOMPARE(*c->currentResult(), second);
        QVERIFY(c->currentResult()->cleanAudioURL != lateMix);
    }
};

QTEST_GUILESS_MAIN(TestCoordinatorRemix)
#include "test_coordinator_remix.moc"
