#include "editor/ambience_control.h"

#include "pipeline/formatting.h"
#include "platform/texts.h"
#include "ui_kit/buttons.h"
#include "ui_kit/busy_indicator.h"
#include "ui_kit/accessibility.h"
#include "ui_kit/environment.h"
#include "ui_kit/palette.h"
#include "ui_kit/text_styles.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace hf {

namespace ambience {

double quantized(double proposed)
{
    double q = std::round(proposed * 20.0) / 20.0;   // std::round rounds halves away from zero
    if (!(q >= 0.0))
        q = 0.0;
    return std::min(q, 1.0);
}

std::optional<double> commit(double current, double proposed)
{
    const double q = quantized(proposed);
    if (std::abs(q - current) > smallestChange)
        return q;
    return std::nullopt;
}

double snapped(double fraction)
{
    const double f = std::isnan(fraction) ? 0.0 : std::clamp(fraction, 0.0, 1.0);
    for (double detent : detents)
        if (std::abs(f - detent) < snapRadius)
            return detent;
    return std::round(f * 20.0) / 20.0;
}

QString phrase(double value)
{
    if (value < 0.01)
        return text("ui.ambience.none", "voice only");
    if (value < 0.35)
        return text("ui.ambience.little", "a little room sound");
    if (value < 0.7)
        return text("ui.ambience.some", "some room sound");
    if (value < 0.99)
        return text("ui.ambience.most", "most room sound");
    return text("ui.ambience.all", "all room sound");
}

QString readout(double value)
{
    return text("ui.ambience.readout", "%@, %@", {percentText(value), phrase(value)});
}

} // namespace ambience

namespace {

constexpr double minimumTrackHeight = 44;
constexpr double trackAbove = 12;
constexpr double trackBelow = 10;
// Between the end labels and the re-mix's line.
constexpr double statusGap = 6;

// The control as a standard slider for assistive technologies.
class AmbienceAccessible final : public ui::AccessibleSlider {
public:
    explicit AmbienceAccessible(AmbienceControl* control) : ui::AccessibleSlider(control) {}

    AmbienceControl* control() const { return static_cast<AmbienceControl*>(widget()); }

    QString text(QAccessible::Text t) const override
    {
        switch (t) {
        // The bus carries no value text: the readout is read with the title.
        case QAccessible::Name: return ui::spokenName(control()->title(), ambience::readout(control()->value()));
        case QAccessible::Value: return ambience::readout(control()->value());
        case QAccessible::Description:
            return hf::text("ui.ambience.hint", "How much background sound to keep. Changing it is instant.");
        default: return QAccessibleWidget::text(t);
        }
    }

    QVariant currentValue() const override { return control()->value(); }
    void setCurrentValue(const QVariant& value) override { control()->propose(value.toDouble()); }
    QVariant maximumValue() const override { return 1.0; }
    QVariant minimumValue() const override { return 0.0; }
    QVariant minimumStepSize() const override { return ambience::keyStep; }
};

QAccessibleInterface* ambienceAccessibleFactory(const QString& className, QObject* object)
{
    if (className == QLatin1String("hf::AmbienceControl") && object && object->isWidgetType())
        return new AmbienceAccessible(static_cast<AmbienceControl*>(object));
    return nullptr;
}

} // namespace

AmbienceControl::AmbienceControl(QString title, QWidget* parent) : QWidget(parent), m_title(std::move(title))
{
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(ambienceAccessibleFactory);
        return true;
    }();
    Q_UNUSED(factoryInstalled);
    setObjectName(QStringLiteral("result.ambience"));
    setFocusPolicy(Qt::StrongFocus);
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    setAccessibleName(m_title);
    m_spin = new QTimer(this);
    m_spin->setInterval(80);
    connect(m_spin, &QTimer::timeout, this, [this] {
        m_spinStep = (m_spinStep + 1) % 12;
        update();
    });
    connect(&ui::Environment::instance(), &ui::Environment::changed, this, [this] {
        updateGeometry();
        update();
    });
}

AmbienceControl::~AmbienceControl() = default;

