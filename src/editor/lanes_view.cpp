#include "editor/lanes_view.h"

#include "pipeline/formatting.h"
#include "platform/texts.h"
#include "ui_kit/accessibility.h"
#include "ui_kit/buttons.h"
#include "ui_kit/environment.h"
#include "ui_kit/palette.h"
#include "ui_kit/text_styles.h"

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QAccessibleWidget>
#include <QEasingCurve>
#include <QFocusEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace hf {

namespace {

QColor withOpacity(QColor colour, double opacity)
{
    colour.setAlphaF(float(std::clamp(colour.alphaF() * opacity, 0.0, 1.0)));
    return colour;
}

QString soloTitle(Stem stem) { return text("ui.lane.soloAction", "Solo %@", {ui::stemDisplayName(stem)}); }

// What the solo button takes at a header's trailing edge: its frame and the gap after it.
double soloRoom()
{
    LaneMetrics metrics;
    metrics.footnoteScale = ui::textScale(ui::TextStyle::footnote, ui::Environment::instance().textSize());
    return metrics.soloFrame() + 6;
}

// A rectangle whose four corners have their own radii: `top` at the top two, `bottom` at the others.
QPainterPath capPath(const QRectF& r, double top, double bottom)
{
    QPainterPath path;
    path.moveTo(r.left() + top, r.top());
    path.lineTo(r.right() - top, r.top());
    path.quadTo(r.right(), r.top(), r.right(), r.top() + top);
    path.lineTo(r.right(), r.bottom() - bottom);
    path.quadTo(r.right(), r.bottom(), r.right() - bottom, r.bottom());
    path.lineTo(r.left() + bottom, r.bottom());
    path.quadTo(r.left(), r.bottom(), r.left(), r.bottom() - bottom);
    path.lineTo(r.left(), r.top() + top);
    path.quadTo(r.left(), r.top(), r.left() + top, r.top());
    path.closeSubpath();
    return path;
}

} // namespace

// ---- The private pieces of the strip

// One lane's header: the colour swatch, the title and the status; holds the solo button.
class LaneHeader : public QWidget {
    Q_OBJECT
public:
    LaneHeader(Stem stem, LanesView* view) : QWidget(view), m_stem(stem), m_view(view)
    {
        m_solo = new LaneSoloButton(stem, this);
        connect(m_solo, &QAbstractButton::clicked, this, [this] { requestSolo(); });
        setAttribute(Qt::WA_TransparentForMouseEvents, false);
    }

    Stem stem() const { return m_stem; }
    QString title() const { return m_title.value_or(ui::stemDisplayName(m_stem)); }
    std::optional<QString> status() const { return m_status; }
    bool showsSolo() const { return m_showsSolo; }

    // `dim` runs from 0 (full) to 1 (dimmed: another stem plays alone), following the drawn mix.
    void setState(std::optional<QString> title, std::optional<QString> status, double dim, bool showsSolo,
                  bool soloed, bool large, double opacity)
    {
        const bool renamed = title != m_title || status != m_status;
        m_title = std::move(title);
        m_status = std::move(status);
        if (renamed) {
            QAccessibleEvent event(this, QAccessible::NameChanged);
            QAccessible::updateAccessibility(&event);
        }
        m_dim = dim;
        m_showsSolo = showsSolo;
        m_large = large;
        m_opacity = opacity;
        m_solo->setVisible(showsSolo);
        m_solo->setChecked(soloed);
        m_solo->setOpacity(opacity);
        update();
    }

    void placeSolo(const QRectF& rect, double soloSize)
    {
        m_solo->setGeometry(rect.toAlignedRect());
        m_solo->setSoloSize(soloSize);
    }

    void requestSolo()
    {
        emit m_view->soloRequested(m_stem);
        m_view->refreshHeaders();
    }

