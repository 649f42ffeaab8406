// The lanes' drawing, checked through the pixels it leaves: what is drawn where for each state,
// columns one device pixel wide, the references, the mix and the split.

#include "editor/lanes_canvas.h"

#include "ui_kit/palette.h"

#include <QPainter>
#include <QTest>

#include <cmath>

using namespace hf;

namespace {

SoundtrackEnvelope constantEnvelope(double seconds, float peak, float rms, float high, float low)
{
    const size_t n = size_t(seconds * SoundtrackEnvelope::bucketsPerSecond);
    return SoundtrackEnvelope{std::vector<float>(n, peak), std::vector<float>(n, rms), std::vector<float>(n, high),
                              std::vector<float>(n, low)};
}

std::shared_ptr<const SoundtrackEnvelope> shared(SoundtrackEnvelope envelope)
{
    return std::make_shared<const SoundtrackEnvelope>(std::move(envelope));
}

std::shared_ptr<const StemEnvelopes> sharedStems(SoundtrackEnvelope dialogue, SoundtrackEnvelope music,
                                                 SoundtrackEnvelope effects)
{
    return std::make_shared<const StemEnvelopes>(StemEnvelopes{std::move(dialogue), std::move(music), std::move(effects)});
}

// Three rows of 60 points, 400 points wide: the band is 0...180 with its centre line at 90.
LanesDrawing threeRows(double start, double end, double separatedEnd, double duration)
{
    LanesDrawing d;
    for (size_t i = 0; i < 3; ++i)
        d.rects.lanes[i] = QRectF(0, 60.0 * double(i), 400, 60);
    d.timeline = LaneTimeline{start, end, separatedEnd, duration, separatedEnd};
    d.mix = laneMix(AuditionTrackMode::hushframed, 1);
    return d;
}

QImage draw(const LanesDrawing& d, double scale = 1, QSize size = {400, 180})
{
    QImage image(size * scale, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    paintLanes(painter, d, scale);
    return image;
}

// Whether any pixel of the device-pixel rectangle is painted.
bool painted(const QImage& image, QRect r)
{
    r = r.intersected(image.rect());
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if (qAlpha(image.pixel(x, y)) > 0)
                return true;
    return false;
}

// The colour of a painted pixel with its alpha undone, near `expected` within `tolerance`.
bool looksLike(QRgb pixel, const QColor& expected, int tolerance = 12)
{
    const int a = qAlpha(pixel);
    if (a == 0)
        return false;
    const auto un = [a](int c) { return c * 255 / a; };
    return std::abs(un(qRed(pixel)) - expected.red()) <= tolerance
           && std::abs(un(qGreen(pixel)) - expected.green()) <= tolerance
           && std::abs(un(qBlue(pixel)) - expected.blue()) <= tolerance;
}

// How far from `centre` (device pixels) column `x` is painted upwards.
int reachUp(const QImage& image, int x, int centre)
{
    int reach = 0;
    while (centre - reach - 1 >= 0 && qAlpha(image.pixel(x, centre - reach - 1)) > 0)
        ++reach;
    return reach;
}

} // namespace

class TestLanesCanvas : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void nothingWithoutRoom()
    {
        LanesDrawing d = threeRows(0, 10, 0, 10);
        d.original = shared(constantEnvelope(10, 0.5, 0.3, 0.5, 0.5));
        LanesDrawing noRows = d;
        noRows.rects = {};
        QVERIFY(!painted(draw(noRows), QRect(0, 0, 400, 180)));
        LanesDrawing onePoint = d;
        for (auto& lane : onePoint.rects.lanes)
            lane->setWidth(1);
        QVERIFY(!painted(draw(onePoint), QRect(0, 0, 400, 180)));
        // With only the music and effects rows the band starts at the music row.
        LanesDrawing twoRows = d;
        twoRows.rects.lanes[0].reset();
        const QImage image = draw(twoRows);
        QVERIFY(!painted(image, QRect(0, 0, 400, 60)));
        QVERIFY(painted(image, QRect(0, 119, 400, 2)));   // the centre line of rows 60...180
    }

