#include "editor/picture_view.h"

#include "platform/texts.h"
#include "ui_kit/environment.h"
#include "ui_kit/palette.h"
#include "ui_kit/text_styles.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFontMetricsF>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace hf {

namespace {

constexpr double labelInset = 12;      // from the visible picture's top-left corner
constexpr double capsulePadH = 10;
constexpr double capsulePadV = 6;
constexpr double capsuleRadius = 8;
constexpr double iconGap = 6;

// The pane for assistive technologies: one image element named "Video" whose value is what is
// heard, with one action that starts or ends the comparison.
class PictureAccessible : public QAccessibleWidget {
public:
    explicit PictureAccessible(PictureView* view) : QAccessibleWidget(view, QAccessible::Graphic) {}

    PictureView* pane() const { return static_cast<PictureView*>(widget()); }

    QString text(QAccessible::Text t) const override
    {
        switch (t) {
        case QAccessible::Name: return hf::text("ui.picture.label", "Video");
        case QAccessible::Value: return pane()->canCompare() ? pane()->hearing() : QString();
        default: return QAccessibleWidget::text(t);
        }
    }
    int childCount() const override { return 0; }
    QAccessibleInterface* child(int) const override { return nullptr; }

    QString actionName() const
    {
        return pane()->isComparing() ? hf::text("ui.picture.stopCompare", "Back to what you were hearing")
                                     : hf::text("ui.picture.compare", "Compare with Original");
    }
    QStringList actionNames() const override
    {
        return pane()->canCompare() ? QStringList{actionName()} : QStringList{};
    }
    void doAction(const QString& name) override
    {
        if (pane()->canCompare() && name == actionName())
            emit pane()->compareRequested(!pane()->isComparing());
    }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }
};

QAccessibleInterface* pictureAccessibleFactory(const QString&, QObject* object)
{
    if (auto* view = qobject_cast<PictureView*>(object))
        return new PictureAccessible(view);
    return nullptr;
}

// A speaker with two sound waves, drawn into `box` in `ink`.
void paintSpeakerGlyph(QPainter& painter, const QRectF& box, const QColor& ink)
{
    const double h = box.height();
    const double w = box.width();
    QPainterPath body;
    body.moveTo(box.left(), box.top() + h * 0.34);
    body.lineTo(box.left() + w * 0.2, box.top() + h * 0.34);
    body.lineTo(box.left() + w * 0.46, box.top() + h * 0.08);
    body.lineTo(box.left() + w * 0.46, box.bottom() - h * 0.08);
    body.lineTo(box.left() + w * 0.2, box.bottom() - h * 0.34);
    body.lineTo(box.left(), box.bottom() - h * 0.34);
    body.closeSubpath();
    painter.save();
    painter.setPen(Qt::NoPen);
    painter.setBrush(ink);
    painter.drawPath(body);
    QPen wave(ink, std::max(1.2, h * 0.1), Qt::SolidLine, Qt::RoundCap);
    painter.setPen(wave);
    painter.setBrush(Qt::NoBrush);
    const QPointF centre(box.left() + w * 0.4, box.center().y());
    for (double radius : {w * 0.28, w * 0.5}) {
        const QRectF arc(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
        painter.drawArc(arc, -45 * 16, 90 * 16);
    }
    painter.restore();
}

// Fits `image` into `area` with its aspect ratio kept, centred.
QRectF aspectFit(const QSizeF& image, const QRectF& area)
{
    if (image.width() <= 0 || image.height() <= 0 || area.isEmpty())
        return {};
    const QSizeF fitted = image.scaled(area.size(), Qt::KeepAspectRatio);
    return QRectF(area.x() + (area.width() - fitted.width()) / 2, area.y() + (area.height() - fitted.height()) / 2,
                  fitted.width(), fitted.height());
}

} // namespace