    // The fonts of the title and the status.
    // Above its lane, the title and the status stop growing at the largest ordinary text size, so
    // that the title's longest word still stands beside the solo button in the editor's column on
    // a small screen.
    static QFont titleFont(bool large)
    {
        return large ? ui::cappedFont(ui::TextStyle::title2, QFont::DemiBold, ui::TextSize::xxxLarge)
                     : ui::font(ui::TextStyle::body, QFont::DemiBold);
    }
    static QFont statusFont(bool large)
    {
        return large ? ui::cappedFont(ui::TextStyle::title3, QFont::Normal, ui::TextSize::xxxLarge)
                     : ui::font(ui::TextStyle::callout);
    }
    // Room for the title block's texts in a header `width` wide.
    static double textWidth(double width, bool large)
    {
        return std::max(width - (large ? 0 : 16) - 12 - 24 - soloRoom(), 40.0);
    }
    // The title block's height for these texts.
    static double blockHeight(const QString& title, const std::optional<QString>& status, double width, bool large)
    {
        const QFontMetricsF titleMetrics(titleFont(large));
        const double textW = textWidth(width, large);
        double h = titleMetrics.boundingRect(QRectF(0, 0, textW, 10000), Qt::TextWordWrap, title).height();
        if (status)
            h += 1 + QFontMetricsF(statusFont(large)).boundingRect(QRectF(0, 0, textW, 10000), Qt::TextWordWrap, *status).height();
        return h + 4;
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        if (m_opacity <= 0)
            return;
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setOpacity(m_opacity);
        const double leading = m_large ? 0 : 16;
        const double block = blockHeight(title(), m_status, width(), m_large);
        const double top = (height() - block) / 2;
        const double textW = textWidth(width(), m_large);

        const QColor swatch = m_title ? ui::color(ui::ColorName::Unseparated) : ui::stemColor(m_stem);
        painter.setPen(Qt::NoPen);
        painter.setBrush(withOpacity(swatch, 1 - 0.5 * m_dim));
        painter.drawPath(ui::roundedRectPath(QRectF(leading, top, 3, block), 1.5));

        // Texts from outside the program (a status from the service) are drawn as plain text.
        painter.setFont(titleFont(m_large));
        const QColor ink = ui::color(ui::ColorName::Ink);
        const QColor muted = ui::color(ui::ColorName::Muted);
        const auto towards = [this](double a, double b) { return a + (b - a) * m_dim; };
        painter.setPen(QColor::fromRgbF(float(towards(ink.redF(), muted.redF())), float(towards(ink.greenF(), muted.greenF())),
                                        float(towards(ink.blueF(), muted.blueF())),
                                        float(towards(ink.alphaF(), muted.alphaF()))));
        const QRectF titleRect = painter.boundingRect(QRectF(leading + 12, top + 2, textW, 10000),
                                                      Qt::TextWordWrap, title());
        painter.drawText(titleRect, Qt::TextWordWrap, title());
        if (m_status) {
            painter.setFont(statusFont(m_large));
            painter.setPen(ui::color(ui::ColorName::Muted));
            painter.drawText(QRectF(leading + 12, titleRect.bottom() + 1, textW, 10000), Qt::TextWordWrap, *m_status);
        }
    }

private:
    friend class LanesView;
    Stem m_stem;
    LanesView* m_view;
    LaneSoloButton* m_solo = nullptr;
    std::optional<QString> m_title;
    std::optional<QString> m_status;
    double m_dim = 0;
    bool m_showsSolo = false;
    bool m_large = false;
    double m_opacity = 1;
};

// The drag target over the ruler: a drag puts the playhead under the pointer.
class LaneScrubStrip : public QWidget {
    Q_OBJECT
public:
    explicit LaneScrubStrip(LanesView* view) : QWidget(view), m_view(view)
    {
        setCursor(Qt::PointingHandCursor);
        setMouseTracking(true);   // a move with no button held tells that a release was lost
    }

protected:
    void mousePressEvent(QMouseEvent* event) override
    {
        if (event->button() != Qt::LeftButton || m_view->m_drag)
            return;
        const QPointF p = m_view->mapFromGlobal(event->globalPosition());
        m_view->dragChanged(LanesView::DragKind::strip, p, p);
    }
    void mouseMoveEvent(QMouseEvent* event) override
    {
        if (!m_view->m_drag || m_view->m_drag->kind != LanesView::DragKind::strip)
            return;
        if (!(event->buttons() & Qt::LeftButton)) {
            m_view->interruptDrag();   // the release went elsewhere
            return;
        }
        const QPointF p = m_view->mapFromGlobal(event->globalPosition());
        m_view->dragChanged(LanesView::DragKind::strip, p, p);
    }
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        if (event->button() != Qt::LeftButton || !m_view->m_drag || m_view->m_drag->kind != LanesView::DragKind::strip)
            return;
        m_view->dragEnded(LanesView::DragKind::strip, m_view->mapFromGlobal(event->globalPosition()));
    }

