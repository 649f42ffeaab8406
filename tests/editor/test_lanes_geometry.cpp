// The lanes' plain arithmetic: ruler ticks, zoom levels and paging, lane rectangles per layout,
// time and x, the mix per mode, the split animation's values and the drawn envelope columns.

#include "editor/lanes_geometry.h"

#include <QTest>

#include <cmath>

using namespace hf;

Q_DECLARE_METATYPE(std::vector<double>)

namespace {

LaneTimelineInputs inputs(double source, std::optional<double> result, double time, std::optional<int> zoom,
                          double total = 0)
{
    LaneTimelineInputs in;
    in.sourceDuration = source;
    in.resultDuration = result;
    in.currentTime = time;
    in.zoomIndex = zoom;
    in.totalDuration = total;
    return in;
}

} // namespace

class TestLanesGeometry : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void rulerTicks_data()
    {
        QTest::addColumn<double>("start");
        QTest::addColumn<double>("end");
        QTest::addColumn<std::vector<double>>("ticks");
        QTest::newRow("30 s") << 0.0 << 30.0 << std::vector<double>{0, 10, 20, 30};
        QTest::newRow("25 s keeps 20") << 0.0 << 25.0 << std::vector<double>{0, 10, 20, 25};
        QTest::newRow("21 s drops 20") << 0.0 << 21.0 << std::vector<double>{0, 5, 10, 15, 21};
        QTest::newRow("a later page") << 100.0 << 130.0 << std::vector<double>{100, 110, 120, 130};
        QTest::newRow("pinned last page") << 15.0 << 45.0 << std::vector<double>{15, 20, 30, 40, 45};
        // An inner tick just after the start would sit on the first label: it is left out.
        QTest::newRow("start crowded") << 17.0 << 47.0 << std::vector<double>{17, 30, 40, 47};
        QTest::newRow("empty window") << 12.0 << 12.0 << std::vector<double>{12};
        QTest::newRow("reversed window") << 12.0 << 4.0 << std::vector<double>{12};
        QTest::newRow("3 hours whole") << 0.0 << 10800.0 << std::vector<double>{0, 3600, 7200, 10800};
        QTest::newRow("3 hours at 30 min") << 9000.0 << 10800.0 << std::vector<double>{9000, 9600, 10200, 10800};
        QTest::newRow("4000 s, 10 s page") << 3990.0 << 4000.0 << std::vector<double>{3990, 3995, 4000};
    }
    void rulerTicks()
    {
        QFETCH(double, start);
        QFETCH(double, end);
        QFETCH(std::vector<double>, ticks);
        QCOMPARE(hf::rulerTicks(start, end), ticks);
    }

    void zoomLevels_data()
    {
        QTest::addColumn<double>("duration");
        QTest::addColumn<std::vector<double>>("levels");
        QTest::addColumn<int>("defaultIndex");
        QTest::newRow("20 s") << 20.0 << std::vector<double>{10, 20} << 1;
        QTest::newRow("31 s") << 31.0 << std::vector<double>{10, 31} << 1;
        QTest::newRow("31.5 s") << 31.5 << std::vector<double>{10, 30, 31.5} << 1;
        QTest::newRow("95 s") << 95.0 << std::vector<double>{10, 30, 60, 95} << 1;
        QTest::newRow("4000 s") << 4000.0 << std::vector<double>{10, 30, 60, 120, 300, 600, 1800, 4000} << 1;
        QTest::newRow("3 hours") << 10800.0 << std::vector<double>{10, 30, 60, 120, 300, 600, 1800, 10800} << 1;
        QTest::newRow("nothing open") << 0.0 << std::vector<double>{1} << 0;
    }
    void zoomLevels()
    {
        QFETCH(double, duration);
        QFETCH(std::vector<double>, levels);
        QFETCH(int, defaultIndex);
        QCOMPARE(hf::zoomLevels(duration), levels);
        QCOMPARE(defaultZoomIndex(levels), defaultIndex);
    }

    void paging_data()
    {
        QTest::addColumn<double>("source");
        QTest::addColumn<double>("time");
        QTest::addColumn<int>("zoom");   // -100: the default zoom
        QTest::addColumn<double>("start");
        QTest::addColumn<double>("end");
        QTest::newRow("20 s default shows all") << 20.0 << 5.0 << -100 << 0.0 << 20.0;
        QTest::newRow("45 s at 10 s") << 45.0 << 10.0 << -100 << 0.0 << 30.0;
        QTest::newRow("45 s at 31 s pinned") << 45.0 << 31.0 << -100 << 15.0 << 45.0;
        QTest::newRow("200 s, 30 s page at 95") << 200.0 << 95.0 << 1 << 90.0 << 120.0;
        QTest::newRow("200 s, page turns at 120") << 200.0 << 120.0 << 1 << 120.0 << 150.0;
        QTest::newRow("index past the end") << 200.0 << 95.0 << 99 << 0.0 << 200.0;
        QTest::newRow("negative index") << 200.0 << 95.0 << -3 << 90.0 << 100.0;
        QTest::newRow("3 h, 10 s at 2:00:05") << 10800.0 << 7205.0 << 0 << 7200.0 << 7210.0;
        QTest::newRow("3 h, 30 min at the end") << 10800.0 << 10799.0 << 6 << 9000.0 << 10800.0;
        QTest::newRow("3 h, 10 min near the end") << 10800.0 << 10790.0 << 5 << 10200.0 << 10800.0;
        QTest::newRow("3 h whole") << 10800.0 << 5000.0 << 7 << 0.0 << 10800.0;
        QTest::newRow("time past the end") << 60.0 << 500.0 << 0 << 50.0 << 60.0;
    }
    void paging()
    {
        QFETCH(double, source);
        QFETCH(double, time);
        QFETCH(int, zoom);
        QFETCH(double, start);
        QFETCH(double, end);
        const LaneTimeline timeline =
            laneTimeline(inputs(source, source, time, zoom == -100 ? std::nullopt : std::optional(zoom), source));
        QCOMPARE(timeline.visibleStart, start);
        QCOMPARE(timeline.visibleEnd, end);
    }

    void timelineWithoutResult()
    {
        // Nothing open: a one-second window, nothing separated or playable.
        const LaneTimeline empty = laneTimeline(inputs(0, std::nullopt, 7, std::nullopt, 12));
        QCOMPARE(empty, (LaneTimeline{0, 1, 0, 1, 0}));
        // A video opened but not cleaned: the player's clock does not move the window.
        const LaneTimeline opened = laneTimeline(inputs(200, std::nullopt, 95, 1, 40));
        QCOMPARE(opened, (LaneTimeline{0, 30, 0, 200, 0}));
        // A 30-second preview of a 200-second video.
        const LaneTimeline preview = laneTimeline(inputs(200, 30, 12, std::nullopt, 30));
        QCOMPARE(preview, (LaneTimeline{0, 30, 30, 200, 30}));
        // A result longer than the probed video stretches the video.
        QCOMPARE(laneTimeline(inputs(20, 20.4, 0, 1, 20.4)).videoDuration, 20.4);
    }

    void regularGeometry()
    {
        const LaneMetrics metrics;
        const LaneGeometry g = laneGeometry(LaneLayout::regular, 1000, metrics, 40);
        QCOMPARE(g.head, QRectF(214, 0, 766, 28));
        QCOMPARE(g.lane(Stem::dialogue), QRectF(214, 28, 766, 58));
        QCOMPARE(g.lane(Stem::music), QRectF(214, 87, 766, 58));
        QCOMPARE(g.lane(Stem::effects), QRectF(214, 146, 766, 58));
        QCOMPARE(g.headers[1], QRectF(0, 87, 214, 58));
        QCOMPARE(g.dividers[0], QRectF(214, 86, 786, 1));
        QCOMPARE(g.soloButtons[2], QRectF(164, 153, 44, 44));
        QCOMPARE(g.height, 204.0);
        // Headers taller than a lane make the row taller and centre the lane in it.
        const LaneGeometry tall = laneGeometry(LaneLayout::regular, 1000, metrics, 70);
        QCOMPARE(tall.lane(Stem::dialogue), QRectF(214, 34, 766, 58));
        QCOMPARE(tall.height, 28 + 3 * 70 + 2.0);
        // Larger text scales the gutter and rows, and a strip narrower than its gutter has empty lanes.
        const LaneGeometry scaled = laneGeometry(LaneLayout::regular, 100, LaneMetrics{1.5, 1.25}, 10);
        QCOMPARE(scaled.head, QRectF(321, 0, 0, 35));
        QCOMPARE(scaled.lane(Stem::music).height(), 87.0);
    }

    void stackedGeometry()
    {
        const LaneGeometry g = laneGeometry(LaneLayout::stacked, 400, LaneMetrics{}, 30);
        QCOMPARE(g.head, QRectF(0, 0, 400, 16));
        QCOMPARE(g.headers[0], QRectF(0, 26, 400, 30));
        QCOMPARE(g.lane(Stem::dialogue), QRectF(0, 62, 400, 46));
        QCOMPARE(g.lane(Stem::music), QRectF(0, 26 + 30 + 6 + 46 + 10 + 1 + 10 + 30 + 6, 400, 46));
        QCOMPARE(g.soloButtons[0], QRectF(350, 19, 44, 44));
        QCOMPARE(g.height, 16 + 3 * (10 + 30 + 6 + 46 + 10) + 2.0);
    }

    // At the largest text size the solo square grows past 44: its button frames all of it, the
    // outline included, and stays inside its header's row.
    void soloButtonsHoldTheirSquare()
    {
        const LaneMetrics largest{3.2, 44.0 / 13};
        QVERIFY(largest.soloSize() > 44);
        for (LaneLayout layout : {LaneLayout::regular, LaneLayout::stacked}) {
            const LaneGeometry g = laneGeometry(layout, 900, largest, largest.soloFrame());
            for (size_t i = 0; i < 3; ++i) {
                const QRectF& solo = g.soloButtons[i];
                QVERIFY(solo.width() >= largest.soloSize() + 2 && solo.height() >= largest.soloSize() + 2);
                QVERIFY2(g.headers[i].contains(solo), "the solo button reaches out of its header");
            }
        }
        // At the default size the button keeps its 44-point frame.
        QCOMPARE(LaneMetrics{}.soloFrame(), 44.0);
    }

    void areaAndMappings()
    {
        LaneSlots laneSlots;
        QVERIFY(!lanesArea(laneSlots));
        laneSlots.lanes[1] = QRectF(10, 50, 200, 40);
        laneSlots.lanes[2] = QRectF(10, 91, 200, 40);
        QCOMPARE(*lanesArea(laneSlots), QRectF(10, 50, 200, 81));
        laneSlots.head = QRectF(10, 20, 200, 28);
        QCOMPARE(*lanesArea(laneSlots), QRectF(10, 20, 200, 111));

        const QRectF area(10, 0, 200, 100);
        const LaneTimeline timeline{100, 130, 130, 200, 125};
        QCOMPARE(timeToX(115, timeline, area), 110.0);
        QCOMPARE(timeToX(160, timeline, area), 410.0);   // not clamped
        QCOMPARE(xToTime(110, timeline, area), 115.0);
        QCOMPARE(xToTime(-50, timeline, area), 100.0);   // left of the lanes: the window's start
        QCOMPARE(xToTime(500, timeline, area), 125.0);   // past them: the window's end, limited to playable
        const LaneTimeline unplayable{0, 30, 0, 30, 0};
        QCOMPARE(xToTime(150, unplayable, area), 0.0);
        const LaneTimeline empty{5, 5, 5, 5, 5};
        QCOMPARE(timeToX(5.001, empty, area), 210.0);   // a zero span counts as 0.001 s
    }

    void mixAndStatus()
    {
        QCOMPARE(laneMix(AuditionTrackMode::hushframed, 0.5), (LaneMix{1, 0, 0.5, 1, 1, 1}));
        QCOMPARE(laneMix(AuditionTrackMode::original, 0.5), (LaneMix{1, 1, 1, 1, 1, 1}));
        QCOMPARE(laneMix(AuditionTrackMode::isolatedMusic, 0.5), (LaneMix{1, 1, 1, 0.3, 1, 0.3}));
        QCOMPARE(laneMix(AuditionTrackMode::isolatedDialogue, 0), (LaneMix{1, 1, 1, 1, 0.3, 0.3}));
        QCOMPARE(laneMix(AuditionTrackMode::isolatedEffects, 0), (LaneMix{1, 1, 1, 0.3, 0.3, 1}));
        const LaneMix half = LaneMix{1, 0, 0, 1, 1, 1}.interpolated(LaneMix{1, 1, 1, 0.3, 1, 0.3}, 0.5);
        QCOMPARE(half.music, 0.5);
        QCOMPARE(half.effects, 0.5);
        QCOMPARE(half.dialogueAlpha, 0.65);
        QCOMPARE(half.effectsAlpha, 0.65);

        const std::optional<QString> working = QStringLiteral("Separating, 40%");
        QCOMPARE(laneStatusText(Stem::music, false, AuditionTrackMode::hushframed, 1, working), *working);
        QCOMPARE(laneStatusText(Stem::music, false, AuditionTrackMode::hushframed, 1, std::nullopt),
                 QString("Not separated yet"));
        QCOMPARE(laneStatusText(Stem::dialogue, true, AuditionTrackMode::hushframed, 0.5, working), QString("Kept"));
        QCOMPARE(laneStatusText(Stem::music, true, AuditionTrackMode::hushframed, 0.5, {}), QString("Removed"));
        QCOMPARE(laneStatusText(Stem::effects, true, AuditionTrackMode::hushframed, 0.5, {}), QString("50%"));
        QCOMPARE(laneStatusText(Stem::effects, true, AuditionTrackMode::hushframed, 0, {}), QString("0%"));
        QCOMPARE(laneStatusText(Stem::effects, true, AuditionTrackMode::original, 0, {}), QString("Original"));
        QCOMPARE(laneStatusText(Stem::music, true, AuditionTrackMode::isolatedMusic, 0, {}), QString("Solo"));
        QCOMPARE(laneStatusText(Stem::dialogue, true, AuditionTrackMode::isolatedMusic, 0, {}), QString("Muted"));
    }

    void splitValues_data()
    {
        QTest::addColumn<double>("split");
        QTest::addColumn<bool>("crossfade");
        QTest::addColumn<double>("fading");
        QTest::addColumn<std::vector<double>>("progress");   // per lane index
        QTest::addColumn<double>("musicGain");               // the music lane in the clean mix
        QTest::addColumn<double>("header");
        QTest::newRow("start") << 0.0 << false << 1.0 << std::vector<double>{0, 0, 0} << 1.0 << 0.0;
        QTest::newRow("0.3") << 0.3 << false << 1 - 0.14 / 0.3 << std::vector<double>{1 - std::pow(0.6, 3),
                                                                                      1 - std::pow(1 - 0.04 / 0.3, 3), 0}
                             << 1.0 << 0.05 / 0.35;
        QTest::newRow("0.5") << 0.5 << false << 0.0
                             << std::vector<double>{1, 0.992, 1 - std::pow(1 - 0.16 / 0.3, 3)} << 1.0 << 0.25 / 0.35;
        QTest::newRow("0.76") << 0.76 << false << 0.0 << std::vector<double>{1, 1, 1} << 1 - (1 - 0.125) << 1.0;
        QTest::newRow("rest") << 1.0 << false << 0.0 << std::vector<double>{1, 1, 1} << 0.0 << 1.0;
        QTest::newRow("crossfade 0") << 0.0 << true << 1.0 << std::vector<double>{0, 0, 0} << 0.0 << 0.0;
        QTest::newRow("crossfade 0.3") << 0.3 << true << 0.7 << std::vector<double>{0.3, 0.3, 0.3} << 0.0
                                       << 0.05 / 0.35;
        QTest::newRow("crossfade 0.45") << 0.45 << true << 0.55 << std::vector<double>{0.45, 0.45, 0.45} << 0.0
                                        << 0.2 / 0.35;
        QTest::newRow("crossfade 0.5") << 0.5 << true << 0.0 << std::vector<double>{0.5, 0.5, 0.5} << 0.0
                                       << 0.25 / 0.35;
    }
    void splitValues()
    {
        QFETCH(double, split);
        QFETCH(bool, crossfade);
        QFETCH(double, fading);
        QFETCH(std::vector<double>, progress);
        QFETCH(double, musicGain);
        QFETCH(double, header);
        QVERIFY(std::abs(splitFadingOpacity(split, crossfade) - fading) < 1e-9);
        const QRectF band(0, 0, 500, 180);
        for (int i = 0; i < 3; ++i) {
            const QRectF row(0, i * 60.0, 500, 60);
            const SplitLane lane = splitLane(i, split, crossfade, band, row);
            QVERIFY2(std::abs(lane.progress - progress[size_t(i)]) < 1e-3,
                     qPrintable(QString("lane %1: %2").arg(i).arg(lane.progress)));
            QCOMPARE(lane.drawn, progress[size_t(i)] > 0.001);
            if (lane.drawn && (crossfade || progress[size_t(i)] == 1)) {
                QCOMPARE(lane.centreY, row.center().y());
                QCOMPARE(lane.half, 30.0);
            }
        }
        QVERIFY(std::abs(splitMusicGain(split, 0, crossfade) - musicGain) < 1e-9);
        QVERIFY(std::abs(splitHeaderOpacity(split) - header) < 1e-9);
    }

    void splitLeavesFromTheCentreLine()
    {
        // A lane that has just started is drawn near the band's centre line with nearly the band's
        // height, on its way to its own row.
        const QRectF band(0, 0, 500, 180);
        const SplitLane lane = splitLane(0, 0.2, false, band, QRectF(0, 0, 500, 60));
        QVERIFY(lane.drawn);
        QVERIFY(lane.centreY < 90 && lane.centreY > 75);
        QVERIFY(lane.half < 0.46 * 180 && lane.half > 70);
        // The first drawn lane is out at 0.48, the second at 0.56, the third at 0.64.
        QCOMPARE(splitLane(0, 0.48, false, band, QRectF()).progress, 1.0);
        QVERIFY(splitLane(1, 0.55, false, band, QRectF()).progress < 1);
        QCOMPARE(splitLane(2, 0.64, false, band, QRectF()).progress, 1.0);
        // The fading original is gone from split 0.4597 on.
        QVERIFY(splitFadingOpacity(0.4596, false) > 0);
        QCOMPARE(splitFadingOpacity(0.4598, false), 0.0);
    }

    void splitOverTime()
    {
        QCOMPARE(splitProgressAt(0, false), 0.0);
        QCOMPARE(splitProgressAt(0.12, false), 0.0);
        QVERIFY(std::abs(splitProgressAt(0.12 + 0.55, false) - 0.5) < 1e-9);
        QCOMPARE(splitProgressAt(1.22, false), 1.0);
        QCOMPARE(splitProgressAt(5, false), 1.0);
        // Reduce Motion: 0.4 s, eased in and out.
        QVERIFY(std::abs(splitProgressAt(0.32, true) - 0.5) < 0.01);
        QVERIFY(splitProgressAt(0.17, true) < 0.125);
        QCOMPARE(splitProgressAt(0.52, true), 1.0);
    }

    void envelopeColumns()
    {
        const double step = 0.5;   // two device pixels per point
        // A silent column still shows a pixel each way and no core.
        const EnvelopeColumn silent = envelopeColumn({0, 0, 0, 0}, 1, 0.5f, 40, step);
        QCOMPARE(silent.up, step);
        QCOMPARE(silent.down, step);
        QCOMPARE(silent.body, 0.0);
        // At the reference the column reaches 0.7 of the half height; more is clamped.
        const EnvelopeColumn full = envelopeColumn({0.5, 0.2, 0.5, 0.9}, 1, 0.5f, 40, step);
        QVERIFY(std::abs(full.up - 28) < 1e-4);
        QVERIFY(std::abs(full.down - 28) < 1e-4);
        QVERIFY(std::abs(full.body - 0.7 * std::pow(0.48, 0.85) * 40) < 1e-3);
        // Half the gain is half the values against the same reference.
        const EnvelopeColumn half = envelopeColumn({0.5, 0.2, 0.5, 0.25}, 0.5, 0.5f, 40, step);
        QVERIFY(std::abs(half.up - 0.7 * std::pow(0.5, 0.85) * 40) < 1e-3);
        QVERIFY(std::abs(half.down - 0.7 * std::pow(0.25, 0.85) * 40) < 1e-3);
    }
};

QTEST_GUILESS_MAIN(TestLanesGeometry)
#include "test_lanes_geometry.moc"