void AmbienceControl::setValue(double value)
{
    if (m_value == value)
        return;
    m_value = value;
    updateGeometry();
    update();
    QAccessibleValueChangeEvent event(this, value);
    QAccessible::updateAccessibility(&event);
    QAccessibleEvent renamed(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&renamed);
}

void AmbienceControl::setWorking(bool working)
{
    if (m_working == working)
        return;
    m_working = working;
    if (working)
        m_spin->start();
    else
        m_spin->stop();
    if (!working)
        setWorkProgress(0);
    // The line below the slider comes and goes with the work.
    updateGeometry();
    update();
}

void AmbienceControl::setWorkProgress(double fraction)
{
    const double clamped = std::clamp(fraction, 0.0, 1.0);
    if (m_workProgress == clamped)
        return;
    const QString shown = workStatus();
    m_workProgress = clamped;
    if (workStatus() == shown)
        return;
    // A longer number may take the line onto another one.
    updateGeometry();
    update();
}

QString AmbienceControl::workStatus() const
{
    if (!m_working)
        return QString();
    return text("ui.result.ambience.remixing", "Mixing at the new level, %@", {percentText(m_workProgress)});
}

void AmbienceControl::setTitle(const QString& title)
{
    if (m_title == title)
        return;
    m_title = title;
    setAccessibleName(title);
    update();
}

double AmbienceControl::thumbDiameter() const
{
    return ui::Environment::instance().scaled(24);
}

AmbienceControl::Rows AmbienceControl::rowsFor(double width) const
{
    const QFontMetricsF title(ui::font(ui::TextStyle::body, QFont::DemiBold));
    const QFontMetricsF readout(ui::font(ui::TextStyle::body, QFont::Medium));
    const QFontMetricsF labels(ui::font(ui::TextStyle::callout));
    Rows rows;
    const QString readoutText = ambience::readout(m_value);
    // Room for the spinner is kept whether it shows or not, so the header never jumps.
    const double spinner = spinnerDiameter() + 8;
    const double oneLine = title.horizontalAdvance(m_title) + 8 + spinner + readout.horizontalAdvance(readoutText);
    rows.headerWraps = oneLine > width;
    rows.title = std::ceil(title.height());
    if (rows.headerWraps)
        // On a line of its own the title wraps rather than being cut short.
        rows.title = std::max(rows.title, ui::wrappedTextSize(ui::font(ui::TextStyle::body, QFont::DemiBold), m_title,
                                                              std::max(width, 1.0)).height());
    rows.header = rows.title;
    if (rows.headerWraps)
        rows.header += std::ceil(readout
                                     .boundingRect(QRectF(0, 0, std::max(width - spinner, 1.0), 10000),
                                                   Qt::TextWordWrap, readoutText)
                                     .height());
    const QString min = text("ui.result.ambience.min", "Voice only");
    const QString max = text("ui.result.ambience.max", "Full ambience");
    rows.labelsWrap = labels.horizontalAdvance(min) + 8 + labels.horizontalAdvance(max) > width;
    rows.labels = std::ceil(labels.height()) * (rows.labelsWrap ? 2 : 1);
    if (m_working)
        rows.status = statusGap
                      + std::ceil(ui::wrappedTextSize(ui::font(ui::TextStyle::callout), workStatus(), std::max(width, 1.0))
                                      .height());
    rows.height = rows.header + trackAbove + std::max(thumbDiameter(), minimumTrackHeight) + trackBelow + rows.labels
                  + rows.status;
    return rows;
}

double AmbienceControl::spinnerDiameter() const
{
    // A little smaller than a line of the readout, so it reads as part of it.
    return std::round(QFontMetricsF(ui::font(ui::TextStyle::body, QFont::Medium)).height() * 0.8);
}

AmbienceControl::Header AmbienceControl::header() const
{
    return headerFor(width());
}