private:
    LanesView* m_view;
};

// The playhead: its line and cap, and the 24-point wide handle that drags it.
class LanePlayheadHandle : public QWidget {
    Q_OBJECT
public:
    explicit LanePlayheadHandle(LanesView* view) : QWidget(view), m_view(view)
    {
        setObjectName(QStringLiteral("lanes.playhead"));
        setCursor(Qt::SizeHorCursor);
        // A slider the keyboard reaches: the arrow keys move it by a step.
        setFocusPolicy(Qt::StrongFocus);
        setMouseTracking(true);
    }

    // The keyboard's and the assistive technologies' step, in seconds.
    static constexpr double step = 5.0;

    // x of the line inside the handle, and whether the mark is drawn.
    void setMark(double x, bool shown)
    {
        if (x == m_markX && shown == m_markShown)
            return;
        m_markX = x;
        m_markShown = shown;
        update();
    }

    LanesView* view() const { return m_view; }

protected:
    void paintEvent(QPaintEvent*) override
    {
        if (!m_markShown)
            return;
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        const QColor ink = ui::color(ui::ColorName::Ink);
        painter.fillRect(QRectF(m_markX - 1, 0, 2, height()), ink);
        const QRectF cap = capRect();
        // A soft shadow one point below the cap.
        for (int i = 2; i >= 1; --i) {
            painter.setBrush(QColor(0, 0, 0, 40 / i));
            painter.drawPath(capPath(cap.adjusted(-i * 0.5, 1, i * 0.5, 1 + i * 0.5), 4, 7));
        }
        painter.setBrush(ink);
        painter.drawPath(capPath(cap, 4, 7));
        if (hasFocus())
            ui::paintFocusRing(painter, cap.adjusted(-3, -1, 3, 3), 6);
    }
    void keyPressEvent(QKeyEvent* event) override
    {
        const double now = m_view->playhead().value_or(0);
        const double upper = std::max(m_view->timeline().playable, 1.0);
        double target = 0;
        switch (event->key()) {
        case Qt::Key_Left:
        case Qt::Key_Down: target = now - step; break;
        case Qt::Key_Right:
        case Qt::Key_Up: target = now + step; break;
        case Qt::Key_Home: target = 0; break;
        case Qt::Key_End: target = upper; break;
        default: QWidget::keyPressEvent(event); return;
        }
        if (event->modifiers() & ~Qt::KeypadModifier) {
            QWidget::keyPressEvent(event);
            return;
        }
        m_view->accessibleSeek(std::clamp(target, 0.0, upper));
    }
    // Where the focus shows: the cap with its ring at the top of the line, which is what a scroll
    // area around the lanes brings into view when the handle takes the focus (the whole line may
    // be taller than the area).
    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override
    {
        if (query == Qt::ImCursorRectangle)
            return capRect().adjusted(-3, -1, 3, 3).toAlignedRect();
        return QWidget::inputMethodQuery(query);
    }
    void focusInEvent(QFocusEvent* event) override
    {
        update();
        QWidget::focusInEvent(event);
    }
    void focusOutEvent(QFocusEvent* event) override
    {
        update();
        QWidget::focusOutEvent(event);
    }
    void mousePressEvent(QMouseEvent* event) override
    {
        if (event->button() != Qt::LeftButton || m_view->m_drag)
            return;
        const QPointF p = m_view->mapFromGlobal(event->globalPosition());
        m_view->dragChanged(LanesView::DragKind::handle, p, p);
    }
    void mouseMoveEvent(QMouseEvent* event) override
    {
        if (!m_view->m_drag || m_view->m_drag->kind != LanesView::DragKind::handle)
            return;
        if (!(event->buttons() & Qt::LeftButton)) {
            m_view->interruptDrag();
            return;
        }
        m_view->dragChanged(LanesView::DragKind::handle, m_view->mapFromGlobal(event->globalPosition()), {});
    }
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        if (event->button() != Qt::LeftButton || !m_view->m_drag || m_view->m_drag->kind != LanesView::DragKind::handle)
            return;
        m_view->dragEnded(LanesView::DragKind::handle, m_view->mapFromGlobal(event->globalPosition()));
    }

