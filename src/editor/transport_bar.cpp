#include "editor/transport_bar.h"

#include "player/audio_player_service.h"
#include "coordinator/engine_coordinator.h"
#include "editor/lanes_geometry.h"
#include "editor/soundtrack_band.h"
#include "pipeline/formatting.h"
#include "platform/texts.h"
#include "ui_kit/accessibility.h"
#include "ui_kit/buttons.h"
#include "ui_kit/environment.h"
#include "ui_kit/palette.h"
#include "ui_kit/text_styles.h"

#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QVBoxLayout>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace hf {

namespace {

constexpr int roundDiameter = 34;

ui::Environment& environment()
{
    return ui::Environment::instance();
}

// The desktop's text size, stopped at `cap`.
ui::TextSize cappedTextSize(std::optional<ui::TextSize> cap)
{
    const ui::TextSize size = environment().textSize();
    return cap && int(size) > int(*cap) ? *cap : size;
}

} // namespace

QString currentTimeText(double seconds, bool showsTenths, const QLocale& locale)
{
    if (!std::isfinite(seconds))
        seconds = 0;
    const QString base = clockText(std::floor(seconds), locale);
    if (!showsTenths)
        return base;
    const long long tenths = static_cast<long long>(std::floor(seconds * 10));
    const long long digit = ((tenths % 10) + 10) % 10;
    QString separator = locale.decimalPoint();
    if (separator.isEmpty())
        separator = QStringLiteral(".");
    return base + separator + QString::number(digit);
}

// ---- Round buttons

RoundSymbolButton::RoundSymbolButton(Symbol symbol, QWidget* parent)
    : ui::RoundControl(false, roundDiameter, parent), m_symbol(symbol)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFocusPolicy(Qt::TabFocus);
}

void RoundSymbolButton::setSymbol(Symbol symbol)
{
    if (m_symbol == symbol)
        return;
    m_symbol = symbol;
    update();
}

void RoundSymbolButton::paintEvent(QPaintEvent* event)
{
    // The kit draws the circle; the symbol goes on top of it.
    ui::RoundControl::paintEvent(event);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const QRectF circle = QRectF(rect());

    // The symbol follows the body text size up to xxxLarge, so it keeps inside the circle.
    const QFontMetricsF metrics(ui::cappedFont(ui::TextStyle::body, QFont::Bold, ui::TextSize::xxxLarge));
    const double s = std::min(metrics.capHeight() * 1.15, roundDiameter * 0.5);
    const QPointF c = circle.center();
    painter.setBrush(ui::color(ui::ColorName::Ink));
    QPainterPath path;
    switch (m_symbol) {
    case Symbol::play:
        path.moveTo(c.x() - s * 0.38, c.y() - s * 0.5);
        path.lineTo(c.x() + s * 0.5, c.y());
        path.lineTo(c.x() - s * 0.38, c.y() + s * 0.5);
        path.closeSubpath();
        break;
    case Symbol::pause:
        path.addRoundedRect(QRectF(c.x() - s * 0.4, c.y() - s * 0.5, s * 0.28, s), 1, 1);
        path.addRoundedRect(QRectF(c.x() + s * 0.12, c.y() - s * 0.5, s * 0.28, s), 1, 1);
        break;
    case Symbol::backwardEnd:
        path.addRoundedRect(QRectF(c.x() - s * 0.5, c.y() - s * 0.45, s * 0.16, s * 0.9), 1, 1);
        path.moveTo(c.x() + s * 0.45, c.y() - s * 0.45);
        path.lineTo(c.x() - s * 0.3, c.y());
        path.lineTo(c.x() + s * 0.45, c.y() + s * 0.45);
        path.closeSubpath();
        break;
    }
    painter.drawPath(path);
}

PlayPauseButton::PlayPauseButton(AudioPlayerService* player, QWidget* parent)
    : RoundSymbolButton(Symbol::play, parent), m_player(player)
{
    setObjectName(QStringLiteral("player.playPause"));
    connect(this, &QAbstractButton::clicked, this, [this] {
        if (m_player)
            m_player->togglePlayback();
    });
    if (player)
        connect(player, &AudioPlayerService::isPlayingChanged, this, &PlayPauseButton::refresh);
    refresh();
}