AmbienceControl::Header AmbienceControl::headerFor(double width) const
{
    const Rows rows = rowsFor(width);
    const QFontMetricsF titleMetrics(ui::font(ui::TextStyle::body, QFont::DemiBold));
    const QFontMetricsF readoutMetrics(ui::font(ui::TextStyle::body, QFont::Medium));
    const double titleLine = std::ceil(titleMetrics.height());
    const double readoutLine = std::ceil(readoutMetrics.height());
    const double d = spinnerDiameter();
    Header header;
    header.wraps = rows.headerWraps;
    if (rows.headerWraps) {
        // The readout on lines of its own below the title, the spinner leading its first line.
        header.spinner = QRectF(0, rows.title + (readoutLine - d) / 2, d, d);
        header.readout = QRectF(d + 8, rows.title, std::max(width - d - 8, 1.0), rows.header - rows.title);
        header.title = QRectF(0, 0, width, rows.title);
    } else {
        // Title, spinner, readout on one line, the readout at the trailing edge.
        const double readoutWidth = readoutMetrics.horizontalAdvance(ambience::readout(m_value)) + 1;
        header.readout = QRectF(width - readoutWidth, 0, readoutWidth, titleLine);
        header.spinner = QRectF(header.readout.left() - 8 - d, (titleLine - d) / 2, d, d);
        header.title = QRectF(0, 0, std::max(header.spinner.left() - 8, 0.0), titleLine);
    }
    return header;
}

QRectF AmbienceControl::trackArea() const
{
    const double h = std::max(thumbDiameter(), minimumTrackHeight);
    return QRectF(0, rowsFor(width()).header + trackAbove, width(), h);
}

double AmbienceControl::thumbCentre(double level) const
{
    const double t = thumbDiameter();
    const double w = std::max(width() - t, 1.0);
    return t / 2 + w * level;
}

QSize AmbienceControl::sizeHint() const
{
    const int w = width() > 0 ? width() : 296;
    return QSize(296, heightForWidth(w));
}

QSize AmbienceControl::minimumSizeHint() const
{
    return QSize(int(std::ceil(thumbDiameter())), heightForWidth(std::max(width(), 1)));
}

int AmbienceControl::heightForWidth(int width) const
{
    return int(std::ceil(rowsFor(width).height));
}

void AmbienceControl::propose(double level)
{
    if (const auto next = ambience::commit(m_value, level))
        Q_EMIT changeRequested(*next);
}

void AmbienceControl::dragTo(double x)
{
    const double t = thumbDiameter();
    const double w = std::max(width() - t, 1.0);
    propose(ambience::snapped((x - t / 2) / w));
}

void AmbienceControl::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !trackArea().contains(event->position())) {
        QWidget::mousePressEvent(event);
        return;
    }
    m_dragging = true;
    dragTo(event->position().x());
}

void AmbienceControl::mouseMoveEvent(QMouseEvent* event)
{
    if (m_dragging && (event->buttons() & Qt::LeftButton))
        dragTo(event->position().x());
    else
        m_dragging = false;
}

namespace {

bool isSliderKey(const QKeyEvent& event)
{
    if (event.modifiers() & ~Qt::KeypadModifier)
        return false;
    switch (event.key()) {
    case Qt::Key_Up: case Qt::Key_Down: case Qt::Key_Left: case Qt::Key_Right: case Qt::Key_Home: case Qt::Key_End:
        return true;
    default: return false;
    }
}

} // namespace

bool AmbienceControl::event(QEvent* event)
{
    // Its keys are the slider's while it has the focus, not the window's (Home goes to the beginning there).
    if (event->type() == QEvent::ShortcutOverride && isSliderKey(*static_cast<QKeyEvent*>(event))) {
        event->accept();
        return true;
    }
    return QWidget::event(event);
}

void AmbienceControl::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Home: propose(0); break;
    case Qt::Key_End: propose(1); break;
    case Qt::Key_Up:
    case Qt::Key_Right: propose(m_value + ambience::keyStep); break;
    case Qt::Key_Down:
    case Qt::Key_Left: propose(m_value - ambience::keyStep); break;
    default: QWidget::keyPressEvent(event); return;
    }
    event->accept();
}