private:
    QRectF capRect() const { return QRectF(m_markX - 7, 0, 14, 18); }

    LanesView* m_view;
    double m_markX = 12;
    bool m_markShown = false;
};

// ---- Accessibility

namespace {

// The playhead handle as a slider over 0...playable in steps of 5 seconds.
class PlayheadAccessible : public ui::AccessibleSlider {
public:
    explicit PlayheadAccessible(QWidget* w) : ui::AccessibleSlider(w) {}

    LanesView* view() const { return static_cast<LanePlayheadHandle*>(widget())->view(); }
    double upper() const { return std::max(view()->timeline().playable, 1.0); }

    QString text(QAccessible::Text t) const override
    {
        switch (t) {
        case QAccessible::Name: return text("ui.lane.playhead", "Playhead");
        case QAccessible::Value:
            return text("ui.lane.playhead.value", "%@ of %@",
                        {clockText(view()->playhead().value_or(0)), clockText(view()->timeline().playable)});
        case QAccessible::Description:
            return text("ui.lane.playhead.hint", "Use the arrow keys to move 5 seconds.");
        default: return QAccessibleWidget::text(t);
        }
    }
    QVariant currentValue() const override { return view()->playhead().value_or(0); }
    void setCurrentValue(const QVariant& value) override
    {
        view()->accessibleSeek(std::clamp(value.toDouble(), 0.0, upper()));
    }
    QVariant maximumValue() const override { return upper(); }
    QVariant minimumValue() const override { return 0.0; }
    QVariant minimumStepSize() const override { return LanePlayheadHandle::step; }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }

private:
    static QString text(const char* key, const char* english) { return hf::text(key, english); }
    static QString text(const char* key, const char* english, std::initializer_list<TextArg> args)
    {
        return hf::text(key, english, args);
    }
};

// A header's title block: its title, its status as the value, and a solo action.
class HeaderAccessible : public QAccessibleWidget {
public:
    explicit HeaderAccessible(QWidget* w) : QAccessibleWidget(w, QAccessible::StaticText) {}
    LaneHeader* header() const { return static_cast<LaneHeader*>(widget()); }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name)
            return ui::spokenName(header()->title(), header()->status().value_or(QString()));
        if (t == QAccessible::Value)
            return header()->status().value_or(QString());
        return QAccessibleWidget::text(t);
    }
    QStringList actionNames() const override
    {
        if (header()->showsSolo())
            return {soloTitle(header()->stem())};
        return {};
    }
    void doAction(const QString& action) override
    {
        if (header()->showsSolo() && action == soloTitle(header()->stem()))
            header()->requestSolo();
    }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }
};

QAccessibleInterface* lanesAccessibleFactory(const QString& className, QObject* object)
{
    if (!object || !object->isWidgetType())
        return nullptr;
    QWidget* widget = static_cast<QWidget*>(object);
    if (className == QLatin1String("hf::LanePlayheadHandle"))
        return new PlayheadAccessible(widget);
    if (className == QLatin1String("hf::LaneHeader"))
        return new HeaderAccessible(widget);
    return nullptr;
}

} // namespace

// ---- The solo button

LaneSoloButton::LaneSoloButton(Stem stem, QWidget* parent) : QAbstractButton(parent), m_stem(stem)
{
    setObjectName(QStringLiteral("lanes.solo.") + rawValue(stem));
    setCheckable(true);
    setToolTip(soloTitle(stem));
    setAccessibleName(soloTitle(stem));
    ui::presentAsOne(this, QAccessible::Button);
    connect(this, &QAbstractButton::toggled, this, [this](bool on) { ui::setAccessibleSelected(this, on); });
    ui::setAccessibleSelected(this, false);
    setText(QStringLiteral("S"));
    setCursor(Qt::PointingHandCursor);
}

void LaneSoloButton::setSoloSize(double size)
{
    m_soloSize = size;
    update();
}

void LaneSoloButton::setOpacity(double opacity)
{
    m_opacity = opacity;
    update();
}

void LaneSoloButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(m_opacity);
    const bool on = isChecked();
    const QRectF square(QPointF(width() / 2.0 - m_soloSize / 2, height() / 2.0 - m_soloSize / 2),
                        QSizeF(m_soloSize, m_soloSize));
    const QPainterPath shape = ui::roundedRectPath(square.adjusted(0.5, 0.5, -0.5, -0.5), 7);
    if (on)
        painter.fillPath(shape, ui::color(ui::ColorName::Ink));
    painter.setPen(QPen(ui::color(on ? ui::ColorName::Ink : ui::ColorName::ControlStroke), 1));
    painter.drawPath(shape);
    if (hasFocus() && m_keyboardFocus) {
        painter.setPen(QPen(ui::color(ui::ColorName::Ink), 2));
        painter.drawPath(ui::roundedRectPath(square.adjusted(-2, -2, 2, 2), 9));
    }
    painter.setFont(ui::font(ui::TextStyle::callout, QFont::Bold));
    painter.setPen(ui::color(on ? ui::ColorName::InkOnInk : ui::ColorName::Ink));
    painter.drawText(square, Qt::AlignCenter, QStringLiteral("S"));
}

void LaneSoloButton::focusInEvent(QFocusEvent* event)
{
    m_keyboardFocus = event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason;
    QAbstractButton::focusInEvent(event);
}

void LaneSoloButton::focusOutEvent(QFocusEvent* event)
{
    m_keyboardFocus = false;
    QAbstractButton::focusOutEvent(event);
}

// ---- The strip

LanesView::LanesView(LaneLayout layout, QWidget* parent)
    : QWidget(parent), m_layout(layout), m_clock(steadyAnimationClock())
{
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(lanesAccessibleFactory);
        return true;
    }();
    Q_UNUSED(factoryInstalled);

    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    m_canvas = new LanesCanvas(this);
    for (Stem stem : allStems)
        m_headers[size_t(stem)] = new LaneHeader(stem, this);
    m_strip = new LaneScrubStrip(this);
    m_handle = new LanePlayheadHandle(this);
    // The drawing and the ruler's drag strip are not shown to assistive technologies; the
    // playhead's slider stands for both.
    ui::hideFromAccessibility(m_canvas);
    ui::hideFromAccessibility(m_strip);
    m_strip->hide();
    m_handle->hide();

    m_animationTimer.setInterval(16);
    connect(&m_animationTimer, &QTimer::timeout, this, &LanesView::advanceAnimations);
    connect(&ui::Environment::instance(), &ui::Environment::changed, this, [this] {
        relayout();
        refreshHeaders();
        update();
    });
    relayout();
    refreshHeaders();
}

LanesView::~LanesView()
{
    // A drag still going ends here, while the receivers of its signals can still hear it.
    interruptDrag();
}

void LanesView::setLaneLayout(LaneLayout layout)
{
    if (layout == m_layout)
        return;
    m_layout = layout;
    relayout();
    refreshHeaders();
    updateGeometry();
}

void LanesView::setTimeline(const LaneTimeline& timeline)
{
    if (timeline == m_timeline)
        return;
    const bool wasSeparated = isSeparated();
    m_timeline = timeline;
    if (wasSeparated != isSeparated())
        refreshHeaders();
    refreshCanvas();
    placePlayhead();
    update();
}

void LanesView::setEnvelopes(std::shared_ptr<const SoundtrackEnvelope> original,
                             std::shared_ptr<const StemEnvelopes> stems)
{
    if (original == m_original && stems == m_stems)
        return;
    m_original = std::move(original);
    m_stems = std::move(stems);
    m_peaks.original = m_original;
    m_peaks.stems = m_stems;
    measurePeaks(m_peaks);
    refreshHeaders();
    refreshCanvas();
}

void LanesView::setMode(AuditionTrackMode mode)
{
    if (mode == m_mode)
        return;
    m_mode = mode;
    animateMixTo(laneMix(m_mode, m_ambience), 0.25, true);
    refreshHeaders();
}

void LanesView::setAmbience(double ambience)
{
    if (ambience == m_ambience)
        return;
    m_ambience = ambience;
    animateMixTo(laneMix(m_mode, m_ambience), 0.18, false);
    refreshHeaders();
}

