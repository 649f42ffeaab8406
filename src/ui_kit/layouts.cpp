#include "ui_kit/layouts.h"

#include "ui_kit/environment.h"

#include <QBoxLayout>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <limits>

namespace hf::ui {

namespace {

// An item's size when offered `limit` (no limit when negative): items that trade width for
// height narrow down to the limit (never below their minimum); others keep their own width.
QSize measure(QLayoutItem* item, int limit)
{
    QSize hint = item->sizeHint();
    if (limit >= 0 && hint.width() > limit && item->hasHeightForWidth()) {
        const int w = std::max(item->minimumSize().width(), limit);
        hint = QSize(w, item->heightForWidth(w));
    } else if (item->hasHeightForWidth()) {
        hint.setHeight(item->heightForWidth(hint.width()));
    }
    return hint;
}

} // namespace

FlowLayout::FlowLayout(double spacing, double lineSpacing, QWidget* parent)
    : QLayout(parent), m_spacing(spacing), m_lineSpacing(lineSpacing)
{
    setContentsMargins(0, 0, 0, 0);
}

FlowLayout::~FlowLayout()
{
    while (QLayoutItem* item = takeAt(0))
        delete item;
}

void FlowLayout::setHorizontalSpacing(double spacing)
{
    m_spacing = spacing;
    invalidate();
}

void FlowLayout::setLineSpacing(double spacing)
{
    m_lineSpacing = spacing;
    invalidate();
}

void FlowLayout::addItem(QLayoutItem* item)
{
    m_items.append(item);
    invalidate();
}

QLayoutItem* FlowLayout::itemAt(int index) const
{
    return m_items.value(index);
}

QLayoutItem* FlowLayout::takeAt(int index)
{
    if (index < 0 || index >= m_items.size())
        return nullptr;
    QLayoutItem* item = m_items.takeAt(index);
    invalidate();
    return item;
}

int FlowLayout::count() const
{
    return int(m_items.size());
}

QSize FlowLayout::sizeForWidth(int width) const
{
    const QMargins m = contentsMargins();
    if (width < 0)
        return doLayout(QRect(), false, false) + QSize(m.left() + m.right(), m.top() + m.bottom());
    const QRect inner(0, 0, std::max(0, width - m.left() - m.right()), 0);
    const QSize used = doLayout(inner, true, false);
    return QSize(width, used.height() + m.top() + m.bottom());
}

QSize FlowLayout::sizeHint() const
{
    return sizeForWidth(-1);
}

QSize FlowLayout::minimumSize() const
{
    // Any width down to the widest single item works: lines wrap to make room.
    QSize size;
    for (QLayoutItem* item : m_items)
        size = size.expandedTo(item->minimumSize());
    const QMargins m = contentsMargins();
    return size + QSize(m.left() + m.right(), m.top() + m.bottom());
}

int FlowLayout::heightForWidth(int width) const
{
    return sizeForWidth(width).height();
}

void FlowLayout::setGeometry(const QRect& rect)
{
    QLayout::setGeometry(rect);
    doLayout(contentsRect(), true, true);
}

QSize FlowLayout::doLayout(const QRect& rect, bool limitWidth, bool apply) const
{
    const double limit = limitWidth ? rect.width() : std::numeric_limits<double>::infinity();
    const int proposal = limitWidth ? rect.width() : -1;
    double x = 0;
    double y = 0;
    double lineHeight = 0;
    double widest = 0;
    for (QLayoutItem* item : m_items) {
        if (item->isEmpty())
            continue;
        const QSize size = measure(item, proposal);
        // The first item of a line never wraps; an item ending exactly at the limit stays.
        if (x > 0 && limit < x + size.width()) {
            y += lineHeight + m_lineSpacing;
            x = 0;
            lineHeight = 0;
        }
        if (apply)
            item->setGeometry(QRect(QPoint(rect.left() + int(std::lround(x)), rect.top() + int(std::lround(y))), size));
        widest = std::max(widest, x + size.width());
        x += size.width() + m_spacing;
        lineHeight = std::max<double>(lineHeight, size.height());
    }
    return QSize(int(std::ceil(limitWidth ? rect.width() : widest)), int(std::ceil(y + lineHeight)));
}

AdaptiveStack::AdaptiveStack(double spacing, QWidget* parent)
    : QWidget(parent)
{
    m_layout = new QBoxLayout(QBoxLayout::LeftToRight, this);
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(int(std::lround(spacing)));
    connect(&Environment::instance(), &Environment::textSizeChanged, this, [this] { arrange(); });
    arrange();
}

void AdaptiveStack::addWidget(QWidget* widget, int stretch)
{
    m_layout->addWidget(widget, stretch);
    arrange();
}

bool AdaptiveStack::isColumn() const
{
    return m_layout->direction() == QBoxLayout::TopToBottom;
}

void AdaptiveStack::arrange()
{
    const bool column = Environment::instance().isAccessibilitySize();
    m_layout->setDirection(column ? QBoxLayout::TopToBottom : QBoxLayout::LeftToRight);
    // Items that want to spread along the cross axis fill it (a full-width button stays full
    // width in the column); the others are aligned left in a column, centred in a row.
    for (int i = 0; i < m_layout->count(); ++i) {
        QWidget* w = m_layout->itemAt(i)->widget();
        if (!w)
            continue;
        const QSizePolicy policy = w->sizePolicy();
        const bool spreads = column ? (policy.horizontalPolicy() & QSizePolicy::ExpandFlag)
                                    : (policy.verticalPolicy() & QSizePolicy::ExpandFlag);
        m_layout->setAlignment(w, spreads ? Qt::Alignment() : (column ? Qt::AlignLeft : Qt::AlignVCenter));
    }
}

} // namespace hf::ui
