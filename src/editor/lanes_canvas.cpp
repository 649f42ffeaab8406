#include "editor/lanes_canvas.h"

#include "ui_kit/palette.h"

#include <QPaintEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace hf {

namespace {

double clamp01(double v) { return std::clamp(v, 0.0, 1.0); }

QColor withOpacity(QColor colour, double opacity)
{
    colour.setAlphaF(float(std::clamp(colour.alphaF() * opacity, 0.0, 1.0)));
    return colour;
}

float largestPeak(const SoundtrackEnvelope& envelope)
{
    if (envelope.peaks.empty())
        return 0;
    return *std::max_element(envelope.peaks.begin(), envelope.peaks.end());
}

void strokeLine(QPainter& painter, double x0, double x1, double y, const QColor& colour, double width)
{
    QPen pen(colour, width);
    pen.setCapStyle(Qt::FlatCap);
    painter.setPen(pen);
    painter.drawLine(QPointF(x0, y), QPointF(x1, y));
}

// What one drawing pass shares among its envelopes.
struct Pass {
    QPainter& painter;
    QRectF band;
    double start;
    double secondsPerPoint;
    double step;     // one device pixel, in points
    QImage scratch;  // the columns of one envelope, reused by the pass
};

struct EnvelopeStyle {
    double centreY;
    double half;
    double gain;
    float reference;
    QColor colour;
    double outerOpacity;
    double innerOpacity;
};

QRgb premultiplied(const QColor& colour, double opacity)
{
    return qPremultiply(withOpacity(colour, opacity).rgba());
}

// One column per device pixel from xStart to xEnd: the excursions above and below the centre line,
// never thinner than a pixel, with the loudness core inside. The columns are written straight into
// an image on the device pixel grid and laid over the band at once: a fill per column would cost
// far more (every fill of a tall, one-pixel-wide shape is a job of its own for the raster engine).
void drawEnvelope(Pass& pass, const SoundtrackEnvelope& envelope, double xStart, double xEnd, const EnvelopeStyle& s)
{
    const double step = pass.step;
    const double scale = 1.0 / step;
    const int columns = int(std::ceil((xEnd - xStart) / step - 1e-9));
    if (columns <= 0)
        return;
    const double top = s.centreY - s.half - step;   // a column reaches at most 0.7 half, and at least a pixel
    const int rows = int(std::ceil((2 * s.half + 2 * step) * scale)) + 1;
    QImage& image = pass.scratch;
    if (image.width() < columns || image.height() < rows)
        image = QImage(std::max(columns, image.width()), std::max(rows, image.height()),
                       QImage::Format_ARGB32_Premultiplied);
    for (int r = 0; r < rows; ++r)
        std::memset(image.scanLine(r), 0, size_t(columns) * sizeof(QRgb));

    const QRgb outer = premultiplied(s.colour, s.outerOpacity);
    // Where the core lies over the outer fill, the two are seen together.
    const double outerAlpha = s.colour.alphaF() * std::clamp(s.outerOpacity, 0.0, 1.0);
    const double innerAlpha = s.colour.alphaF() * std::clamp(s.innerOpacity, 0.0, 1.0);
    QColor both = s.colour;
    both.setAlphaF(float(innerAlpha + outerAlpha * (1 - innerAlpha)));
    const QRgb inner = qPremultiply(both.rgba());

    uchar* bits = image.bits();
    const qsizetype stride = image.bytesPerLine();
    const auto rowOf = [&](double y) { return std::clamp(int(std::floor((y - top) * scale + 0.5)), 0, rows); };
    const auto fill = [&](int column, int from, int to, QRgb value) {
        for (int r = from; r < to; ++r)
            reinterpret_cast<QRgb*>(bits + r * stride)[column] = value;
    };
    const double secondsPerColumn = step * pass.secondsPerPoint;
    for (int i = 0; i < columns; ++i) {
        const double x = xStart + i * step;
        const double t0 = pass.start + (x - pass.band.left()) * pass.secondsPerPoint;
        const EnvelopeColumn c =
            envelopeColumn(envelope.maxima(t0, t0 + secondsPerColumn), s.gain, s.reference, s.half, step);
        fill(i, rowOf(s.centreY - c.up), rowOf(s.centreY + c.down), outer);
        if (step < c.body)
            fill(i, rowOf(s.centreY - std::min(c.up, c.body)), rowOf(s.centreY + std::min(c.down, c.body)), inner);
    }
    pass.painter.drawImage(QRectF(xStart, top, columns * step, rows * step), image, QRectF(0, 0, columns, rows));
}

} // namespace

