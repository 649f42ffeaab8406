#include "ui_kit/segmented_choice.h"

#include "ui_kit/accessibility.h"
#include "ui_kit/buttons.h"
#include "ui_kit/environment.h"
#include "ui_kit/palette.h"
#include "ui_kit/text_styles.h"

#include <QBoxLayout>
#include <QEasingCurve>
#include <QFontMetricsF>
#include <QPainter>
#include <QVariantAnimation>

#include <cmath>

namespace hf::ui {

namespace {

constexpr double horizontalInset = 10;
constexpr double verticalInset = 6;
constexpr double minSegmentHeight = 38;

// A spring with a response of 0.2 s and a damping fraction of 0.85, played over 300 ms (it has
// settled to within a thousandth by then).
constexpr int springMs = 300;
qreal spring(qreal progress)
{
    if (progress >= 1.0)
        return 1.0;
    const double t = progress * springMs / 1000.0;
    const double omega = 2 * M_PI / 0.2;
    const double zeta = 0.85;
    const double omegaD = omega * std::sqrt(1 - zeta * zeta);
    const double decay = std::exp(-zeta * omega * t);
    return 1 - decay * (std::cos(omegaD * t) + zeta * omega / omegaD * std::sin(omegaD * t));
}

QRectF lerp(const QRectF& a, const QRectF& b, double t)
{
    const auto mix = [t](double x, double y) { return x + (y - x) * t; };
    return QRectF(QPointF(mix(a.left(), b.left()), mix(a.top(), b.top())),
                  QPointF(mix(a.right(), b.right()), mix(a.bottom(), b.bottom())));
}

} // namespace

// One segment: its title, centred and wrapped; the choice draws the pill behind it.
class SegmentedChoice::Segment : public QAbstractButton {
public:
    explicit Segment(const QString& title, QWidget* parent) : QAbstractButton(parent)
    {
        // One of a few choices: a radio choice to assistive technologies.
        presentAsOne(this, QAccessible::RadioButton);
        setText(title);
        setCheckable(true);
        QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        policy.setHeightForWidth(true);
        setSizePolicy(policy);
    }

    QSize sizeHint() const override
    {
        const QSizeF t = textSize(-1);
        return QSize(int(std::ceil(t.width() + 2 * horizontalInset)), heightFor(t));
    }
    QSize minimumSizeHint() const override
    {
        return QSize(int(2 * horizontalInset + 8), int(minSegmentHeight));
    }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override { return heightFor(textSize(width - 2 * horizontalInset)); }

protected:
    // The choice decides the checked state.
    void nextCheckState() override {}
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setPen(color(ColorName::Ink));
        drawWrappedText(p, QRectF(rect()).adjusted(horizontalInset, verticalInset, -horizontalInset, -verticalInset),
                        hf::ui::font(TextStyle::body, QFont::DemiBold), text(), Qt::AlignCenter);
        if (hasFocus())
            paintFocusRing(p, QRectF(rect()), pillRadius);
    }

private:
    QSizeF textSize(double maxWidth) const
    {
        return wrappedTextSize(hf::ui::font(TextStyle::body, QFont::DemiBold), text(), maxWidth);
    }
    static int heightFor(const QSizeF& text)
    {
        return int(std::ceil(std::max(minSegmentHeight, text.height() + 2 * verticalInset)));
    }
};

