// The editor screen on a generated movie cleaned by the local server: the picture painted from
// the audition player's frames, playback through the transport, comparing by key and by mouse,
// and the switch to the scrolling layout at the accessibility text sizes. Screenshots go to
// screenshots/editor/.

#include "editor/compare_key.h"
#include "editor/lanes_view.h"
#include "editor/picture_view.h"
#include "editor/regular_editor_view.h"
#include "editor/soundtrack_band.h"
#include "editor/transport_bar.h"
#include "helpers_coordinator.h"
#include "helpers_editor.h"

#include "pipeline/formatting.h"
#include "support/test_support.h"
#include "ui_kit/environment.h"

#include <QAccessible>
#include <QApplication>
#include <QSet>
#include <QSignalSpy>
#include <QTest>

#include <cmath>
#include <memory>

using namespace hf;

namespace {

// How many distinct colours the rectangle holds (a painted movie frame has many, a flat fill one).
int distinctColours(const QImage& image, const QRect& rect)
{
    QSet<QRgb> colours;
    for (int y = rect.top(); y <= rect.bottom(); y += 3)
        for (int x = rect.left(); x <= rect.right(); x += 3)
            colours.insert(image.pixel(x, y));
    return int(colours.size());
}

ui::Environment& environment()
{
    return ui::Environment::instance();
}

} // namespace

class TestEditorScreen : public QObject {
    Q_OBJECT

    std::unique_ptr<test::EditorRig> rig;
    std::unique_ptr<LaneZoom> zoom;
    std::unique_ptr<RegularEditorView> view;

    AudioPlayerService& player() { return *rig->player; }

    // Moves the playhead and waits for the picture of that moment.
    bool seekAndShow(double seconds)
    {
        player().seek(seconds);
        return QTest::qWaitFor(
            [&] { return !player().currentFrame().isNull() && std::abs(player().currentFrameTime() - seconds) < 0.2; },
            10000);
    }

private Q_SLOTS:
    void initTestCase()
    {
        environment().setTextSize(ui::TextSize::large);
        rig = std::make_unique<test::EditorRig>();
        if (!rig->ready())
            QSKIP("needs ffmpeg, ffprobe and espeak-ng");
        QVERIFY(rig->openAndPreview(rig->movie(20)));
        QVERIFY(QTest::qWaitFor([&] { return player().hasPicture() && !rig->coordinator->thumbnail().isNull(); },
                                30000));
        zoom = std::make_unique<LaneZoom>();
        view = std::make_unique<RegularEditorView>(zoom.get(), rig->coordinator.get(), rig->player.get(),
                                                   rig->account.get());
        view->resize(1100, 760);
        view->show();
        QVERIFY(QTest::qWaitForWindowActive(view.get()));
    }

    void cleanupTestCase()
    {
        view.reset();
        zoom.reset();
        rig.reset();
        environment().clearOverrides();
    }

    void cleanup()
    {
        if (rig && rig->player)
            player().setComparing(false);
    }

