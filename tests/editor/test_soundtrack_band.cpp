// The soundtrack band on a real result: a speech movie cleaned by the local server, loaded into
// the coordinator and the audition player. The split of the first preview, paging with the zoom,
// seek, scrub and solo by mouse reaching the player, drags that end without their release, and
// pictures of every state.

#include "editor/soundtrack_band.h"
#include "helpers_editor.h"

#include "support/test_support.h"

#include <QTest>

#include <cmath>

using namespace hf;

class TestSoundtrackBand : public QObject {
    Q_OBJECT

    std::unique_ptr<test::EditorRig> rig;
    LaneZoom zoom;
    double now = 0;   // the animation clock the bands read

    std::unique_ptr<SoundtrackBand> makeBand(LaneLayout layout = LaneLayout::regular, int width = 1200)
    {
        auto band = std::make_unique<SoundtrackBand>(layout, &zoom, true, rig->coordinator.get(), rig->player.get(),
                                                     rig->account.get());
        band->setAnimationClock([this] { return now; });
        band->setReduceMotion(false);
        band->resize(width, band->lanes()->heightForWidth(width));
        band->show();
        return band;
    }

    void save(SoundtrackBand& band, const QString& state)
    {
        QCoreApplication::processEvents();
        test::saveScreenshot(band.grab().toImage(), QStringLiteral("editor"), state);
    }

    // A point of the lanes' strip in global terms, at time `t` on the ruler's row.
    QPoint rulerPoint(SoundtrackBand& band, double t) const
    {
        LanesView* lanes = band.lanes();
        const QRectF area = *lanes->area();
        return QPointF(timeToX(t, lanes->timeline(), area), lanes->geometry().head.center().y()).toPoint();
    }

    QWidget* handle(SoundtrackBand& band) const { return band.findChild<QWidget*>(QStringLiteral("lanes.playhead")); }

    // Presses on the ruler at `from` and drags to `to` without letting go.
    void pressAndDrag(SoundtrackBand& band, double from, double to)
    {
        QWidget* target = band.lanes()->childAt(rulerPoint(band, from));
        QVERIFY(target);
        QTest::mousePress(target, Qt::LeftButton, {}, target->mapFrom(band.lanes(), rulerPoint(band, from)));
        QMouseEvent move(QEvent::MouseMove, target->mapFrom(band.lanes(), rulerPoint(band, to)),
                         target->mapToGlobal(target->mapFrom(band.lanes(), rulerPoint(band, to))), Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &move);
    }

private Q_SLOTS:
    void initTestCase()
    {
        rig = std::make_unique<test::EditorRig>();
        if (!rig->ready())
            QSKIP("needs ffmpeg, ffprobe and espeak-ng");
        const QUrl movie = rig->movie(20);
        QVERIFY(!movie.isEmpty());
        QVERIFY(rig->openAndPreview(movie));
        QVERIFY(rig->coordinator->hasPreviewResult());
        QVERIFY(rig->coordinator->currentResult()->coversWholeVideo);
    }

    void cleanupTestCase() { rig.reset(); }

    void init()
    {
        zoom.setIndex(std::nullopt);
        rig->player->pause();
        rig->player->seek(0);
        rig->player->setComparing(false);
        if (rig->player->selectedTrackMode() != AuditionTrackMode::hushframed) {
            rig->player->setSelectedTrackMode(AuditionTrackMode::hushframed);
            rig->player->applyVolumes();
        }
        rig->coordinator->setAmbience(0.75);
    }

    // Runs first: the first band shown for the video's first preview plays the split, once.
    void firstPreviewSplitsOnce()
    {
        now = 100;
        auto band = makeBand();
        QCOMPARE(band->splitProgress(), 0.0);
        now = 100.1;
        band->advanceAnimations();
        QCOMPARE(band->splitProgress(), 0.0);   // still waiting
        save(*band, "split-start");
        now = 100.12 + 0.33;
        band->advanceAnimations();
        QVERIFY(std::abs(band->splitProgress() - 0.3) < 1e-9);
        save(*band, "split-0.3");
        now = 100.12 + 0.55;
        band->advanceAnimations();
        QVERIFY(std::abs(band->lanes()->splitProgress() - 0.5) < 1e-9);
        save(*band, "split-0.5");
        now = 102;
        band->advanceAnimations();
        QCOMPARE(band->splitProgress(), 1.0);
        save(*band, "separated-clean");

        // A second band (a new layout, say) shows the lanes at rest.
        band.reset();
        auto again = makeBand(LaneLayout::stacked, 700);
        QCOMPARE(again->splitProgress(), 1.0);
        save(*again, "separated-stacked");
    }