void PlayPauseButton::refresh()
{
    const bool playing = m_player && m_player->isPlaying();
    setSymbol(playing ? Symbol::pause : Symbol::play);
    ui::setAccessibleName(this, playing ? hf::text("ui.player.pause", "Pause") : hf::text("ui.player.play", "Play"));
}

GoToBeginningButton::GoToBeginningButton(AudioPlayerService* player, QWidget* parent)
    : RoundSymbolButton(Symbol::backwardEnd, parent), m_player(player)
{
    setObjectName(QStringLiteral("player.goToBeginning"));
    const QString name = hf::text("ui.menu.goToBeginning", "Go to Beginning");
    setAccessibleName(name);
    setToolTip(name);
    ui::presentAsOne(this, QAccessible::Button);   // the tooltip is not read again as a description
    connect(this, &QAbstractButton::clicked, this, [this] {
        if (m_player)
            m_player->goToBeginning();
    });
}

// ---- Time readout

TimeReadout::TimeReadout(AudioPlayerService* player, bool showsTenths, QWidget* parent)
    : QLabel(parent), m_player(player), m_showsTenths(showsTenths)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    if (player) {
        connect(player, &AudioPlayerService::currentTimeChanged, this, &TimeReadout::refresh);
        connect(player, &AudioPlayerService::totalDurationChanged, this, &TimeReadout::refresh);
    }
    connect(&environment(), &ui::Environment::changed, this, [this] {
        updateGeometry();
        update();
    });
    refresh();
}

void TimeReadout::setTextSizeCap(std::optional<ui::TextSize> cap)
{
    m_cap = cap;
    updateGeometry();
    update();
}

QFont TimeReadout::readoutFont() const
{
    return ui::font(ui::TextStyle::body, QFont::DemiBold, cappedTextSize(m_cap));
}

QString TimeReadout::currentText() const
{
    return currentTimeText(m_player ? m_player->currentTime() : 0, m_showsTenths);
}

QString TimeReadout::totalText() const
{
    return clockText(m_player ? m_player->totalDuration() : 0);
}

void TimeReadout::refresh()
{
    const double current = m_player ? m_player->currentTime() : 0;
    const double total = m_player ? m_player->totalDuration() : 0;
    ui::setAccessibleName(this, hf::text("ui.lane.playhead.value", "%@ of %@", {clockText(current), clockText(total)}));
    // The width changes only when the longest time gains a digit.
    const QSize hint = sizeHint();
    if (hint != m_lastHint) {
        m_lastHint = hint;
        updateGeometry();
    }
    update();
}

// Digits take the widest digit's advance; everything else its own.
double TimeReadout::runWidth(const QString& run) const
{
    const QFontMetricsF metrics(readoutFont());
    double digitWidth = 0;
    for (QChar d = u'0'; d <= u'9'; d = QChar(d.unicode() + 1))
        digitWidth = std::max(digitWidth, metrics.horizontalAdvance(d));
    double width = 0;
    for (QChar c : run)
        width += c.isDigit() ? digitWidth : metrics.horizontalAdvance(c);
    return width;
}

QSize TimeReadout::sizeHint() const
{
    // Wide enough for the longest time of this video, so the width holds as the time runs.
    const double total = m_player ? m_player->totalDuration() : 0;
    const QString longest = currentTimeText(std::max(total, m_player ? m_player->currentTime() : 0), m_showsTenths);
    const double gap = 3;
    const double width = runWidth(longest) + gap + runWidth(QStringLiteral("/")) + gap + runWidth(totalText());
    return {int(std::ceil(width)) + 1, int(std::ceil(QFontMetricsF(readoutFont()).height()))};
}

void TimeReadout::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::TextAntialiasing);
    const QFont font = readoutFont();
    painter.setFont(font);
    const QFontMetricsF metrics(font);
    double digitWidth = 0;
    for (QChar d = u'0'; d <= u'9'; d = QChar(d.unicode() + 1))
        digitWidth = std::max(digitWidth, metrics.horizontalAdvance(d));
    const double baseline = (height() - metrics.height()) / 2 + metrics.ascent();

    double x = 0;
    auto drawRun = [&](const QString& run, ui::ColorName colour) {
        painter.setPen(ui::color(colour));
        for (QChar c : run) {
            const double advance = metrics.horizontalAdvance(c);
            const double cell = c.isDigit() ? digitWidth : advance;
            painter.drawText(QPointF(x + (cell - advance) / 2, baseline), QString(c));
            x += cell;
        }
    };
    drawRun(currentText(), ui::ColorName::Ink);
    x += 3;
    drawRun(QStringLiteral("/"), ui::ColorName::Muted);
    x += 3;
    drawRun(totalText(), ui::ColorName::Muted);
}

