#include "ui_kit/wrapped_label.h"

#include "ui_kit/text_styles.h"

#include <QPainter>

#include <cmath>

namespace hf::ui {

WrappedLabel::WrappedLabel(const QString& text, QWidget* parent) : QLabel(text, parent)
{
    setTextFormat(Qt::PlainText);
    setWordWrap(true);   // for the height-for-width size policy
}

QSize WrappedLabel::sizeHint() const
{
    const QMargins m = contentsMargins();
    const QSizeF line = wrappedTextSize(font(), text(), -1);
    return QSize(int(std::ceil(line.width())) + m.left() + m.right(),
                 int(std::ceil(line.height())) + m.top() + m.bottom());
}

QSize WrappedLabel::minimumSizeHint() const
{
    const QMargins m = contentsMargins();
    const int width = int(leastTextWidth(font(), text())) + m.left() + m.right();
    return QSize(width, heightForWidth(width));
}

int WrappedLabel::heightForWidth(int width) const
{
    const QMargins m = contentsMargins();
    const double inner = std::max(1, width - m.left() - m.right());
    return int(std::ceil(wrappedTextSize(font(), text(), inner).height())) + m.top() + m.bottom();
}

void WrappedLabel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    Qt::Alignment alignment = this->alignment();
    // A block shorter than the label sits where a QLabel would put it: at the top unless asked.
    if (!(alignment & Qt::AlignVertical_Mask))
        alignment |= Qt::AlignVCenter;
    drawWrappedText(painter, contentsRect(), font(), text(), alignment);
}

} // namespace hf::ui