PictureView::PictureView(QWidget* parent) : QWidget(parent)
{
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(pictureAccessibleFactory);
        return true;
    }();
    Q_UNUSED(factoryInstalled);

    setObjectName(QStringLiteral("result.picture"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setMinimumSize(0, 0);
    m_holdLimit.setSingleShot(true);
    m_holdLimit.setInterval(holdLimitMs);
    connect(&m_holdLimit, &QTimer::timeout, this, &PictureView::endPress);
    connect(&ui::Environment::instance(), &ui::Environment::changed, this, qOverload<>(&QWidget::update));
}

PictureView::~PictureView()
{
    endPress();
}

void PictureView::setPlayerFrame(bool hasPlayer, const QImage& frame)
{
    m_hasPlayer = hasPlayer;
    m_frame = hasPlayer ? frame : QImage();
    update();
}

void PictureView::setStill(const QImage& still)
{
    m_still = still;
    update();
}

void PictureView::setCanCompare(bool canCompare)
{
    if (m_canCompare == canCompare)
        return;
    m_canCompare = canCompare;
    update();
}

void PictureView::setHearing(const QString& hearing, const std::optional<QString>& shortHearing)
{
    if (m_hearing == hearing && m_shortHearing == shortHearing)
        return;
    m_hearing = hearing;
    m_shortHearing = shortHearing;
    if (m_canCompare) {
        QAccessibleValueChangeEvent event(this, m_hearing);
        QAccessible::updateAccessibility(&event);
    }
    update();
}

void PictureView::setComparing(bool comparing)
{
    if (m_isComparing == comparing)
        return;
    m_isComparing = comparing;
    update();
}

void PictureView::setShowsHearingLabel(bool shows)
{
    if (m_showsHearingLabel == shows)
        return;
    m_showsHearingLabel = shows;
    update();
}

QRectF PictureView::contentRect(const QSizeF& pane, const QSize& still)
{
    const double W = pane.width();
    const double H = pane.height();
    if (still.width() >= 1 && still.height() >= 1 && W > 0 && H > 0) {
        const double aspect = double(still.width()) / double(still.height());
        const double fittedHeight = W / aspect;
        double width = W;
        double height = fittedHeight;
        if (H < fittedHeight) {
            height = H;
            width = H * aspect;
        }
        return QRectF((W - width) / 2, (H - height) / 2, width, height);
    }
    return QRectF(0, 0, std::max(W, 0.0), std::max(H, 0.0));
}

QSize PictureView::pictureSizeForLabel() const
{
    // The still is a frame of the same video; without one, the player's frame tells the shape.
    if (!m_still.isNull())
        return m_still.size();
    if (m_hasPlayer && !m_frame.isNull())
        return m_frame.size();
    return {};
}

QFont PictureView::labelFont() const
{
    return ui::font(ui::TextStyle::callout, QFont::DemiBold);
}

double PictureView::capsuleWidth(const QString& text) const
{
    const QFontMetricsF metrics(labelFont());
    return capsulePadH + metrics.height() + iconGap + metrics.horizontalAdvance(text) + capsulePadH;
}

std::optional<QString> PictureView::hearingLabelText(double maxWidth) const
{
    if (!m_hearing.isEmpty() && capsuleWidth(m_hearing) <= maxWidth)
        return m_hearing;
    if (m_shortHearing && !m_shortHearing->isEmpty() && capsuleWidth(*m_shortHearing) <= maxWidth)
        return m_shortHearing;
    return std::nullopt;
}

std::optional<PictureView::HearingLabel> PictureView::hearingLabel() const
{
    if (!m_canCompare || !m_showsHearingLabel)
        return std::nullopt;
    const QRectF content = contentRect(size(), pictureSizeForLabel());
    auto text = hearingLabelText(std::max(content.width() - 2 * labelInset, 0.0));
    if (!text)
        return std::nullopt;
    const double height = QFontMetricsF(labelFont()).height() + 2 * capsulePadV;
    const QRectF rect(content.x() + labelInset, content.y() + labelInset, capsuleWidth(*text), height);
    return HearingLabel{rect, std::move(*text)};
}

QRectF PictureView::hearingLabelRect() const
{
    const auto label = hearingLabel();
    return label ? label->rect : QRectF();
}

void PictureView::paintCapsule(QPainter& painter, const QRectF& rect, const QString& text) const
{
    const bool increasedContrast = ui::Environment::instance().increasedContrast();
    QColor fill = m_isComparing ? QColor::fromRgbF(0.93f, 0.93f, 0.93f) : QColor(0, 0, 0);
    if (!m_isComparing)
        fill.setAlphaF(increasedContrast ? 1.0f : 0.8f);
    const QColor ink = m_isComparing ? Qt::black : Qt::white;

    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawPath(ui::roundedRectPath(rect, capsuleRadius));

    const QFont font = labelFont();
    const QFontMetricsF metrics(font);
    const double iconSize = metrics.height();
    const QRectF icon(rect.left() + capsulePadH, rect.top() + capsulePadV, iconSize, iconSize);
    paintSpeakerGlyph(painter, icon.adjusted(1, 2, -1, -2), ink);

    painter.setFont(font);
    painter.setPen(ink);
    const QRectF textRect(icon.right() + iconGap, rect.top() + capsulePadV, metrics.horizontalAdvance(text) + 1,
                          metrics.height());
    painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter, text);
}

void PictureView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    // The player's picture sits on black, like a video layer, until its first frame arrives.
    painter.fillRect(rect(), m_hasPlayer ? QColor(Qt::black) : ui::color(ui::ColorName::Picture));

    if (m_hasPlayer) {
        const QImage& shown = m_frame.isNull() ? m_still : m_frame;
        if (!shown.isNull())
            painter.drawImage(aspectFit(shown.size(), rect()), shown);
    } else if (!m_still.isNull()) {
        painter.drawImage(aspectFit(m_still.size(), rect()), m_still);
    }

    if (const auto label = hearingLabel())
        paintCapsule(painter, label->rect, label->text);
}

void PictureView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || m_pressComparing || !m_canCompare) {
        QWidget::mousePressEvent(event);
        return;
    }
    m_pressComparing = true;
    m_pressOrigin = event->position();
    m_holdLimit.start();
    emit compareRequested(true);
}

void PictureView::mouseMoveEvent(QMouseEvent* event)
{
    if (m_pressComparing && QLineF(m_pressOrigin, event->position()).length() > holdDistance)
        endPress();
    QWidget::mouseMoveEvent(event);
}

void PictureView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        endPress();
    QWidget::mouseReleaseEvent(event);
}

void PictureView::hideEvent(QHideEvent* event)
{
    endPress();
    QWidget::hideEvent(event);
}

void PictureView::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::ActivationChange && !isActiveWindow())
        endPress();
    QWidget::changeEvent(event);
}

// A compare the press started always ends, whether or not a result is still shown.
void PictureView::endPress()
{
    if (!m_pressComparing)
        return;
    m_pressComparing = false;
    m_holdLimit.stop();
    emit compareRequested(false);
}

} // namespace hf