    void modesAndAmbience()
    {
        auto band = makeBand();
        band->lanes()->setReduceMotion(true);
        LanesView* lanes = band->lanes();
        QCOMPARE(lanes->statusText(Stem::effects), QString("75%"));

        for (Stem stem : {Stem::music, Stem::dialogue, Stem::effects}) {
            QAbstractButton* solo =
                band->findChild<QAbstractButton*>(QStringLiteral("lanes.solo.") + rawValue(stem));
            QVERIFY(solo && solo->isVisible());
            QTest::mouseClick(solo, Qt::LeftButton);
            QCOMPARE(rig->player->selectedTrackMode(), soloMode(stem));
            QCOMPARE(lanes->mode(), soloMode(stem));
            QVERIFY(solo->isChecked());
            QCOMPARE(lanes->statusText(stem), QString("Solo"));
            save(*band, QStringLiteral("separated-") + rawValue(soloMode(stem)).toLower().replace(' ', '-'));
        }
        // Pressing the soloed stem's button again returns to the clean mix.
        QAbstractButton* effects = band->findChild<QAbstractButton*>(QStringLiteral("lanes.solo.effects"));
        QTest::mouseClick(effects, Qt::LeftButton);
        QCOMPARE(rig->player->selectedTrackMode(), AuditionTrackMode::hushframed);
        QVERIFY(!effects->isChecked());

        // Comparing shows the original mode while it lasts.
        rig->player->setComparing(true);
        QCOMPARE(lanes->mode(), AuditionTrackMode::original);
        save(*band, "separated-original");
        rig->player->setComparing(false);
        QCOMPARE(lanes->mode(), AuditionTrackMode::hushframed);

        // The effects lane follows the ambience setting at once.
        rig->coordinator->setAmbience(0);
        QCOMPARE(lanes->statusText(Stem::effects), QString("0%"));
        QCOMPARE(lanes->drawnMix().effects, 0.0);
        save(*band, "separated-clean-ambience-0");
    }

    void zoomPagesThroughTheVideo()
    {
        auto band = makeBand();
        LanesView* lanes = band->lanes();
        // 20 seconds: levels 10 and 20, the default shows the whole video.
        QCOMPARE(lanes->timeline().visibleStart, 0.0);
        QCOMPARE(lanes->timeline().visibleEnd, lanes->timeline().videoDuration);
        QVERIFY(lanes->timeline().videoDuration >= 19.9);
        zoom.setIndex(0);
        QCOMPARE(lanes->timeline().visibleEnd - lanes->timeline().visibleStart, 10.0);
        rig->player->seek(12);
        QCOMPARE(lanes->timeline().visibleStart, 10.0);
        QCOMPARE(*lanes->playhead(), 12.0);
        save(*band, "zoom-10s-second-page");
        rig->player->seek(4);
        QCOMPARE(lanes->timeline().visibleStart, 0.0);
    }

