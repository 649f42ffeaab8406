#include "ui_kit/scroll_column.h"

#include "ui_kit/buttons.h"

#include <QAccessibleWidget>
#include <QApplication>
#include <QLayout>
#include <QScrollBar>

#include <mutex>

namespace hf::ui {

namespace {

// A column is a stop for Tab while it scrolls; to assistive technologies it is then the pane of
// what it shows, named by its own accessible name or else by the nearest holder's (the sheet, the
// card, the window), never a nameless stop.
class ColumnInterface : public QAccessibleWidget {
public:
    explicit ColumnInterface(QWidget* column) : QAccessibleWidget(column, QAccessible::Pane) {}

    QString text(QAccessible::Text t) const override
    {
        if (t != QAccessible::Name)
            return QAccessibleWidget::text(t);
        for (const QWidget* w = widget(); w; w = w->parentWidget()) {
            if (!w->accessibleName().isEmpty())
                return w->accessibleName();
            if (w->isWindow())
                return w->windowTitle();
        }
        return {};
    }
};

QAccessibleInterface* columnFactory(const QString& key, QObject* object)
{
    if (key == QLatin1String("hf::ui::ScrollColumn") && object && object->isWidgetType())
        return new ColumnInterface(static_cast<QWidget*>(object));
    return nullptr;
}

} // namespace

void keepFocusInView()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (!qApp)
            return;
        QObject::connect(qApp, &QApplication::focusChanged, qApp, [](QWidget*, QWidget* now) {
            if (!now || QGuiApplication::mouseButtons() != Qt::NoButton)
                return;
            // Innermost first, so an outer area scrolls to where the inner one put the widget.
            for (QWidget* parent = now->parentWidget(); parent; parent = parent->parentWidget())
                if (auto* area = qobject_cast<QScrollArea*>(parent); area && area->widget()
                                                                     && area->widget()->isAncestorOf(now))
                    area->ensureWidgetVisible(now, 0, 8);
        });
    });
}

ScrollColumn::ScrollColumn(QWidget* content, QWidget* parent) : QScrollArea(parent)
{
    static std::once_flag once;
    std::call_once(once, [] { QAccessible::installFactory(columnFactory); });
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setAutoFillBackground(false);
    viewport()->setAutoFillBackground(false);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    // A stop for Tab only while there is something to scroll (the arrow keys then scroll it),
    // and then it shows the focus ring like every other stop.
    setFocusPolicy(Qt::NoFocus);
    keepFocusInView();
    attachFocusRing(this, 8);
    connect(verticalScrollBar(), &QScrollBar::rangeChanged, this,
            [this](int, int maximum) { setFocusPolicy(maximum > 0 ? Qt::StrongFocus : Qt::NoFocus); });
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