void LanesView::setSplitProgress(double progress)
{
    if (progress == m_split)
        return;
    m_split = progress;
    refreshHeaders();
    refreshCanvas();
}

void LanesView::setSplitCrossfades(bool crossfades)
{
    if (crossfades == m_crossfades)
        return;
    m_crossfades = crossfades;
    refreshCanvas();
}

void LanesView::setPlayhead(std::optional<double> seconds)
{
    if (seconds == m_playhead)
        return;
    m_playhead = seconds;
    if (!m_playhead)
        interruptDrag();
    placePlayhead();
}

void LanesView::setWorkingStatus(std::optional<QString> status)
{
    if (status == m_workingStatus)
        return;
    m_workingStatus = std::move(status);
    refreshHeaders();
}

void LanesView::setResting(bool resting)
{
    if (resting == m_resting)
        return;
    m_resting = resting;
    refreshHeaders();
    refreshCanvas();
}

void LanesView::setAllowsSolo(bool allows)
{
    if (allows == m_allowsSolo)
        return;
    m_allowsSolo = allows;
    refreshHeaders();
}

void LanesView::setReduceMotion(std::optional<bool> reduceMotion) { m_reduceMotion = reduceMotion; }

void LanesView::setAnimationClock(AnimationClock clock) { m_clock = std::move(clock); }

bool LanesView::reduceMotion() const { return m_reduceMotion.value_or(ui::Environment::instance().reduceMotion()); }

bool LanesView::isSeparated() const { return m_stems && m_timeline.separatedEnd > 0; }

std::optional<QRectF> LanesView::area() const { return lanesArea(slotsOf(m_geometry)); }

QString LanesView::statusText(Stem stem) const
{
    return laneStatusText(stem, isSeparated(), m_mode, m_ambience, m_workingStatus);
}

LaneMetrics LanesView::metrics() const
{
    LaneMetrics metrics;
    const ui::TextSize size = ui::Environment::instance().textSize();
    metrics.scale = ui::textScale(ui::TextStyle::subheadline, size);
    metrics.footnoteScale = ui::textScale(ui::TextStyle::footnote, size);
    return metrics;
}

double LanesView::headerHeight(double width) const
{
    const bool large = m_layout == LaneLayout::stacked;
    const double headerWidth = large ? width : metrics().gutter(m_layout);
    double tallest = 0;
    for (Stem stem : allStems) {
        const QString title = (isSeparated() || m_resting) ? ui::stemDisplayName(stem)
                                                          : text("ui.inspector.soundtrack", "Soundtrack");
        const std::optional<QString> status = m_resting ? std::nullopt : std::optional(statusText(stem));
        tallest = std::max(tallest, LaneHeader::blockHeight(title, status, headerWidth, large));
    }
    // A header holding a solo button is at least as tall as the button's frame.
    if (isSeparated() && m_allowsSolo)
        tallest = std::max(tallest, metrics().soloFrame());
    return std::ceil(tallest);
}

QSize LanesView::sizeHint() const { return {900, heightForWidth(900)}; }

// Narrow enough for the editor's column between the sidebar and the inspector in a window on a
// 1024 x 768 screen at the largest text size; where the headers stand above their lanes, never so
// narrow that a title beside its solo button would break inside a word.
QSize LanesView::minimumSizeHint() const
{
    double width = 280;
    if (m_layout == LaneLayout::stacked)
        for (const LaneHeader* header : m_headers)
            width = std::max(width, ui::leastTextWidth(LaneHeader::titleFont(true), header->title()) + 12 + 24 + soloRoom());
    const int least = int(std::ceil(width));
    return {least, heightForWidth(least)};
}

int LanesView::heightForWidth(int width) const
{
    return int(std::ceil(laneGeometry(m_layout, width, metrics(), headerHeight(width)).height));
}

void LanesView::relayout()
{
    const LaneGeometry geometry = laneGeometry(m_layout, width(), metrics(), headerHeight(width()));
    const bool heightChanged = geometry.height != m_geometry.height;
    m_geometry = geometry;
    const QRectF& first = m_geometry.lanes.front();
    m_canvas->setGeometry(
        QRectF(first.left(), first.top(), first.width(), m_geometry.lanes.back().bottom() - first.top()).toAlignedRect());
    for (size_t i = 0; i < 3; ++i) {
        m_headers[i]->setGeometry(m_geometry.headers[i].toAlignedRect());
        m_headers[i]->placeSolo(m_geometry.soloButtons[i].translated(-m_geometry.headers[i].topLeft()),
                                metrics().soloSize());
    }
    refreshCanvas();
    placePlayhead();
    if (heightChanged)
        updateGeometry();
    update();
}