    void seekScrubAndHandleByMouse()
    {
        auto band = makeBand();
        LanesView* lanes = band->lanes();
        const double total = rig->player->totalDuration();
        QVERIFY(total > 19);

        // A click on the ruler seeks there and ends the scrub.
        QWidget* strip = lanes->childAt(rulerPoint(*band, 5));
        QVERIFY(strip);
        QTest::mouseClick(strip, Qt::LeftButton, {}, strip->mapFrom(lanes, rulerPoint(*band, 5)));
        QVERIFY(std::abs(rig->player->currentTime() - 5) < 0.1);
        QVERIFY(!rig->player->isScrubbing());

        // A drag scrubs: the player is told while it lasts, and the release ends it.
        pressAndDrag(*band, 6, 9);
        QVERIFY(rig->player->isScrubbing());
        QVERIFY(std::abs(rig->player->currentTime() - 9) < 0.1);
        QWidget* grabber = QWidget::mouseGrabber() ? QWidget::mouseGrabber() : strip;
        QTest::mouseRelease(grabber, Qt::LeftButton, {}, grabber->mapFrom(lanes, rulerPoint(*band, 11)));
        QVERIFY(!rig->player->isScrubbing());
        QVERIFY(std::abs(rig->player->currentTime() - 11) < 0.1);

        // The handle keeps its distance to the pointer: grabbed 6 points right of the line.
        rig->player->seek(10);
        QWidget* knob = handle(*band);
        QVERIFY(knob && knob->isVisible());
        const QRectF area = *lanes->area();
        const double lineX = timeToX(10, lanes->timeline(), area);
        const QPoint grab(int(lineX) + 6, int(area.center().y()));
        QTest::mousePress(knob, Qt::LeftButton, {}, knob->mapFrom(lanes, grab));
        QMouseEvent move(QEvent::MouseMove, knob->mapFrom(lanes, grab + QPoint(100, 0)),
                         knob->mapToGlobal(knob->mapFrom(lanes, grab + QPoint(100, 0))), Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(knob, &move);
        const double expected = xToTime(lineX + 100, lanes->timeline(), area);
        QVERIFY2(std::abs(rig->player->currentTime() - expected) < 0.05,
                 qPrintable(QString("%1 vs %2").arg(rig->player->currentTime()).arg(expected)));
        QVERIFY(rig->player->isScrubbing());
        QTest::mouseRelease(knob, Qt::LeftButton, {}, knob->mapFrom(lanes, grab + QPoint(100, 0)));
        QVERIFY(!rig->player->isScrubbing());
        save(*band, "after-handle-drag");
    }

    // A drag whose release never comes still ends with its last seek, so the player never stays
    // frozen in scrubbing.
    void interruptedScrubsEnd()
    {
        {
            auto band = makeBand();
            pressAndDrag(*band, 2, 7);
            QVERIFY(rig->player->isScrubbing());
            band->hide();
            QVERIFY(!rig->player->isScrubbing());
            QVERIFY(std::abs(rig->player->currentTime() - 7) < 0.1);
        }
        {
            auto band = makeBand();
            pressAndDrag(*band, 3, 8);
            QVERIFY(rig->player->isScrubbing());
            band.reset();   // destroyed mid-drag
            QVERIFY(!rig->player->isScrubbing());
            QVERIFY(std::abs(rig->player->currentTime() - 8) < 0.1);
        }
        {
            auto band = makeBand();
            pressAndDrag(*band, 3, 4);
            QVERIFY(rig->player->isScrubbing());
            // The pointer comes back with no button held: the release went elsewhere.
            QWidget* strip = band->lanes()->childAt(rulerPoint(*band, 6));
            QMouseEvent move(QEvent::MouseMove, strip->mapFrom(band->lanes(), rulerPoint(*band, 6)),
                             strip->mapToGlobal(strip->mapFrom(band->lanes(), rulerPoint(*band, 6))), Qt::NoButton,
                             Qt::NoButton, Qt::NoModifier);
            QApplication::sendEvent(strip, &move);
            QVERIFY(!rig->player->isScrubbing());
            QVERIFY(std::abs(rig->player->currentTime() - 4) < 0.1);
        }
        {
            auto band = makeBand();
            pressAndDrag(*band, 3, 9);
            QVERIFY(rig->player->isScrubbing());
            // The playhead goes (the result is closed) in the middle of the drag.
            const SeparationResult result = *rig->coordinator->currentResult();
            rig->coordinator->setCurrentResult(std::nullopt);
            QVERIFY(!band->lanes()->playhead());
            QVERIFY(!rig->player->isScrubbing());
            rig->coordinator->setCurrentResult(result);
            QVERIFY(std::abs(rig->player->currentTime() - 9) < 0.1);
        }
    }

    void unseparatedWhileSeparating()
    {
        // The state of a video whose preview is still running, drawn from the real envelope.
        const SeparationResult result = *rig->coordinator->currentResult();
        const StemEnvelopes stems = *rig->coordinator->stemEnvelopes();
        rig->coordinator->setCurrentResult(std::nullopt);
        rig->coordinator->setStemEnvelopes(std::nullopt);
        rig->coordinator->setProcessing(true);
        rig->coordinator->setProcessingKind(JobKind::preview);
        ProcessingProgress progress;
        progress.fractionCompleted = 0.42;
        rig->coordinator->setProgress(progress);
        {
            auto band = makeBand();
            LanesView* lanes = band->lanes();
            QVERIFY(!lanes->isSeparated());
            QVERIFY(!lanes->playhead());
            QVERIFY(!handle(*band)->isVisible());
            QCOMPARE(lanes->statusText(Stem::music), QString("Separating, 42%"));
            save(*band, "unseparated-separating");
            auto stacked = makeBand(LaneLayout::stacked, 700);
            save(*stacked, "unseparated-stacked");
        }
        rig->coordinator->setProcessing(false);
        rig->coordinator->setProcessingKind(std::nullopt);
        rig->coordinator->setProgress(ProcessingProgress{});
        rig->coordinator->setCurrentResult(result);
        rig->coordinator->setStemEnvelopes(stems);
    }

    // Last: a shorter preview of the same video leaves its end unseparated, with a boundary mark.
    void partialPreview()
    {
        QVERIFY(rig->openAndPreview(rig->movie(), 12));
        auto band = makeBand();
        LanesView* lanes = band->lanes();
        QVERIFY(lanes->timeline().separatedEnd < 13);
        QVERIFY(lanes->timeline().videoDuration > 19);
        QCOMPARE(band->splitProgress(), 1.0);   // the video had its split already
        save(*band, "partial-preview");
    }
};

QTEST_MAIN(TestSoundtrackBand)
#include "test_soundtrack_band.moc"
