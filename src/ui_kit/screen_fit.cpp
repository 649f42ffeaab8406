#include "ui_kit/screen_fit.h"

#include <QApplication>
#include <QBoxLayout>
#include <QEvent>
#include <QFormLayout>
#include <QGridLayout>
#include <QKeyEvent>
#include <QScreen>
#include <QSplitter>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <mutex>

namespace hf::ui {

namespace {

// What a desktop's frame takes round a window at least, whether or not it is known yet: a
// border on each side and a title bar.
constexpr QSize assumedFrame(24, 40);

} // namespace

QRect focusArea(const QWidget* widget)
{
    // A widget that shows its focus on a part of itself says where, as a text field says where
    // its cursor is.
    const QRect own = widget->inputMethodQuery(Qt::ImCursorRectangle).toRect();
    const QRect plain = widget->QWidget::inputMethodQuery(Qt::ImCursorRectangle).toRect();
    const QRect area = own != plain && own.isValid() ? own : widget->rect();
    return area.translated(widget->pos());
}

namespace {

void addLayoutWidgets(QLayout* layout, QList<QWidget*>& ordered)
{
    struct Placed {
        int row, column, index;
        QLayoutItem* item;
    };
    QList<Placed> items;
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem* item = layout->itemAt(i);
        int row = 0, column = i;
        if (auto* grid = qobject_cast<QGridLayout*>(layout)) {
            int rowSpan = 0, columnSpan = 0;
            grid->getItemPosition(i, &row, &column, &rowSpan, &columnSpan);
        } else if (auto* form = qobject_cast<QFormLayout*>(layout)) {
            QFormLayout::ItemRole role{};
            form->getItemPosition(i, &row, &role);
            column = int(role);
        }
        items.append({row, column, i, item});
    }
    std::stable_sort(items.begin(), items.end(),
                     [](const Placed& a, const Placed& b) { return std::tie(a.row, a.column) < std::tie(b.row, b.column); });
    if (auto* box = qobject_cast<QBoxLayout*>(layout);
        box && (box->direction() == QBoxLayout::RightToLeft || box->direction() == QBoxLayout::BottomToTop))
        std::reverse(items.begin(), items.end());
    for (const Placed& placed : items) {
        if (QWidget* widget = placed.item->widget())
            ordered.append(widget);
        else if (QLayout* inner = placed.item->layout())
            addLayoutWidgets(inner, ordered);
    }
}

// The children of `parent` in the order they are laid out, then those no layout places, top to
// bottom and left to right by where they show the focus.
QList<QWidget*> orderedChildren(QWidget* parent)
{
    QList<QWidget*> ordered;
    if (auto* splitter = qobject_cast<QSplitter*>(parent)) {
        for (int i = 0; i < splitter->count(); ++i)
            ordered.append(splitter->widget(i));
    } else if (parent->layout()) {
        addLayoutWidgets(parent->layout(), ordered);
    }
    ordered.removeIf([parent](QWidget* widget) { return widget->parentWidget() != parent; });
    QList<QWidget*> unplaced;
    for (QObject* child : parent->children())
        if (child->isWidgetType() && !ordered.contains(static_cast<QWidget*>(child)))
            unplaced.append(static_cast<QWidget*>(child));
    std::stable_sort(unplaced.begin(), unplaced.end(), [](const QWidget* a, const QWidget* b) {
        const QPoint p = focusArea(a).topLeft(), q = focusArea(b).topLeft();
        return std::pair(p.y(), p.x()) < std::pair(q.y(), q.x());
    });
    return ordered + unplaced;
}

void collectStops(QWidget* parent, QList<QWidget*>& stops)
{
    for (QWidget* child : orderedChildren(parent)) {
        if (child->isWindow())
            continue;
        if ((child->focusPolicy() & Qt::TabFocus) && !child->focusProxy())
            stops.append(child);
        collectStops(child, stops);
    }
}

// Before Tab moves the focus, the focus widget's window gets its order from the screen.
class TabOrderKeeper : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::KeyPress || !watched->isWidgetType())
            return false;
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() != Qt::Key_Tab && key->key() != Qt::Key_Backtab)
            return false;
        if (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
            return false;
        auto* widget = static_cast<QWidget*>(watched);
        if (widget == QApplication::focusWidget() && widget->window())
            orderTabsAsShown(widget->window());
        return false;
    }
};

} // namespace

QList<QWidget*> orderTabsAsShown(QWidget* window)
{
    QList<QWidget*> stops;
    collectStops(window, stops);
    // Nothing to do when the chain already has the stops in this order.
    QList<QWidget*> chained;
    chained.reserve(stops.size());
    for (QWidget* w = window->nextInFocusChain(); w && w != window; w = w->nextInFocusChain())
        if (stops.contains(w))
            chained.append(w);
    if (chained != stops)
        for (qsizetype i = 1; i < stops.size(); ++i)
            QWidget::setTabOrder(stops[i - 1], stops[i]);
    return stops;
}

QWidget* firstStopWithin(QWidget* scope, const std::function<bool(const QWidget*)>& accepts)
{
    for (QWidget* stop : orderTabsAsShown(scope->window()))
        if (scope->isAncestorOf(stop) && stop->isVisible() && stop->isEnabled() && (!accepts || accepts(stop)))
            return stop;
    return nullptr;
}

void keepTabOrderAsShown()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (qApp)
            qApp->installEventFilter(new TabOrderKeeper(qApp));
    });
}

QSize workAreaRoom(const QWidget* window)
{
    // A window not yet shown opens on the screen of the window it belongs to.
    const QWidget* shownOn = window && !window->isVisible() && window->parentWidget() ? window->parentWidget()->window()
                                                                                    : window;
    const QScreen* screen = shownOn ? shownOn->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return {QWIDGETSIZE_MAX, QWIDGETSIZE_MAX};
    QSize frame = assumedFrame;
    if (window && window->isVisible())
        frame = frame.expandedTo(window->frameGeometry().size() - window->geometry().size());
    return screen->availableGeometry().size() - frame;
}

namespace {

// Keeps a window within its room as its screen changes.
class WorkAreaFitter : public QObject {
public:
    WorkAreaFitter(QWidget* window, QSize preferred)
        : QObject(window), m_window(window), m_preferred(preferred), m_least(window->minimumSize()),
          m_fixed(!window->minimumSize().isEmpty() && window->minimumSize() == window->maximumSize())
    {
        setObjectName(QLatin1String(name));
        window->installEventFilter(this);
    }

    static constexpr const char* name = "hf.workAreaFitter";

    void fit(bool opening)
    {
        const QSize room = workAreaRoom(m_window);
        if (m_fixed) {
            m_window->setFixedSize(m_preferred.boundedTo(room));
            return;
        }
        m_window->setMinimumSize(m_least.boundedTo(room));
        if (opening)
            m_window->resize(m_preferred.boundedTo(room).expandedTo(m_window->minimumSize()));
        else if (m_window->width() > room.width() || m_window->height() > room.height())
            m_window->resize(m_window->size().boundedTo(room));
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == m_window && event->type() == QEvent::ScreenChangeInternal)
            fit(false);
        return false;
    }

private:
    QWidget* m_window;
    QSize m_preferred;
    QSize m_least;
    bool m_fixed;
};

} // namespace

void fitToWorkArea(QWidget* window, QSize preferred)
{
    delete window->findChild<QObject*>(QLatin1String(WorkAreaFitter::name), Qt::FindDirectChildrenOnly);
    (new WorkAreaFitter(window, preferred))->fit(true);
}

} // namespace hf::ui
