#include "ui_kit/scroll_column.h"

#include <QLayout>
#include <QScrollBar>

namespace hf::ui {

ScrollColumn::ScrollColumn(QWidget* content, QWidget* parent) : QScrollArea(parent)
{
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setAutoFillBackground(false);
    viewport()->setAutoFillBackground(false);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    const bool filled = content->autoFillBackground();
    setWidget(content);
    // setWidget() turns the background on; the content keeps what it asked for.
    content->setAutoFillBackground(filled);
}

int ScrollColumn::contentHeight(int width) const
{
    const QWidget* content = widget();
    if (!content)
        return 0;
    const int hfw = content->hasHeightForWidth() ? content->heightForWidth(width) : -1;
    return std::max(hfw >= 0 ? hfw : content->sizeHint().height(), content->minimumSizeHint().height());
}

QSize ScrollColumn::sizeHint() const
{
    const QWidget* content = widget();
    if (!content)
        return QScrollArea::sizeHint();
    const int width = content->sizeHint().width() + verticalScrollBar()->sizeHint().width();
    return QSize(width, contentHeight(content->sizeHint().width()));
}

QSize ScrollColumn::minimumSizeHint() const
{
    // As narrow as the content allows, and short: the rest scrolls.
    const QWidget* content = widget();
    const int width = content ? content->minimumSizeHint().width() : 0;
    return QSize(width + verticalScrollBar()->sizeHint().width(), 0);
}

} // namespace hf::ui