void LanesView::refreshHeaders()
{
    const bool separated = isSeparated();
    const double headerTall = headerHeight(width());
    // New texts may need another header height (a wrapped status, say).
    const double rowHeader =
        m_layout == LaneLayout::regular ? std::max(headerTall, metrics().laneHeight(m_layout)) : headerTall;
    if (std::abs(m_geometry.headers[0].height() - rowHeader) > 0.5)
        relayout();
    for (Stem stem : allStems) {
        LaneHeader* header = m_headers[size_t(stem)];
        std::optional<QString> title;
        if (!separated && !m_resting)
            title = text("ui.inspector.soundtrack", "Soundtrack");
        std::optional<QString> status;
        if (!m_resting)
            status = statusText(stem);
        // Dimmed while another stem plays alone; the drawn mix carries the change's animation.
        const double dim = separated ? std::clamp((1 - m_mix.alpha(stem)) / 0.7, 0.0, 1.0) : 0.0;
        double opacity = 1;
        bool visible = true;
        if (separated)
            opacity = splitHeaderOpacity(m_split);
        else if (title)
            visible = stem == Stem::music;
        header->setState(title, status, dim, separated && m_allowsSolo, m_mode == soloMode(stem),
                         m_layout == LaneLayout::stacked, opacity);
        header->setVisible(visible);
    }
}

void LanesView::refreshCanvas()
{
    LanesDrawing drawing;
    drawing.rects = slotsOf(m_geometry);
    drawing.rects.head.reset();
    drawing.timeline = m_timeline;
    drawing.original = m_original;
    drawing.stems = m_stems;
    drawing.mix = m_mix;
    drawing.split = m_split;
    drawing.crossfade = m_crossfades;
    drawing.resting = m_resting;
    drawing.originalPeak = m_peaks.originalPeak;
    drawing.stemPeaks = m_peaks.stemPeaks;
    m_canvas->setDrawing(drawing);
}

void LanesView::placePlayhead()
{
    const auto lanes = area();
    if (!m_playhead || !lanes) {
        m_handle->hide();
        m_strip->hide();
        return;
    }
    const QRectF& head = m_geometry.head;
    const double stripHeight = std::max(head.height(), 20.0);
    m_strip->setGeometry(QRectF(lanes->left(), head.top(), lanes->width(), stripHeight).toAlignedRect());
    const double x = timeToX(*m_playhead, m_timeline, *lanes);
    const QRect handleRect = QRectF(x - 12, lanes->top(), 24, lanes->height()).toAlignedRect();
    m_handle->setGeometry(handleRect);
    const bool inside = *m_playhead >= m_timeline.visibleStart && *m_playhead <= m_timeline.visibleEnd;
    m_handle->setMark(x - handleRect.left(), inside);
    // Made after the canvas and the headers, the strip and the handle already lie above them; a
    // raise here would restack both and repaint them on every tick of the playhead.
    m_strip->show();
    m_handle->show();
}

void LanesView::animateMixTo(const LaneMix& target, double duration, bool easeInOut)
{
    if (reduceMotion() || !isVisible()) {
        m_mix = m_mixTo = target;
        m_mixDuration = 0;
        m_animationTimer.stop();
        refreshCanvas();
        return;
    }
    m_mixFrom = m_mix;
    m_mixTo = target;
    m_mixStart = m_clock();
    m_mixDuration = duration;
    m_mixEaseInOut = easeInOut;
    m_animationTimer.start();
}