// ---- Compare hint

namespace {

QString longHint()
{
    return hf::text("ui.hint.holdKey", "Hold \\ to hear the original");
}

QString shortHint()
{
    return hf::text("ui.hint.short", "Hold to compare");
}

} // namespace

void CompareHint::setTextSizeCap(std::optional<ui::TextSize> cap)
{
    m_cap = cap;
    updateGeometry();
    update();
}

QFont CompareHint::hintFont() const
{
    return ui::font(ui::TextStyle::body, QFont::Normal, cappedTextSize(m_cap));
}

CompareHint::CompareHint(QWidget* parent) : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    connect(&environment(), &ui::Environment::changed, this, [this] {
        updateGeometry();
        update();
    });
}

QSize CompareHint::sizeHint() const
{
    const QFontMetricsF metrics(hintFont());
    return {int(std::ceil(metrics.horizontalAdvance(longHint()))) + 1, int(std::ceil(metrics.height()))};
}

QSize CompareHint::minimumSizeHint() const
{
    return {0, sizeHint().height()};
}

QString CompareHint::shownText() const
{
    const QFontMetricsF metrics(hintFont());
    for (const QString& candidate : {longHint(), shortHint()})
        if (std::ceil(metrics.horizontalAdvance(candidate)) <= width())
            return candidate;
    return {};
}

// Assistive technologies read what is shown.
void CompareHint::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    ui::setAccessibleName(this, shownText());
}

void CompareHint::paintEvent(QPaintEvent*)
{
    const QString shown = shownText();
    if (shown.isEmpty())
        return;
    QPainter painter(this);
    painter.setFont(hintFont());
    painter.setPen(ui::color(ui::ColorName::Muted));
    painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, shown);
}

// ---- Zoom buttons

ZoomButton::ZoomButton(bool zoomsIn, QWidget* parent) : QAbstractButton(parent), m_zoomsIn(zoomsIn)
{
    setFixedSize(44, 44);
    setFocusPolicy(Qt::TabFocus);
    const QString name = zoomsIn ? hf::text("ui.zoom.in", "Zoom in") : hf::text("ui.zoom.out", "Zoom out");
    setAccessibleName(name);
    setToolTip(name);
    ui::presentAsOne(this, QAccessible::Button);   // the tooltip is not read again as a description
}

void ZoomButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF face(QRectF(rect()).center() - QPointF(13, 12), QSizeF(26, 24));
    const QPainterPath shape = ui::roundedRectPath(face, 6);
    painter.setPen(Qt::NoPen);
    painter.fillPath(shape, ui::color(isDown() ? ui::ColorName::ControlSelected : ui::ColorName::ControlFill));
    ui::paintContrastEdge(painter, face, 6, ui::color(ui::ColorName::ControlStroke));

    const QFontMetricsF metrics(ui::font(ui::TextStyle::callout, QFont::Bold));
    const double arm = std::min(metrics.capHeight() * 0.55, 6.0);
    QPen pen(ui::color(isEnabled() ? ui::ColorName::Ink : ui::ColorName::DisabledText), 2.0, Qt::SolidLine,
             Qt::RoundCap);
    painter.setPen(pen);
    const QPointF c = face.center();
    painter.drawLine(QPointF(c.x() - arm, c.y()), QPointF(c.x() + arm, c.y()));
    if (m_zoomsIn)
        painter.drawLine(QPointF(c.x(), c.y() - arm), QPointF(c.x(), c.y() + arm));
    if (hasFocus())
        ui::paintFocusRing(painter, face.adjusted(-3, -3, 3, 3), 8);
}

// ---- The bar