SegmentedChoice::SegmentedChoice(const QString& label, const QList<Option>& options,
                                 const QString& identifierPrefix, QWidget* parent)
    : QWidget(parent), m_options(options)
{
    installKitAccessibility();
    setAccessibleName(label);
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);

    m_layout = new QBoxLayout(QBoxLayout::LeftToRight, this);
    m_layout->setContentsMargins(trackInset, trackInset, trackInset, trackInset);
    m_layout->setSpacing(segmentGap);
    for (int i = 0; i < m_options.size(); ++i) {
        auto* segment = new Segment(m_options[i].title, this);
        segment->setObjectName(identifierPrefix.isEmpty() ? QString()
                                                          : identifierPrefix + QLatin1Char('.') + m_options[i].title);
        connect(segment, &QAbstractButton::clicked, this, [this, i] { choose(i); });
        m_segments.append(segment);
        m_layout->addWidget(segment, 1);
    }

    m_animation = new QVariantAnimation(this);
    m_animation->setStartValue(0.0);
    m_animation->setEndValue(1.0);
    m_animation->setDuration(springMs);
    QEasingCurve curve;
    curve.setCustomType(spring);
    m_animation->setEasingCurve(curve);
    connect(m_animation, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        m_progress = value.toDouble();
        update();
    });
    connect(m_animation, &QVariantAnimation::finished, this, [this] {
        m_progress = 1.0;
        update();
    });

    Environment& env = Environment::instance();
    connect(&env, &Environment::textSizeChanged, this, [this] { arrange(); });
    arrange();
}

SegmentedChoice::~SegmentedChoice() = default;

QList<QAbstractButton*> SegmentedChoice::segments() const
{
    QList<QAbstractButton*> list;
    for (Segment* s : m_segments)
        list.append(s);
    return list;
}

void SegmentedChoice::setSelection(const QVariant& value)
{
    m_selection = value;
    moveSelection(selectedIndex(), QRectF());
}

int SegmentedChoice::selectedIndex() const
{
    for (int i = 0; i < m_options.size(); ++i)
        if (m_options[i].value == m_selection)
            return i;
    return -1;
}

void SegmentedChoice::choose(int index)
{
    const QVariant value = m_options[index].value;
    const bool changed = value != m_selection;
    if (changed) {
        const QRectF from = pillRect(); // where the pill is now, mid-slide included
        m_selection = value;
        moveSelection(index, Environment::instance().reduceMotion() ? QRectF() : from);
    }
    emit activated(value);
    if (changed)
        emit selectionChanged(value);
}

void SegmentedChoice::moveSelection(int index, const QRectF& from)
{
    for (int i = 0; i < m_segments.size(); ++i)
        m_segments[i]->setChecked(i == index);
    m_animation->stop();
    if (!from.isEmpty() && index >= 0) {
        m_pillStart = from;
        m_progress = 0.0;
        m_animation->start();
    } else {
        m_progress = 1.0;
    }
    update();
}

QRectF SegmentedChoice::segmentRect(int index) const
{
    if (index < 0 || index >= m_segments.size())
        return {};
    return QRectF(m_segments[index]->geometry());
}

QRectF SegmentedChoice::pillRect() const
{
    const QRectF target = segmentRect(selectedIndex());
    if (target.isEmpty() || m_progress >= 1.0 || m_pillStart.isEmpty())
        return target;
    return lerp(m_pillStart, target, m_progress);
}

bool SegmentedChoice::isColumn() const
{
    return m_layout->direction() == QBoxLayout::TopToBottom;
}

bool SegmentedChoice::isAnimating() const
{
    return m_animation->state() == QAbstractAnimation::Running;
}

void SegmentedChoice::arrange()
{
    const bool column = Environment::instance().isAccessibilitySize();
    m_layout->setDirection(column ? QBoxLayout::TopToBottom : QBoxLayout::LeftToRight);
    for (Segment* segment : m_segments)
        m_layout->setAlignment(segment, column ? Qt::Alignment() : Qt::AlignVCenter);
    updateGeometry();
}

void SegmentedChoice::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillPath(roundedRectPath(rect(), trackRadius), color(ColorName::ControlFill));
    const QRectF pill = pillRect();
    if (!pill.isEmpty()) {
        p.fillPath(roundedRectPath(pill, pillRadius), color(ColorName::ControlSelected));
        paintContrastEdge(p, pill, pillRadius, color(ColorName::Ink));
    }
    paintContrastEdge(p, rect(), trackRadius, color(ColorName::ControlStroke));
}

} // namespace hf::ui