void LanesView::advanceAnimations()
{
    if (m_mixDuration <= 0) {
        m_animationTimer.stop();
        return;
    }
    const double f = std::clamp((m_clock() - m_mixStart) / m_mixDuration, 0.0, 1.0);
    static const QEasingCurve easeInOut = [] {
        QEasingCurve curve(QEasingCurve::BezierSpline);
        curve.addCubicBezierSegment(QPointF(0.42, 0), QPointF(0.58, 1), QPointF(1, 1));
        return curve;
    }();
    static const QEasingCurve easeOut = [] {
        QEasingCurve curve(QEasingCurve::BezierSpline);
        curve.addCubicBezierSegment(QPointF(0, 0), QPointF(0.58, 1), QPointF(1, 1));
        return curve;
    }();
    m_mix = m_mixFrom.interpolated(m_mixTo, (m_mixEaseInOut ? easeInOut : easeOut).valueForProgress(f));
    if (f >= 1) {
        m_mix = m_mixTo;
        m_mixDuration = 0;
        m_animationTimer.stop();
    }
    refreshCanvas();
    refreshHeaders();
}

// ---- Drags

void LanesView::dragChanged(DragKind kind, QPointF pointer, QPointF start)
{
    const auto lanes = area();
    if (!lanes || !m_playhead)
        return;
    double x = pointer.x();
    if (kind == DragKind::handle) {
        if (!m_handleGrabOffset)
            m_handleGrabOffset = timeToX(*m_playhead, m_timeline, *lanes) - start.x();
        x += *m_handleGrabOffset;
    }
    const double t = xToTime(x, m_timeline, *lanes);
    m_drag = Drag{kind, t};
    emit scrubbingChanged(true);
    emit seekRequested(t);
}

void LanesView::dragEnded(DragKind kind, QPointF pointer)
{
    const auto lanes = area();
    double t = m_drag ? m_drag->lastTime : 0;
    if (lanes)
        t = xToTime(pointer.x() + (kind == DragKind::handle ? m_handleGrabOffset.value_or(0) : 0), m_timeline, *lanes);
    m_drag.reset();
    m_handleGrabOffset.reset();
    emit seekRequested(t);
    emit scrubbingChanged(false);
}

void LanesView::interruptDrag()
{
    if (!m_drag)
        return;
    const double t = m_drag->lastTime;
    m_drag.reset();
    m_handleGrabOffset.reset();
    emit seekRequested(t);
    emit scrubbingChanged(false);
}

void LanesView::accessibleSeek(double seconds) { emit seekRequested(seconds); }

// ---- Events

void LanesView::resizeEvent(QResizeEvent*) { relayout(); }

void LanesView::hideEvent(QHideEvent*) { interruptDrag(); }

void LanesView::changeEvent(QEvent* event)
{
    if ((event->type() == QEvent::ActivationChange && !isActiveWindow())
        || (event->type() == QEvent::EnabledChange && !isEnabled()))
        interruptDrag();
    QWidget::changeEvent(event);
}

void LanesView::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    painter.fillRect(event->rect(), ui::color(ui::ColorName::Paper));
    const double ruleOpacity = ui::Environment::instance().increasedContrast() ? 1.0 : 0.6;
    for (const QRectF& divider : m_geometry.dividers)
        painter.fillRect(divider, withOpacity(ui::color(ui::ColorName::Rule), ruleOpacity));
    if (const auto lanes = area(); lanes && m_layout == LaneLayout::regular)
        paintRuler(painter, *lanes);
}

void LanesView::paintRuler(QPainter& painter, const QRectF& lanes)
{
    const QRectF rect(lanes.left(), m_geometry.head.top(), lanes.width(), m_geometry.head.height());
    const std::vector<double> ticks = rulerTicks(m_timeline.visibleStart, m_timeline.visibleEnd);
    const QFont font = ui::font(ui::TextStyle::callout);
    const QFontMetricsF metrics(font);
    painter.setFont(font);
    painter.setPen(ui::color(ui::ColorName::Muted));
    const double span = std::max(m_timeline.span(), 0.001);
    for (size_t i = 0; i < ticks.size(); ++i) {
        const QString label = clockText(ticks[i]);
        const double width = metrics.horizontalAdvance(label);
        const double x = rect.left() + (ticks[i] - m_timeline.visibleStart) / span * rect.width();
        double left = x - width / 2;
        if (i == 0)
            left = x + 12;
        else if (i + 1 == ticks.size())
            left = x - width;
        painter.drawText(QPointF(left, rect.top() + 3 + metrics.ascent()), label);
    }
}

} // namespace hf

#include "lanes_view.moc"