    // Picture, transport and lanes as one screen.
    void showsTheCleanedVideo()
    {
        QVERIFY(seekAndShow(7.3));
        PictureView* picture = view->picture();
        QVERIFY(picture->canCompare());
        QCOMPARE(picture->hearing(), QString("Hearing: Clean"));
        QVERIFY(!picture->hearingLabelRect().isEmpty());
        QCOMPARE(view->transport()->timeReadout()->currentText(), QString("0:07.3"));
        QCOMPARE(view->transport()->timeReadout()->accessibleName(),
                 QString("0:07 of %1").arg(clockText(player().totalDuration())));
        QVERIFY(view->band()->lanes()->isSeparated());
        QVERIFY(view->transport()->compareHint()->isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(view->band()->splitProgress(), 1.0, 5000);   // the first preview's split

        // The picture is painted by us from the player's frames, letterboxed on the pane.
        const QImage shot = view->grab().toImage();
        test::saveScreenshot(shot, "editor", "regular");
        const QRectF content = PictureView::contentRect(picture->size(), rig->coordinator->thumbnail().size());
        const QRect inScreen = content.toRect().translated(picture->mapTo(view.get(), QPoint(0, 0)));
        QVERIFY(inScreen.width() > 200 && inScreen.height() > 100);
        QVERIFY2(distinctColours(shot, inScreen.adjusted(10, 40, -10, -10)) > 20, "the picture is not painted");

        // The band keeps its height; the picture takes the rest.
        QVERIFY(picture->height() > view->height() / 3);
        QCOMPARE(view->band()->geometry().bottom() + 1 + 20, view->height());

        // The picture follows the playhead.
        const QImage before = picture->grab().toImage();
        QVERIFY(seekAndShow(15.0));
        QVERIFY(picture->grab().toImage() != before);
    }

    void playback()
    {
        TransportBar* bar = view->transport();
        QVERIFY(seekAndShow(4.0));
        bar->playPauseButton()->click();
        QVERIFY(player().isPlaying());
        QCOMPARE(bar->playPauseButton()->accessibleName(), QString("Pause"));

        // Go to Beginning while playing restarts from 0.
        bar->goToBeginningButton()->click();
        QVERIFY(player().isPlaying());
        QVERIFY(player().currentTime() < 0.1);

        bar->playPauseButton()->click();
        QVERIFY(!player().isPlaying());
        QCOMPARE(bar->playPauseButton()->accessibleName(), QString("Play"));

        player().seek(12.0);
        bar->goToBeginningButton()->click();
        QCOMPARE(player().currentTime(), 0.0);
        QVERIFY(!player().isPlaying());
        QCOMPARE(bar->timeReadout()->currentText(), QString("0:00.0"));
    }

    void compareByKey()
    {
        QTest::keyPress(view.get(), Qt::Key_Backslash);
        QVERIFY(player().isComparing());
        QCOMPARE(view->picture()->hearing(), QString("Hearing: Original"));
        QCOMPARE(view->band()->lanes()->mode(), AuditionTrackMode::original);
        QCOMPARE(player().trackGain(AuditionTrackMode::original), player().volume());
        QTest::keyRelease(view.get(), Qt::Key_Backslash);
        QVERIFY(!player().isComparing());
        QCOMPARE(view->picture()->hearing(), QString("Hearing: Clean"));

        // With Control it is somebody's shortcut, not the compare key.
        QTest::keyPress(view.get(), Qt::Key_Backslash, Qt::ControlModifier);
        QVERIFY(!player().isComparing());
        QTest::keyRelease(view.get(), Qt::Key_Backslash, Qt::ControlModifier);

        // The window loses the focus while the key is down: the compare ends.
        QTest::keyPress(view.get(), Qt::Key_Backslash);
        QVERIFY(player().isComparing());
        QEvent deactivate(QEvent::WindowDeactivate);
        QApplication::sendEvent(view.get(), &deactivate);
        QVERIFY(!player().isComparing());
        QTest::keyRelease(view.get(), Qt::Key_Backslash);
        QVERIFY(!player().isComparing());
    }

    void compareByMouse()
    {
        PictureView* picture = view->picture();
        const QPoint centre = picture->rect().center();
        QTest::mousePress(picture, Qt::LeftButton, {}, centre);
        QVERIFY(player().isComparing());
        QVERIFY(picture->isComparing());
        QCOMPARE(view->band()->lanes()->mode(), AuditionTrackMode::original);
        test::saveScreenshot(view->grab().toImage(), "editor", "regular-comparing");

        // Holding the key as well changes nothing; the first release ends the comparison.
        QTest::keyPress(view.get(), Qt::Key_Backslash);
        QTest::keyRelease(view.get(), Qt::Key_Backslash);
        QVERIFY(!player().isComparing());
        QTest::mouseRelease(picture, Qt::LeftButton, {}, centre);
        QVERIFY(!player().isComparing());

        // Dragging away ends it while the button is still down.
        QTest::mousePress(picture, Qt::LeftButton, {}, centre);
        QVERIFY(player().isComparing());
        QTest::mouseMove(picture, centre + QPoint(60, 0));
        QVERIFY(!player().isComparing());
        QTest::mouseRelease(picture, Qt::LeftButton, {}, centre + QPoint(60, 0));
    }

    void accessibilityLayout()
    {
        zoom->setIndex(0);
        environment().setTextSize(ui::TextSize::accessibility3);
        QVERIFY(view->usesAccessibilityLayout());
        QCOMPARE(zoom->index(), std::optional<int>(0));   // the zoom lives outside the screen
        QCOMPARE(view->band()->lanes()->laneLayout(), LaneLayout::stacked);
        QTRY_VERIFY(std::abs(view->picture()->height() - 0.4 * view->height()) <= 1);
        QVERIFY(seekAndShow(7.3));
        QApplication::processEvents();
        test::saveScreenshot(view->grab().toImage(), "editor", "accessibility");

        // The compare key holds here too, as its hint says; the picture still compares.
        QVERIFY(view->compareKey()->isEnabled());
        QTest::keyPress(view.get(), Qt::Key_Backslash);
        QVERIFY(player().isComparing());
        QTest::keyRelease(view.get(), Qt::Key_Backslash);
        QVERIFY(!player().isComparing());
        QTest::mousePress(view->picture(), Qt::LeftButton, {}, QPoint(50, 50));
        QVERIFY(player().isComparing());
        QTest::mouseRelease(view->picture(), Qt::LeftButton, {}, QPoint(50, 50));
        QVERIFY(!player().isComparing());

        // The capsule may fall back to the bare track label.
        QCOMPARE(view->picture()->shortHearing(), std::optional<QString>("Clean"));
        player().toggleSolo(Stem::effects);
        QCOMPARE(view->picture()->hearing(), QString("Hearing: Effects and ambience only"));
        QCOMPARE(view->picture()->shortHearing(), std::optional<QString>("Effects and ambience only"));
        player().toggleSolo(Stem::effects);

        environment().setTextSize(ui::TextSize::large);
        QVERIFY(!view->usesAccessibilityLayout());
        QCOMPARE(zoom->index(), std::optional<int>(0));
        QVERIFY(view->compareKey()->isEnabled());
        QCOMPARE(view->picture()->shortHearing(), std::nullopt);
        QCOMPARE(view->band()->lanes()->laneLayout(), LaneLayout::regular);
        zoom->setIndex(std::nullopt);
    }

    // Before the first result: no capsule, no compare, and the key passes untouched.
    void beforeTheResult()
    {
        test::CoordinatorRig fakes;
        fakes.coordinator->setSource(SourceVideo{fakes.video("Waiting.mp4", 45), "Waiting.mp4", 45});
        fakes.coordinator->setProcessing(true);
        RegularEditorView waiting(nullptr, fakes.coordinator.get(), fakes.player.get(), fakes.account.get());
        waiting.resize(900, 600);
        waiting.show();
        QVERIFY(QTest::qWaitForWindowExposed(&waiting));
        QVERIFY(!waiting.picture()->canCompare());
        QVERIFY(waiting.picture()->hearingLabelRect().isEmpty());
        QVERIFY(!waiting.compareKey()->isEnabled());
        QVERIFY(!waiting.transport()->playPauseButton()->isVisible());
        QVERIFY(waiting.transport()->rangeLabel()->isVisible());
        QTest::keyPress(&waiting, Qt::Key_Backslash);
        QVERIFY(!fakes.player->isComparing());
        QTest::keyRelease(&waiting, Qt::Key_Backslash);
        QTest::mousePress(waiting.picture(), Qt::LeftButton, {}, QPoint(40, 40));
        QVERIFY(!fakes.player->isComparing());
        QTest::mouseRelease(waiting.picture(), Qt::LeftButton, {}, QPoint(40, 40));
        test::saveScreenshot(waiting.grab().toImage(), "editor", "regular-separating");
    }
};

QTEST_MAIN(TestEditorScreen)
#include "test_editor_screen.moc"