    void restingDrawsOnlyGuideLines()
    {
        LanesDrawing d = threeRows(0, 10, 10, 10);
        d.original = shared(constantEnvelope(10, 0.5, 0.3, 0.5, 0.5));
        d.stems = sharedStems(constantEnvelope(10, 0.5, 0.3, 0.5, 0.5), constantEnvelope(10, 0.5, 0.3, 0.5, 0.5),
                              constantEnvelope(10, 0.5, 0.3, 0.5, 0.5));
        d.resting = true;
        const QImage image = draw(d);
        for (int y : {30, 90, 150}) {
            QVERIFY(painted(image, QRect(0, y - 1, 400, 2)));
            QVERIFY(!painted(image, QRect(0, y + 2, 400, 26)));
            QVERIFY(looksLike(image.pixel(200, y - 1) ? image.pixel(200, y - 1) : image.pixel(200, y),
                              ui::color(ui::ColorName::Unseparated)));
        }
    }

    void unseparatedStopsAtTheVideosEnd()
    {
        // 20 seconds of video in a 40-second window, no stems yet.
        LanesDrawing d = threeRows(0, 40, 0, 20);
        d.original = shared(constantEnvelope(20, 0.5, 0.3, 0.5, 0.5));
        const QImage image = draw(d);
        QVERIFY(painted(image, QRect(0, 60, 198, 60)));
        QVERIFY(!painted(image, QRect(202, 0, 198, 180)));
        QVERIFY(looksLike(image.pixel(100, 90), ui::color(ui::ColorName::Unseparated)));
        // Without an envelope only the centre line is drawn, still up to the video's end.
        d.original.reset();
        const QImage line = draw(d);
        QVERIFY(painted(line, QRect(0, 89, 198, 2)));
        QVERIFY(!painted(line, QRect(0, 0, 400, 88)));
        QVERIFY(!painted(line, QRect(202, 88, 198, 4)));
    }

    void previewBoundaryInTheWindow()
    {
        // A 30-second preview of a 200-second video in a 0...60 window.
        LanesDrawing d = threeRows(0, 60, 30, 200);
        d.original = shared(constantEnvelope(200, 0.5, 0.3, 0.5, 0.5));
        d.stems = sharedStems(constantEnvelope(30, 0.5, 0.3, 0.5, 0.5), constantEnvelope(30, 0.5, 0.3, 0.5, 0.5),
                              constantEnvelope(30, 0.5, 0.3, 0.5, 0.5));
        d.mix = laneMix(AuditionTrackMode::original, 1);
        const QImage image = draw(d);
        QVERIFY(looksLike(image.pixel(100, 30), ui::stemColor(Stem::dialogue)));
        QVERIFY(looksLike(image.pixel(100, 150), ui::stemColor(Stem::effects)));
        QVERIFY(looksLike(image.pixel(300, 90), ui::color(ui::ColorName::Unseparated)));
        // The boundary: a Rule line at the middle, 6 points short of the band's ends.
        QVERIFY(painted(image, QRect(199, 7, 2, 1)));
        QVERIFY(!painted(image, QRect(150, 7, 45, 1)));
        QVERIFY(!painted(image, QRect(199, 0, 2, 5)));
        // Entirely separated: no unseparated part, no boundary.
        LanesDrawing whole = d;
        whole.timeline = LaneTimeline{0, 60, 60, 60, 60};
        whole.stems = sharedStems(constantEnvelope(60, 0.5, 0.3, 0.5, 0.5), constantEnvelope(60, 0.5, 0.3, 0.5, 0.5),
                                  constantEnvelope(60, 0.5, 0.3, 0.5, 0.5));
        const QImage separated = draw(whole);
        QVERIFY(!painted(separated, QRect(199, 2, 2, 4)));
        QVERIFY(looksLike(separated.pixel(300, 30), ui::stemColor(Stem::dialogue)));
    }