TransportBar::TransportBar(LaneZoom* zoom, EngineCoordinator* coordinator, AudioPlayerService* player,
                           QWidget* parent)
    : QWidget(parent), m_zoom(zoom), m_coordinator(coordinator), m_player(player)
{
    setMinimumHeight(60);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);

    m_lines = new QVBoxLayout(this);
    m_lines->setContentsMargins(16, 0, 16, 0);
    m_lines->setSpacing(8);
    m_firstLine = new QHBoxLayout;
    m_firstLine->setSpacing(14);
    m_secondLine = new QHBoxLayout;
    m_secondLine->setSpacing(14);
    m_lines->addLayout(m_firstLine);
    m_lines->addLayout(m_secondLine);
    QHBoxLayout* row = m_firstLine;

    m_resultGroup = new QWidget(this);
    auto* buttons = new QHBoxLayout(m_resultGroup);
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->setSpacing(6);
    m_goToBeginning = new GoToBeginningButton(player, m_resultGroup);
    m_playPause = new PlayPauseButton(player, m_resultGroup);
    buttons->addWidget(m_goToBeginning);
    buttons->addWidget(m_playPause);
    m_resultGroup->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    row->addWidget(m_resultGroup);

    m_readout = new TimeReadout(player, true, this);
    row->addWidget(m_readout);
    m_hint = new CompareHint(this);
    row->addWidget(m_hint);
    row->addSpacerItem(new QSpacerItem(8, 0, QSizePolicy::Expanding, QSizePolicy::Minimum));

    m_zoomGroup = new QWidget(this);
    auto* zoomRow = new QHBoxLayout(m_zoomGroup);
    zoomRow->setContentsMargins(0, 0, 0, 0);
    zoomRow->setSpacing(8);
    m_range = new QLabel(m_zoomGroup);
    ui::setForeground(m_range, ui::ColorName::Muted);
    m_range->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    m_zoomOut = new ZoomButton(false, m_zoomGroup);
    m_zoomIn = new ZoomButton(true, m_zoomGroup);
    zoomRow->addWidget(m_range);
    zoomRow->addWidget(m_zoomOut);
    zoomRow->addWidget(m_zoomIn);
    m_zoomGroup->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    row->addWidget(m_zoomGroup);
    for (QHBoxLayout* line : {m_firstLine, m_secondLine})
        line->setAlignment(Qt::AlignVCenter);

    connect(m_zoomOut, &QAbstractButton::clicked, this, &TransportBar::zoomOut);
    connect(m_zoomIn, &QAbstractButton::clicked, this, &TransportBar::zoomIn);

    if (coordinator) {
        connect(coordinator, &EngineCoordinator::sourceChanged, this, &TransportBar::refresh);
        connect(coordinator, &EngineCoordinator::currentResultChanged, this, &TransportBar::refresh);
    }
    if (player) {
        connect(player, &AudioPlayerService::currentTimeChanged, this, &TransportBar::refresh);
        connect(player, &AudioPlayerService::totalDurationChanged, this, &TransportBar::refresh);
    }
    if (zoom)
        connect(zoom, &LaneZoom::indexChanged, this, &TransportBar::refresh);
    connect(&environment(), &ui::Environment::changed, this, &TransportBar::refresh);
    refresh();
}

void TransportBar::setTextSizeCap(std::optional<ui::TextSize> cap)
{
    m_textSizeCap = cap;
    m_readout->setTextSizeCap(cap);
    m_hint->setTextSizeCap(cap);
    refresh();
}

std::optional<int> TransportBar::zoomIndex() const
{
    return m_zoom ? m_zoom->index() : std::nullopt;
}

LaneTimeline TransportBar::timeline() const
{
    if (!m_coordinator || !m_player)
        return laneTimeline(LaneTimelineInputs{.zoomIndex = zoomIndex()});
    return laneTimeline(*m_coordinator, *m_player, zoomIndex());
}

int TransportBar::zoomPosition() const
{
    if (const auto index = zoomIndex())
        return *index;
    return defaultZoomIndex(zoomLevels(timeline().videoDuration));
}

QString TransportBar::rangeText() const
{
    const LaneTimeline window = timeline();
    return hf::text("ui.zoom.showing", "Showing %@ to %@", {clockText(window.visibleStart), clockText(window.visibleEnd)});
}

void TransportBar::zoomOut()
{
    if (!m_zoom)
        return;
    const int count = int(zoomLevels(timeline().videoDuration).size());
    m_zoom->setIndex(std::min(zoomPosition() + 1, count - 1));
}

void TransportBar::zoomIn()
{
    if (m_zoom)
        m_zoom->setIndex(std::max(zoomPosition() - 1, 0));
}

