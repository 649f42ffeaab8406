#include "editor/lanes_canvas.h"

#include "ui_kit/palette.h"

#include <QPaintEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

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
    double step;
    std::vector<QRectF> outer;
    std::vector<QRectF> inner;
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

// One column per device pixel from xStart to xEnd: the excursions above and below the centre line,
// never thinner than a pixel, with the loudness core inside; two fills per envelope.
void drawEnvelope(Pass& pass, const SoundtrackEnvelope& envelope, double xStart, double xEnd, const EnvelopeStyle& s)
{
    pass.outer.clear();
    pass.inner.clear();
    const double secondsPerColumn = pass.step * pass.secondsPerPoint;
    for (double x = xStart; x < xEnd; x += pass.step) {
        const double t0 = pass.start + (x - pass.band.left()) * pass.secondsPerPoint;
        const EnvelopeColumn c =
            envelopeColumn(envelope.maxima(t0, t0 + secondsPerColumn), s.gain, s.reference, s.half, pass.step);
        pass.outer.emplace_back(x, s.centreY - c.up, pass.step, c.up + c.down);
        if (pass.step < c.body) {
            const double up = std::min(c.up, c.body);
            pass.inner.emplace_back(x, s.centreY - up, pass.step, up + std::min(c.down, c.body));
        }
    }
    pass.painter.setPen(Qt::NoPen);
    pass.painter.setBrush(withOpacity(s.colour, s.outerOpacity));
    pass.painter.drawRects(pass.outer.data(), int(pass.outer.size()));
    if (!pass.inner.empty()) {
        pass.painter.setBrush(withOpacity(s.colour, s.innerOpacity));
        pass.painter.drawRects(pass.inner.data(), int(pass.inner.size()));
    }
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
    float reference = original ? largestPeak(*original) : 0;
    if (d.stems)
        for (Stem stem : allStems)
            reference = std::max(reference, largestPeak((*d.stems)[stem]));
    reference = std::max(reference, 0.02f);

    const double start = d.timeline.visibleStart;
    const double span = std::max(d.timeline.span(), 0.001);
    const double step = displayScale < 1 ? 1.0 : 1.0 / displayScale;
    Pass pass{painter, band, start, span / band.width(), step, {}, {}};
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
                const float stemReference = std::max(largestPeak(envelope), 0.2f * reference);
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