    void cleanMixAtAmbienceZero()
    {
        LanesDrawing d = threeRows(0, 10, 10, 10);
        d.stems = sharedStems(constantEnvelope(10, 0.5, 0.3, 0.5, 0.5), constantEnvelope(10, 0.5, 0.3, 0.5, 0.5),
                              constantEnvelope(10, 0.5, 0.3, 0.5, 0.5));
        d.mix = laneMix(AuditionTrackMode::hushframed, 0);
        const QImage image = draw(d);
        // Effects: only its guide line.
        QVERIFY(painted(image, QRect(0, 149, 400, 2)));
        QVERIFY(!painted(image, QRect(0, 122, 400, 26)));
        QVERIFY(!painted(image, QRect(0, 152, 400, 26)));
        // Music: the dashed mark, 5 points on and 5 off, and no waveform.
        QVERIFY(!painted(image, QRect(0, 62, 400, 26)));
        int switches = 0;
        for (int x = 1; x < 100; ++x)
            switches += (qAlpha(image.pixel(x, 90)) > 200) != (qAlpha(image.pixel(x - 1, 90)) > 200);
        QVERIFY2(switches >= 16 && switches <= 22, qPrintable(QString::number(switches)));
        // At ambience 0.5 the effects lane reaches as far as half its envelope against its own peak.
        d.mix = laneMix(AuditionTrackMode::hushframed, 0.5);
        const QImage half = draw(d);
        const double expected = 0.7 * std::pow(0.5, 0.85) * 30;
        QVERIFY2(std::abs(reachUp(half, 200, 150) - expected) <= 1.5, qPrintable(QString::number(reachUp(half, 200, 150))));
    }

    void silentColumnsKeepAPixel()
    {
        LanesDrawing d = threeRows(0, 10, 0, 10);
        d.original = shared(constantEnvelope(10, 0, 0, 0, 0));
        const QImage image = draw(d, 2, {400, 180});
        // Two device pixels per point: the centre line at 180, one device pixel above and below.
        QVERIFY(painted(image, QRect(100, 179, 1, 1)));
        QVERIFY(painted(image, QRect(100, 180, 1, 1)));
        QVERIFY(!painted(image, QRect(100, 170, 400, 7)));
        QVERIFY(!painted(image, QRect(100, 183, 400, 7)));
    }

    void oneColumnPerDevicePixel()
    {
        // 8 seconds over 200 points at two device pixels per point: one 20 ms bucket per device
        // pixel, loud and quiet in turn (a column whose end falls just past a bucket's edge also
        // takes the next bucket, so not every pair alternates).
        SoundtrackEnvelope envelope = constantEnvelope(8, 0, 0, 0, 0);
        for (size_t i = 0; i < envelope.peaks.size(); i += 2)
            envelope.peaks[i] = envelope.rms[i] = envelope.highs[i] = envelope.lows[i] = 0.5f;
        LanesDrawing d = threeRows(0, 8, 0, 8);
        for (auto& lane : d.rects.lanes)
            lane->setWidth(200);
        d.original = shared(envelope);
        const QImage image = draw(d, 2, {200, 180});
        int alternating = 0;
        for (int x = 20; x < 380; x += 2)
            alternating += qAlpha(image.pixel(x + 0, 120)) > 0 && qAlpha(image.pixel(x + 1, 120)) == 0;
        QVERIFY2(alternating >= 140, qPrintable(QString::number(alternating)));
    }