void TransportBar::refresh()
{
    const bool hasResult = m_coordinator && m_coordinator->currentResult().has_value();
    const bool hasSource = m_coordinator && m_coordinator->source().has_value();
    m_resultGroup->setVisible(hasResult);
    m_readout->setVisible(hasResult);
    m_hint->setVisible(hasResult);
    m_zoomGroup->setVisible(hasSource);
    if (hasSource) {
        const QFont rangeFont = ui::font(ui::TextStyle::body, QFont::Normal, cappedTextSize(m_textSizeCap));
        if (m_range->font() != rangeFont)
            m_range->setFont(rangeFont);
        const QString range = rangeText();
        if (m_range->text() != range)
            m_range->setText(range);
        const int count = int(zoomLevels(timeline().videoDuration).size());
        const int position = zoomPosition();
        m_zoomOut->setEnabled(m_zoom && position < count - 1);
        m_zoomIn->setEnabled(m_zoom && position >= 1);
    }
    placeZoomControls();
}

// The width one line needs: the playback controls, the readout, the hint at its least and the
// zoom controls, with the gaps and the side padding.
int TransportBar::oneLineWidth() const
{
    int width = 2 * 16;
    int items = 0;
    for (QWidget* piece : {m_resultGroup, static_cast<QWidget*>(m_readout), static_cast<QWidget*>(m_hint), m_zoomGroup}) {
        if (piece->isHidden())
            continue;
        width += piece->minimumSizeHint().width();
        ++items;
    }
    return width + 14 * std::max(items - 1, 0) + 8;   // 8: the least flexible gap
}

// The room the range text takes in its row, with its gap.
static int rangeRoom(const QLabel* range)
{
    return range->sizeHint().width() + 8;
}

QSize TransportBar::minimumSizeHint() const
{
    // At ordinary sizes the range text is not needed: it gives way, after the hint (see below).
    if (!ui::Environment::instance().isAccessibilitySize())
        return {QWidget::minimumSizeHint().width() - (m_range->isHidden() ? 0 : rangeRoom(m_range)), 60};
    // The wider of the two lines the bar may take.
    int first = 0;
    if (!m_resultGroup->isHidden())
        first = m_resultGroup->minimumSizeHint().width() + 14 + m_readout->minimumSizeHint().width();
    const int second = m_zoomGroup->isHidden() ? 0
                                               : m_zoomGroup->minimumSizeHint().width()
                                                     - (m_range->isHidden() ? 0 : rangeRoom(m_range));
    return {2 * 16 + std::max(first, second), std::max(60, m_lines->minimumSize().height())};
}

void TransportBar::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    placeZoomControls();
}

void TransportBar::placeZoomControls()
{
    // Only the accessibility sizes wrap; at other sizes the hint gives way instead. When even that
    // leaves the range text no room (a window at its least width), the range text gives way too:
    // beside everything else on one line, or at the accessibility sizes on a line of its own.
    const bool large = ui::Environment::instance().isAccessibilitySize();
    if (!m_zoomGroup->isHidden()) {
        const int missing = m_range->isHidden() ? rangeRoom(m_range) : 0;
        const int needed = large ? 2 * 16 + m_zoomGroup->minimumSizeHint().width() + missing : oneLineWidth() + missing;
        m_range->setVisible(width() >= needed);
    }
    const bool wrap = ui::Environment::instance().isAccessibilitySize() && width() < oneLineWidth();
    if (wrap == m_zoomWrapped && (m_firstLine->indexOf(m_zoomGroup) >= 0 || m_secondLine->indexOf(m_zoomGroup) >= 0))
        return;
    m_zoomWrapped = wrap;
    m_firstLine->removeWidget(m_zoomGroup);
    m_secondLine->removeWidget(m_zoomGroup);
    while (m_secondLine->count() > 0)
        delete m_secondLine->takeAt(0);
    if (wrap) {
        // On its own line it keeps to the trailing edge, where it stood.
        m_secondLine->addStretch(1);
        m_secondLine->addWidget(m_zoomGroup);
        m_lines->setContentsMargins(16, 8, 16, 8);
    } else {
        m_firstLine->addWidget(m_zoomGroup);
        m_lines->setContentsMargins(16, 0, 16, 0);
    }
    updateGeometry();
}

void TransportBar::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), ui::color(ui::ColorName::Paper));
}

} // namespace hf
