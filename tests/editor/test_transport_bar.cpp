// The transport bar: the readout's text, what the bar shows in each state, the zoom steps and
// the compare hint giving way as the bar narrows. Playback through the bar's buttons and the
// readout while a real cleaned result plays are tested in the editor screen's test.

#include "editor/soundtrack_band.h"
#include "editor/transport_bar.h"
#include "helpers_coordinator.h"
#include "ui_kit/text_styles.h"

#include "support/test_support.h"

#include <QTest>

using namespace hf;

namespace {

void openSource(test::CoordinatorRig& rig, double seconds)
{
    rig.coordinator->setSource(SourceVideo{rig.video(QStringLiteral("Clip.mp4"), seconds),
                                           QStringLiteral("Clip.mp4"), seconds});
}

} // namespace

class TestTransportBar : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void currentTimeText_data()
    {
        QTest::addColumn<double>("seconds");
        QTest::addColumn<QString>("locale");
        QTest::addColumn<bool>("tenths");
        QTest::addColumn<QString>("expected");
        QTest::newRow("zero") << 0.0 << "en_US" << true << "0:00.0";
        QTest::newRow("floors the tenths") << 75.46 << "en_US" << true << "1:15.4";
        QTest::newRow("never runs ahead of the second") << 59.99 << "en_US" << true << "0:59.9";
        QTest::newRow("last tenth of the hour") << 3599.95 << "en_US" << true << "59:59.9";
        QTest::newRow("the hour") << 3600.0 << "en_US" << true << "1:00:00.0";
        QTest::newRow("hours") << 3725.07 << "en_US" << true << "1:02:05.0";
        QTest::newRow("decimal comma") << 75.46 << "de_DE" << true << "1:15,4";
        QTest::newRow("without tenths") << 75.96 << "en_US" << false << "1:15";
        QTest::newRow("negative") << -3.0 << "en_US" << true << "0:00.0";
    }
    void currentTimeText()
    {
        QFETCH(double, seconds);
        QFETCH(QString, locale);
        QFETCH(bool, tenths);
        QFETCH(QString, expected);
        QCOMPARE(hf::currentTimeText(seconds, tenths, QLocale(locale)), expected);
    }

    // Nothing without a video, the zoom alone before a result, everything with one.
    void showsWhatTheStateAllows()
    {
        test::CoordinatorRig rig;
        LaneZoom zoom;
        TransportBar bar(&zoom, rig.coordinator.get(), rig.player.get());
        bar.resize(900, 60);
        bar.show();
        QVERIFY(bar.height() >= 60);
        QVERIFY(!bar.playPauseButton()->isVisible());
        QVERIFY(!bar.rangeLabel()->isVisible());

        openSource(rig, 200);
        QVERIFY(bar.rangeLabel()->isVisible());
        QVERIFY(!bar.playPauseButton()->isVisible());
        QVERIFY(!bar.timeReadout()->isVisible());
        QVERIFY(!bar.compareHint()->isVisible());
        QCOMPARE(bar.rangeLabel()->text(), QString("Showing 0:00 to 0:30"));

        QVERIFY(rig.openAndPreview(rig.video(QStringLiteral("Clip.mp4"), 20)));
        QVERIFY(bar.playPauseButton()->isVisible());
        QVERIFY(bar.goToBeginningButton()->isVisible());
        QVERIFY(bar.timeReadout()->isVisible());
        QCOMPARE(bar.playPauseButton()->accessibleName(), QString("Play"));

        // Go to Beginning while paused only moves the playhead.
        bar.goToBeginningButton()->click();
        QCOMPARE(rig.player->currentTime(), 0.0);
        QVERIFY(!rig.player->isPlaying());
    }

    void zoomSteps()
    {
        test::CoordinatorRig rig;
        LaneZoom zoom;
        TransportBar bar(&zoom, rig.coordinator.get(), rig.player.get());

        // 200 s: 10, 30, 60, 120, 200; the default is 30.
        openSource(rig, 200);
        QVERIFY(bar.zoomOutButton()->isEnabled());
        QVERIFY(bar.zoomInButton()->isEnabled());
        // Reached with Tab, each shows the focus ring.
        bar.show();
        QVERIFY(QTest::qWaitForWindowActive(&bar));
        for (QAbstractButton* button : {bar.zoomOutButton(), bar.zoomInButton()}) {
            bar.setFocus();
            const QImage before = button->grab().toImage();
            button->setFocus(Qt::TabFocusReason);
            QVERIFY(button->grab().toImage() != before);
        }
        bar.zoomInButton()->click();
        QCOMPARE(zoom.index(), std::optional<int>(0));
        QCOMPARE(bar.rangeText(), QString("Showing 0:00 to 0:10"));
        QVERIFY(!bar.zoomInButton()->isEnabled());
        zoom.setIndex(std::nullopt);
        QStringList ranges;
        while (bar.zoomOutButton()->isEnabled()) {
            bar.zoomOutButton()->click();
            ranges << bar.rangeText();
        }
        QCOMPARE(ranges, QStringList({"Showing 0:00 to 1:00", "Showing 0:00 to 2:00", "Showing 0:00 to 3:20"}));
        QCOMPARE(zoom.index(), std::optional<int>(4));

        // A stored index beyond a shorter video's levels: the whole video, zoom out off, and
        // each zoom in lowers the stored index by one.
        zoom.setIndex(6);
        openSource(rig, 20);
        QCOMPARE(bar.rangeText(), QString("Showing 0:00 to 0:20"));
        QVERIFY(!bar.zoomOutButton()->isEnabled());
        bar.zoomInButton()->click();
        QCOMPARE(zoom.index(), std::optional<int>(5));
        QCOMPARE(bar.rangeText(), QString("Showing 0:00 to 0:20"));

        // 20 s: 10, 20, default the whole video.
        zoom.setIndex(std::nullopt);
        QVERIFY(!bar.zoomOutButton()->isEnabled());
        QVERIFY(bar.zoomInButton()->isEnabled());
        bar.zoomInButton()->click();
        QCOMPARE(bar.rangeText(), QString("Showing 0:00 to 0:10"));

        // 11 s has a single level.
        zoom.setIndex(std::nullopt);
        openSource(rig, 11);
        QVERIFY(!bar.zoomOutButton()->isEnabled());
        QVERIFY(!bar.zoomInButton()->isEnabled());
    }

    // The hint drops to its short form and then to nothing; the readout and buttons keep
    // their size.
    void hintGivesWayFirst()
    {
        test::CoordinatorRig rig;
        QVERIFY(rig.openAndPreview(rig.video(QStringLiteral("Clip.mp4"), 20)));
        LaneZoom zoom;
        TransportBar bar(&zoom, rig.coordinator.get(), rig.player.get());
        bar.resize(1000, 60);
        bar.show();
        QVERIFY(QTest::qWaitForWindowExposed(&bar));
        QCOMPARE(bar.compareHint()->shownText(), QString("Hold \\ to hear the original"));
        test::saveScreenshot(bar.grab().toImage(), "editor", "transport-wide");

        const int readout = bar.timeReadout()->width();
        const int least = bar.minimumSizeHint().width();
        const QFontMetrics metrics(ui::font(ui::TextStyle::body));
        bar.resize(least + metrics.horizontalAdvance("Hold to compare") + 20, 60);
        QTRY_COMPARE(bar.compareHint()->shownText(), QString("Hold to compare"));
        bar.resize(least + 20, 60);
        QTRY_COMPARE(bar.compareHint()->shownText(), QString());
        QCOMPARE(bar.timeReadout()->width(), readout);
        QCOMPARE(bar.playPauseButton()->width(), 34);
        test::saveScreenshot(bar.grab().toImage(), "editor", "transport-narrow");
    }
};

QTEST_MAIN(TestTransportBar)
#include "test_transport_bar.moc"