void AmbienceControl::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const double width = this->width();
    const double t = thumbDiameter();
    const double w = std::max(width - t, 1.0);

    // Header: title, then the spinner while working, right before the readout it is about.
    const Header header = headerFor(width);
    const QFont titleFont = ui::font(ui::TextStyle::body, QFont::DemiBold);
    const QFont readoutFont = ui::font(ui::TextStyle::body, QFont::Medium);
    const QString readout = ambience::readout(m_value);
    p.setFont(readoutFont);
    p.setPen(ui::color(ui::ColorName::Muted));
    p.drawText(header.readout,
               header.wraps ? Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap : Qt::AlignRight | Qt::AlignVCenter,
               readout);
    p.setFont(titleFont);
    p.setPen(ui::color(ui::ColorName::Ink));
    // On a line of its own the title wraps; beside the readout it fits by construction.
    ui::drawWrappedText(p, header.title, titleFont, m_title, Qt::AlignLeft | Qt::AlignVCenter);
    if (m_working && m_workProgress > 0) {
        const double pen = std::max(2.0, header.spinner.width() / 8);
        const QRectF ring = header.spinner.adjusted(pen / 2, pen / 2, -pen / 2, -pen / 2);
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(ui::color(ui::ColorName::SliderTrack), pen));
        p.drawEllipse(ring);
        p.setPen(QPen(ui::color(ui::ColorName::InkSecondary), pen, Qt::SolidLine, Qt::RoundCap));
        p.drawArc(ring, 90 * 16, -int(std::lround(m_workProgress * 360 * 16)));
    } else if (m_working) {
        ui::paintBusySpokes(p, header.spinner.center(), header.spinner.width(), m_spinStep,
                            ui::color(ui::ColorName::InkSecondary));
    }

    // Track area.
    const QRectF area = trackArea();
    const double cy = area.center().y();
    const double x = t / 2 + w * m_value;
    p.setPen(Qt::NoPen);
    p.setBrush(ui::color(ui::ColorName::SliderTrack));
    p.drawRoundedRect(QRectF(t / 2, cy - 2, std::max(width - t, 0.0), 4), 2, 2);
    p.setBrush(ui::color(ui::ColorName::Ink));
    p.drawRoundedRect(QRectF(t / 2, cy - 2, std::max(x - t / 2, 0.0), 4), 2, 2);
    p.setBrush(ui::color(ui::ColorName::ControlStroke));
    for (double d : ambience::detents)
        p.drawRoundedRect(QRectF(w * d + t / 2 - 1, cy + 9 - 3, 2, 6), 1, 1);
    // The thumb: white, with a soft shadow one point below.
    const QRectF thumb(x - t / 2, cy - t / 2, t, t);
    for (int i = 3; i >= 1; --i) {
        p.setBrush(QColor(0, 0, 0, int(255 * 0.45 / (i * 2.5))));
        p.drawEllipse(thumb.translated(0, 1).adjusted(-i * 0.8, -i * 0.8, i * 0.8, i * 0.8));
    }
    p.setBrush(Qt::white);
    p.drawEllipse(thumb);
    // The kit's ring (Ink with an InkOnInk line inside), so it stands apart from the white thumb
    // in the dark as in the light.
    if (hasFocus()) {
        const QRectF ring = thumb.adjusted(-3.5, -3.5, 3.5, 3.5);
        ui::paintFocusRing(p, ring, ring.width() / 2);
    }

    // End labels, on two lines when one cannot hold both.
    const QFont labelFont = ui::font(ui::TextStyle::callout);
    const double line = std::ceil(QFontMetricsF(labelFont).height());
    const double top = area.bottom() + trackBelow;
    p.setFont(labelFont);
    p.setPen(ui::color(ui::ColorName::Muted));
    p.drawText(QRectF(0, top, width, line), Qt::AlignLeft | Qt::AlignVCenter,
               text("ui.result.ambience.min", "Voice only"));
    const Rows rows = rowsFor(width);
    p.drawText(QRectF(0, rows.labelsWrap ? top + line : top, width, line), Qt::AlignRight | Qt::AlignVCenter,
               text("ui.result.ambience.max", "Full ambience"));

    // Below them, while a re-mix runs, how far it has come.
    if (m_working) {
        p.setPen(ui::color(ui::ColorName::InkSecondary));
        const double statusTop = top + rows.labels + statusGap;
        ui::drawWrappedText(p, QRectF(0, statusTop, width, rows.status - statusGap), labelFont, workStatus(),
                            Qt::AlignLeft | Qt::AlignTop);
    }
}

} // namespace hf