void paintLanes(QPainter& painter, const LanesDrawing& d, double displayScale)
{
    std::vector<std::pair<Stem, QRectF>> lanes;
    for (Stem stem : allStems)
        if (const auto& rect = d.rects.lanes[size_t(stem)])
            lanes.emplace_back(stem, *rect);
    if (lanes.empty())
        return;
    const QRectF first = lanes.front().second;
    const QRectF band(first.left(), first.top(), first.width(), lanes.back().second.bottom() - first.top());
    if (band.width() <= 1)
        return;

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    const QColor unseparated = ui::color(ui::ColorName::Unseparated);

    if (d.resting) {
        for (const auto& [stem, rect] : lanes)
            strokeLine(painter, band.left(), band.right(), rect.center().y(), withOpacity(unseparated, 0.5), 1);
        painter.restore();
        return;
    }

    const SoundtrackEnvelope* original = d.original && !d.original->peaks.empty() ? d.original.get() : nullptr;
    std::array<float, 3> stemPeaks{0, 0, 0};
    float reference = original ? (d.originalPeak >= 0 ? d.originalPeak : largestPeak(*original)) : 0;
    if (d.stems)
        for (Stem stem : allStems) {
            const size_t i = size_t(stem);
            stemPeaks[i] = d.stemPeaks[i] >= 0 ? d.stemPeaks[i] : largestPeak((*d.stems)[stem]);
            reference = std::max(reference, stemPeaks[i]);
        }
    reference = std::max(reference, 0.02f);

    const double start = d.timeline.visibleStart;
    const double span = std::max(d.timeline.span(), 0.001);
    const double step = displayScale < 1 ? 1.0 : 1.0 / displayScale;
    Pass pass{painter, band, start, span / band.width(), step, {}};
    const double separatedEnd = d.stems ? d.timeline.separatedEnd : 0;
    const double separatedX = band.left() + band.width() * clamp01((separatedEnd - start) / span);
    const double videoEndX = band.left() + band.width() * clamp01((d.timeline.videoDuration - start) / span);

    // The part of the window no stems cover yet: the original waveform on the band's centre line.
    const double startU = d.stems ? separatedX : band.left();
    if (startU < band.right()) {
        const double endU = std::min(videoEndX, band.right());
        if (original && startU < endU)
            drawEnvelope(pass, *original, startU, endU,
                         {band.center().y(), 0.46 * band.height(), 1, reference, unseparated, 0.55, 1});
        if (startU < endU)
            strokeLine(painter, startU, endU, band.center().y(), withOpacity(unseparated, 0.6), 1);
    }

    if (d.stems && band.left() < separatedX) {
        const double endS = std::min(band.right(), separatedX);
        const double fading = splitFadingOpacity(d.split, d.crossfade);
        if (original && fading > 0.001)
            drawEnvelope(pass, *original, band.left(), endS,
                         {band.center().y(), 0.46 * band.height(), 1, reference, unseparated, 0.55 * fading, fading});

        for (size_t i = 0; i < lanes.size(); ++i) {
            const auto& [stem, rect] = lanes[i];
            const SplitLane lane = splitLane(int(i), d.split, d.crossfade, band, rect);
            if (!lane.drawn)
                continue;
            double gain = d.mix.gain(stem);
            if (stem == Stem::music)
                gain = splitMusicGain(d.split, gain, d.crossfade);
            const QColor colour = ui::stemColor(stem);
            const double opacity = lane.progress * d.mix.alpha(stem);
            if (0.55 * opacity > 0.001)
                strokeLine(painter, band.left(), endS, lane.centreY, withOpacity(colour, 0.55 * opacity), 1);
            const SoundtrackEnvelope& envelope = (*d.stems)[stem];
            if (gain > 0.002 && !envelope.peaks.empty() && opacity > 0.001) {
                const float stemReference = std::max(stemPeaks[size_t(stem)], 0.2f * reference);
                drawEnvelope(pass, envelope, band.left(), endS,
                             {lane.centreY, lane.half, gain, stemReference, colour, 0.55 * opacity, opacity});
            }
            if (stem == Stem::music) {
                const double markOpacity = opacity * (1 - std::min(4 * gain, 1.0));
                if (markOpacity > 0.01) {
                    QPen dashed(withOpacity(colour, markOpacity), 2, Qt::CustomDashLine, Qt::FlatCap, Qt::MiterJoin);
                    dashed.setMiterLimit(10);
                    dashed.setDashPattern({2.5, 2.5});   // in line widths: 5 points on, 5 off
                    painter.setPen(dashed);
                    painter.drawLine(QPointF(band.left(), lane.centreY), QPointF(endS, lane.centreY));
                }
            }
        }

        if (band.left() < separatedX && separatedX < band.right()) {
            QPen rule(ui::color(ui::ColorName::Rule), 1);
            rule.setCapStyle(Qt::FlatCap);
            painter.setPen(rule);
            painter.drawLine(QPointF(separatedX, band.top() + 6), QPointF(separatedX, band.bottom() - 6));
        }
    }
    painter.restore();
}

void measurePeaks(LanesDrawing& drawing)
{
    drawing.originalPeak = drawing.original ? largestPeak(*drawing.original) : -1;
    for (Stem stem : allStems)
        drawing.stemPeaks[size_t(stem)] = drawing.stems ? largestPeak((*drawing.stems)[stem]) : -1;
}

LanesCanvas::LanesCanvas(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
}

void LanesCanvas::setDrawing(const LanesDrawing& drawing)
{
    if (drawing == m_drawing)
        return;
    m_drawing = drawing;
    m_cacheValid = false;
    update();
}

void LanesCanvas::moveEvent(QMoveEvent*)
{
    m_cacheValid = false;
}

void LanesCanvas::paintEvent(QPaintEvent* event)
{
    const double scale = devicePixelRatioF();
    const QSize pixels = (QSizeF(size()) * scale).toSize();
    if (pixels.isEmpty())
        return;
    const QColor paper = ui::color(ui::ColorName::Paper);
    if (!m_cacheValid || m_cache.size() != pixels || m_cache.devicePixelRatio() != scale || paper != m_cachePaper) {
        if (m_cache.size() != pixels)
            m_cache = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
        m_cache.setDevicePixelRatio(scale);
        m_cache.fill(Qt::transparent);
        QPainter painter(&m_cache);
        painter.translate(-QPointF(pos()));   // the drawing's rectangles are in the parent's coordinates
        paintLanes(painter, m_drawing, scale);
        m_cacheValid = true;
        m_cachePaper = paper;
        ++m_passes;
    }
    QPainter painter(this);
    const QRect exposed = event->rect();
    painter.drawImage(exposed, m_cache, QRectF(QPointF(exposed.topLeft()) * scale, QSizeF(exposed.size()) * scale));
}

} // namespace hf