    void referencesOfQuietEnvelopes()
    {
        // A soundtrack that stays below 0.02 is drawn against 0.02.
        LanesDrawing d = threeRows(0, 10, 0, 10);
        d.original = shared(constantEnvelope(10, 0.01f, 0, 0.01f, 0.01f));
        const double expected = 0.7 * std::pow(0.5, 0.85) * 0.46 * 180;
        QVERIFY(std::abs(reachUp(draw(d), 200, 90) - expected) <= 1.5);

        // A stem far quieter than the loudest one is drawn against a fifth of the loudest peak.
        LanesDrawing s = threeRows(0, 10, 10, 10);
        s.stems = sharedStems(constantEnvelope(10, 1, 0.3, 1, 1), constantEnvelope(10, 0.01f, 0, 0.01f, 0.01f),
                              constantEnvelope(10, 1, 0.3, 1, 1));
        s.mix = laneMix(AuditionTrackMode::original, 1);
        const double quiet = 0.7 * std::pow(0.05, 0.85) * 30;
        QVERIFY2(std::abs(reachUp(draw(s), 200, 90) - quiet) <= 1.5, qPrintable(QString::number(reachUp(draw(s), 200, 90))));
    }

    void soloDimsTheOtherLanes()
    {
        LanesDrawing d = threeRows(0, 10, 10, 10);
        d.stems = sharedStems(constantEnvelope(10, 0.5, 0.4, 0.5, 0.5), constantEnvelope(10, 0.5, 0.4, 0.5, 0.5),
                              constantEnvelope(10, 0.5, 0.4, 0.5, 0.5));
        d.mix = laneMix(AuditionTrackMode::original, 1);
        const QImage all = draw(d);
        d.mix = laneMix(AuditionTrackMode::isolatedMusic, 1);
        const QImage music = draw(d);
        QCOMPARE(qAlpha(music.pixel(200, 90)), qAlpha(all.pixel(200, 90)));
        // Inside the loudness core the outer fill (0.55) and the core (1) lie over each other; at
        // 0.3 they cover 1 - (1 - 0.165)(1 - 0.3) of what they cover at full opacity.
        const double ratio = double(qAlpha(music.pixel(200, 25))) / qAlpha(all.pixel(200, 25));
        QVERIFY2(std::abs(ratio - (1 - 0.835 * 0.7)) < 0.03, qPrintable(QString::number(ratio)));
    }

    void splitStages()
    {
        LanesDrawing d = threeRows(0, 10, 10, 10);
        d.original = shared(constantEnvelope(10, 0.5, 0.3, 0.5, 0.5));
        d.stems = sharedStems(constantEnvelope(10, 0.5, 0.3, 0.5, 0.5), constantEnvelope(10, 0.5, 0.3, 0.5, 0.5),
                              constantEnvelope(10, 0.5, 0.3, 0.5, 0.5));
        const QColor unseparated = ui::color(ui::ColorName::Unseparated);
        // At 0 only the original shows, across the band.
        d.split = 0;
        QImage image = draw(d);
        QVERIFY(looksLike(image.pixel(200, 60), unseparated));
        QVERIFY(!painted(image, QRect(0, 0, 400, 15)));
        // At 0.5 the original is gone; the dialogue lane is at its row and the music, still at full
        // gain, is nearly there.
        d.split = 0.5;
        image = draw(d);
        QVERIFY(looksLike(image.pixel(200, 30), ui::stemColor(Stem::dialogue)));
        QVERIFY(looksLike(image.pixel(200, 90), ui::stemColor(Stem::music)));
        for (int y = 0; y < 180; y += 3)
            QVERIFY(!looksLike(image.pixel(200, y), unseparated, 6));
        // A crossfade keeps every lane in its row, faint, over the fading original.
        d.crossfade = true;
        d.split = 0.3;
        image = draw(d);
        QVERIFY(painted(image, QRect(200, 2, 1, 10)));
        const QImage rest = [&] {
            LanesDrawing r = d;
            r.split = 1;
            return draw(r);
        }();
        QVERIFY(qAlpha(image.pixel(200, 30)) < qAlpha(rest.pixel(200, 30)));
    }
};

QTEST_MAIN(TestLanesCanvas)
#include "test_lanes_canvas.moc"
