#include "ui_kit/accessibility.h"

#include "ui_kit/accessibility_bus.h"

#include "platform/texts.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractScrollArea>
#include <QAction>
#include <QAccessibleObject>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QScrollBar>
#include <QTextBoundaryFinder>
#include <QStyle>
#include <QTimer>
#include <QVariant>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <utility>

#include <mutex>

namespace hf::ui {

namespace {

constexpr const char* hiddenProperty = "hfAccessibleHidden";
constexpr const char* headingProperty = "hfAccessibleHeading";
constexpr const char* roleProperty = "hfAccessibleRole";
constexpr const char* valueProperty = "hfAccessibleValue";
constexpr const char* selectedProperty = "hfAccessibleSelected";
constexpr const char* progressProperty = "hfAccessibleProgress";

// What the kit's own interfaces have in common: an interface that is not one was made before the
// widget was presented, and is replaced.
class KitInterface {
public:
    virtual ~KitInterface() = default;
};

class HiddenInterface : public QAccessibleWidget, public KitInterface {
public:
    // A filler: the neutral role of a container, so that nothing reads it as an unknown control.
    explicit HiddenInterface(QWidget* widget) : QAccessibleWidget(widget, QAccessible::Client) {}
    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.invisible = true;
        s.focusable = false;
        return s;
    }
    QString text(QAccessible::Text) const override { return {}; }
    int childCount() const override { return 0; }
    QAccessibleInterface* child(int) const override { return nullptr; }
};

class HeadingInterface : public QAccessibleWidget, public KitInterface {
public:
    explicit HeadingInterface(QWidget* widget) : QAccessibleWidget(widget, QAccessible::Heading) {}
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name && widget()->accessibleName().isEmpty())
            if (auto* label = qobject_cast<QLabel*>(widget()))
                return label->text();
        return QAccessibleWidget::text(t);
    }
};

// An element that shows none of the widgets inside it.
class ChildlessInterface : public QAccessibleWidget, public KitInterface {
public:
    ChildlessInterface(QWidget* widget, QAccessible::Role role) : QAccessibleWidget(widget, role) {}

    int childCount() const override { return 0; }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
};

// One element for a widget and everything in it.
class OneInterface : public ChildlessInterface {
public:
    OneInterface(QWidget* widget, QAccessible::Role role) : ChildlessInterface(widget, role) {}

    QString text(QAccessible::Text t) const override
    {
        switch (t) {
        case QAccessible::Value: return widget()->property(valueProperty).toString();
        case QAccessible::Name: return spokenName(ownName(), text(QAccessible::Value));
        // What the element says is in its name and value; a tooltip repeating the name is not
        // read a second time as its description.
        case QAccessible::Description: return widget()->accessibleDescription();
        default: return QAccessibleWidget::text(t);
        }
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        if (const QVariant selected = widget()->property(selectedProperty); selected.isValid()) {
            s.selectable = true;
            s.selected = selected.toBool();
        }
        if (auto* button = button_()) {
            if (button->isDown())
                s.pressed = true;
            if (button->isCheckable()) {
                s.checkable = true;
                s.checked = button->isChecked();
                if (role() == QAccessible::RadioButton || role() == QAccessible::CheckBox) {
                    s.selectable = true;
                    s.selected = button->isChecked();
                }
            }
        }
        return s;
    }

    QStringList actionNames() const override
    {
        QStringList names = QAccessibleWidget::actionNames();
        if (auto* button = button_(); button && button->isEnabled()) {
            names.prepend(button->isCheckable() ? toggleAction() : pressAction());
        }
        return names;
    }

    void doAction(const QString& name) override
    {
        auto* button = button_();
        if (button && button->isEnabled() && (name == pressAction() || name == toggleAction())) {
            button->click();
            return;
        }
        QAccessibleWidget::doAction(name);
    }

protected:
    QAbstractButton* button_() const { return qobject_cast<QAbstractButton*>(widget()); }
    QString ownName() const
    {
        if (!widget()->accessibleName().isEmpty())
            return widget()->accessibleName();
        if (auto* button = button_())
            return button->text();
        return {};
    }
};

class ProgressInterface : public OneInterface, public QAccessibleValueInterface {
public:
    explicit ProgressInterface(QWidget* widget) : OneInterface(widget, QAccessible::ProgressBar) {}

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return OneInterface::interface_cast(type);
    }
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value)
            return QLocale().toString(percent()) + QStringLiteral(" %");
        // The bus carries the number through the value interface; the name stays the name.
        if (t == QAccessible::Name)
            return ownName();
        return OneInterface::text(t);
    }
    QVariant currentValue() const override { return percent(); }
    void setCurrentValue(const QVariant&) override {}
    QVariant maximumValue() const override { return 100; }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }

private:
    int percent() const
    {
        const double fraction = widget()->property(progressProperty).toDouble();
        return int(std::lround(std::clamp(std::isfinite(fraction) ? fraction : 0.0, 0.0, 1.0) * 100));
    }
};

// A closed pop-up choice: named by its accessible name and its chosen entry, a press opens it.
// The list the choice opens is a window of its own; it is not a part of the closed choice.
class ChoiceInterface : public ChildlessInterface {
public:
    explicit ChoiceInterface(QComboBox* box) : ChildlessInterface(box, QAccessible::ComboBox) {}
    QComboBox* box() const { return static_cast<QComboBox*>(widget()); }

    QString text(QAccessible::Text t) const override
    {
        switch (t) {
        case QAccessible::Name: return spokenName(widget()->accessibleName(), box()->currentText());
        case QAccessible::Value: return box()->currentText();
        case QAccessible::Description: return widget()->accessibleDescription();
        default: return QAccessibleWidget::text(t);
        }
    }
    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.expandable = true;
        s.expanded = box()->view() && box()->view()->isVisible();
        return s;
    }
    QStringList actionNames() const override
    {
        QStringList names = QAccessibleWidget::actionNames();
        if (box()->isEnabled())
            names.prepend(showMenuAction());
        return names;
    }
    void doAction(const QString& name) override
    {
        if (name == showMenuAction() || name == pressAction()) {
            if (box()->isEnabled())
                box()->showPopup();
            return;
        }
        QAccessibleWidget::doAction(name);
    }
};

// The application at the root of the tree: its windows, and also the pop-ups that belong to no
// menu bar or menu (a row's context menu). Those name the application as their parent, so it lists
// them after its windows while they show, and a screen reader finds them under it.
class ApplicationInterface : public QAccessibleApplication, public KitInterface {
public:
    int childCount() const override { return QAccessibleApplication::childCount() + int(popups().size()); }
    QAccessibleInterface* child(int index) const override
    {
        const int windows = QAccessibleApplication::childCount();
        if (index < windows)
            return QAccessibleApplication::child(index);
        const QObjectList list = popups();
        return index - windows < list.size() ? QAccessible::queryAccessibleInterface(list.at(index - windows)) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override
    {
        if (const int index = QAccessibleApplication::indexOfChild(child); index >= 0)
            return index;
        const int popup = child ? int(popups().indexOf(child->object())) : -1;
        return popup < 0 ? -1 : QAccessibleApplication::childCount() + popup;
    }
    QAccessibleInterface* focusChild() const override
    {
        if (QWidget* popup = QApplication::activePopupWidget(); popup && popups().contains(popup))
            return QAccessible::queryAccessibleInterface(popup);
        return QAccessibleApplication::focusChild();
    }

private:
    static QObjectList popups()
    {
        QObjectList list;
        for (QWindow* window : QGuiApplication::topLevelWindows()) {
            if (window->type() != Qt::Popup || !window->isVisible())
                continue;
            QAccessibleInterface* root = window->accessibleRoot();
            QAccessibleInterface* parent = root ? root->parent() : nullptr;
            if (parent && parent->object() == qApp)
                list << root->object();
        }
        return list;
    }
};

// A scroll area as Qt presents it (its viewport, then the containers of the scroll bars that show,
// then a corner widget that shows), but answering a child index out of range with nothing: a
// screen reader asks by an index from a count it read a moment before, and a scroll bar that hid
// meanwhile has made the list shorter. Qt's own interface reads past the list's end there.
class ScrollAreaInterface : public QAccessibleWidget {
public:
    explicit ScrollAreaInterface(QAbstractScrollArea* area) : QAccessibleWidget(area, QAccessible::Client) {}

    bool isValid() const override { return QAccessibleWidget::isValid() && area()->viewport(); }
    int childCount() const override { return int(parts().size()); }
    QAccessibleInterface* child(int index) const override
    {
        const QWidgetList list = parts();
        return index >= 0 && index < list.size() ? QAccessible::queryAccessibleInterface(list.at(index)) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override
    {
        if (!child || !child->object() || !child->object()->isWidgetType())
            return -1;
        return int(parts().indexOf(static_cast<QWidget*>(child->object())));
    }
    QAccessibleInterface* childAt(int x, int y) const override
    {
        if (!area()->isVisible())
            return nullptr;
        for (QWidget* part : parts())
            if (QRect(part->mapToGlobal(QPoint(0, 0)), part->size()).contains(x, y))
                return QAccessible::queryAccessibleInterface(part);
        return nullptr;
    }

private:
    QAbstractScrollArea* area() const { return static_cast<QAbstractScrollArea*>(widget()); }
    QWidgetList parts() const
    {
        QWidgetList list;
        if (QWidget* viewport = area()->viewport())
            list << viewport;
        for (QScrollBar* bar : {area()->horizontalScrollBar(), area()->verticalScrollBar()})
            if (bar && bar->isVisible() && bar->parentWidget())
                list << bar->parentWidget();
        if (QWidget* corner = area()->cornerWidget(); corner && corner->isVisible())
            list << corner;
        return list;
    }
};

// Calls `f` with `owner`, a menu or the menu bar, as its own class (both answer activeAction,
// setActiveAction, actionAt and actionGeometry).
template <typename F>
auto onMenu(QWidget* owner, F f)
{
    if (auto* menu = qobject_cast<QMenu*>(owner))
        return f(menu);
    return f(static_cast<QMenuBar*>(owner));
}

// The menu bar, the menus and their entries as Qt presents them (an entry with a submenu has it as
// its one child; a submenu's parent is its entry), but each answering a child index out of range
// with nothing: Qt's own menu and menu bar interfaces take an index below zero for an entry.
class MenuItemInterface : public QAccessibleInterface, public QAccessibleActionInterface {
public:
    MenuItemInterface(QWidget* owner, QAction* action) : m_action(action), m_owner(owner) {}

    // The entry's interface, made once (it lives as long as its action).
    static QAccessibleInterface* of(QWidget* owner, QAction* action)
    {
        if (QAccessibleInterface* made = QAccessible::queryAccessibleInterface(action))
            return made;
        auto* item = new MenuItemInterface(owner, action);
        QAccessible::registerAccessibleInterface(item);
        return item;
    }

    bool isValid() const override { return m_action && m_owner; }
    QObject* object() const override { return m_action; }
    QWindow* window() const override { return m_owner ? m_owner->window()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(m_owner.data()); }
    int childCount() const override { return m_action && m_action->menu() ? 1 : 0; }
    QAccessibleInterface* child(int index) const override
    {
        return index == 0 && childCount() == 1 ? QAccessible::queryAccessibleInterface(m_action->menu()) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override
    {
        return child && childCount() == 1 && child->object() == m_action->menu() ? 0 : -1;
    }
    QAccessibleInterface* childAt(int x, int y) const override
    {
        QAccessibleInterface* menu = child(0);
        return menu && menu->rect().contains(x, y) ? menu : nullptr;
    }
    QAccessible::Role role() const override
    {
        return m_action && m_action->isSeparator() ? QAccessible::Separator : QAccessible::MenuItem;
    }
    QAccessible::State state() const override
    {
        QAccessible::State s;
        if (!isValid())
            return s;
        s.invisible = !m_owner->testAttribute(Qt::WA_WState_Visible) || !m_action->isVisible();
        s.focused = onMenu(m_owner, [](auto* menu) { return menu->activeAction(); }) == m_action;
        s.hotTracked = m_owner->style()->styleHint(QStyle::SH_Menu_MouseTracking, nullptr, m_owner);
        s.disabled = m_action->isSeparator() || !m_action->isEnabled();
        s.checkable = m_action->isCheckable();
        s.checked = m_action->isChecked();
        return s;
    }
    QRect rect() const override
    {
        if (!isValid())
            return {};
        return onMenu(m_owner, [this](auto* menu) { return menu->actionGeometry(m_action); })
            .translated(m_owner->mapToGlobal(QPoint(0, 0)));
    }
    QString text(QAccessible::Text t) const override
    {
        if (!m_action)
            return {};
        if (t == QAccessible::Name) {
            // The text without its mnemonic marks ("&&" stands for "&").
            QString name = m_action->text();
            name.replace(QLatin1String("&&"), QStringLiteral("\x1"));
            name.remove(u'&');
            return name.replace(u'\x1', u'&');
        }
        if (t == QAccessible::Accelerator) {
            const QKeySequence key = m_action->shortcut().isEmpty() ? QKeySequence::mnemonic(m_action->text())
                                                                    : m_action->shortcut();
            return key.toString();
        }
        return {};
    }
    void setText(QAccessible::Text, const QString&) override {}
    void* interface_cast(QAccessible::InterfaceType type) override
    {
        return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this) : nullptr;
    }

    QStringList actionNames() const override
    {
        if (!m_action || m_action->isSeparator())
            return {};
        return {m_action->menu() ? showMenuAction() : pressAction()};
    }
    void doAction(const QString& name) override
    {
        if (!isValid() || !m_action->isEnabled())
            return;
        if (name == pressAction()) {
            m_action->trigger();
        } else if (name == showMenuAction()) {
            if (m_action->menu() && m_action->menu()->isVisible())
                m_action->menu()->hide();
            else
                onMenu(m_owner, [this](auto* menu) { menu->setActiveAction(m_action); });
        }
    }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }

private:
    QPointer<QAction> m_action;
    QPointer<QWidget> m_owner;
};

// A menu or the menu bar: its entries are its children.
class MenuInterface : public QAccessibleWidget {
public:
    MenuInterface(QWidget* widget, QAccessible::Role role) : QAccessibleWidget(widget, role) {}

    int childCount() const override { return int(widget()->actions().size()); }
    QAccessibleInterface* child(int index) const override
    {
        const QList<QAction*> actions = widget()->actions();
        return index >= 0 && index < actions.size() ? MenuItemInterface::of(widget(), actions.at(index)) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override
    {
        if (!child || (child->role() != QAccessible::MenuItem && child->role() != QAccessible::Separator))
            return -1;
        return int(widget()->actions().indexOf(qobject_cast<QAction*>(child->object())));
    }
    QAccessibleInterface* childAt(int x, int y) const override
    {
        const QPoint at = widget()->mapFromGlobal(QPoint(x, y));
        QAction* action = onMenu(widget(), [at](auto* menu) { return menu->actionAt(at); });
        return action && !action->isSeparator() ? MenuItemInterface::of(widget(), action) : nullptr;
    }
    QString text(QAccessible::Text t) const override
    {
        const QString own = QAccessibleWidget::text(t);
        return own.isEmpty() && t == QAccessible::Name && role() == QAccessible::PopupMenu ? widget()->windowTitle() : own;
    }
    // A submenu's parent is its entry in the menu or menu bar that holds it.
    QAccessibleInterface* parent() const override
    {
        auto* menu = qobject_cast<QMenu*>(widget());
        if (QAction* entry = menu ? menu->menuAction() : nullptr) {
            QObjectList holders{menu->parentWidget()};
            holders << entry->associatedObjects();
            for (QObject* holder : holders)
                if ((qobject_cast<QMenu*>(holder) || qobject_cast<QMenuBar*>(holder))
                    && static_cast<QWidget*>(holder)->actions().contains(entry))
                    return MenuItemInterface::of(static_cast<QWidget*>(holder), entry);
        }
        return QAccessibleWidget::parent();
    }
};

// What an item view answers for a cell it does not have: an element that is not there (invalid,
// empty, spanning nothing), rather than nothing. Whoever reads a cell's span, position or
// selection through the table may not check that there is a cell first.
class MissingCell final : public QAccessibleInterface, public QAccessibleTableCellInterface {
public:
    explicit MissingCell(QAccessibleInterface* table) : m_table(table) {}

    bool isValid() const override { return false; }
    QObject* object() const override { return nullptr; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessibleInterface* parent() const override { return m_table; }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QString text(QAccessible::Text) const override { return {}; }
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override { return {}; }
    QAccessible::Role role() const override { return QAccessible::Cell; }
    QAccessible::State state() const override
    {
        QAccessible::State s;
        s.invisible = true;
        return s;
    }
    void* interface_cast(QAccessible::InterfaceType type) override
    {
        return type == QAccessible::TableCellInterface ? static_cast<QAccessibleTableCellInterface*>(this) : nullptr;
    }

    bool isSelected() const override { return false; }
    QList<QAccessibleInterface*> columnHeaderCells() const override { return {}; }
    QList<QAccessibleInterface*> rowHeaderCells() const override { return {}; }
    int columnIndex() const override { return -1; }
    int rowIndex() const override { return -1; }
    int columnExtent() const override { return 0; }
    int rowExtent() const override { return 0; }
    QAccessibleInterface* table() const override { return m_table; }

private:
    QAccessibleInterface* m_table;
};

// Qt's own interface for a widget (`qt`), stood in front of: everything is asked of it, but for
// what a subclass answers itself. It stays in the accessibility cache, under an id of its own that
// nothing looks up (the widget's entry is this one), and goes with this.
class InFrontOfQt : public QAccessibleInterface {
public:
    InFrontOfQt(QWidget* widget, QAccessibleInterface* qt) : m_widget(widget), m_qt(qt), m_qtId(QAccessible::uniqueId(qt)) {}
    ~InFrontOfQt() override
    {
        // By id: when the application ends, the cache may have deleted it already.
        QAccessible::deleteAccessibleInterface(m_qtId);
    }

    bool isValid() const override { return m_widget && m_qt->isValid(); }
    QObject* object() const override { return m_widget; }
    QWindow* window() const override { return m_qt->window(); }
    QList<QPair<QAccessibleInterface*, QAccessible::Relation>> relations(QAccessible::Relation match) const override
    {
        return m_qt->relations(match);
    }
    QAccessibleInterface* focusChild() const override { return m_qt->focusChild(); }
    QAccessibleInterface* childAt(int x, int y) const override { return m_qt->childAt(x, y); }
    QAccessibleInterface* parent() const override { return m_qt->parent(); }
    QAccessibleInterface* child(int index) const override { return m_qt->child(index); }
    int childCount() const override { return m_qt->childCount(); }
    int indexOfChild(const QAccessibleInterface* child) const override { return m_qt->indexOfChild(child); }
    QString text(QAccessible::Text t) const override { return m_qt->text(t); }
    void setText(QAccessible::Text t, const QString& text) override { m_qt->setText(t, text); }
    QRect rect() const override { return m_qt->rect(); }
    QAccessible::Role role() const override { return m_qt->role(); }
    QAccessible::State state() const override { return m_qt->state(); }
    QColor foregroundColor() const override { return m_qt->foregroundColor(); }
    QColor backgroundColor() const override { return m_qt->backgroundColor(); }
    void virtual_hook(int id, void* data) override { m_qt->virtual_hook(id, data); }
    void* interface_cast(QAccessible::InterfaceType type) override { return m_qt->interface_cast(type); }

protected:
    QPointer<QWidget> m_widget;
    QAccessibleInterface* m_qt;

private:
    QAccessible::Id m_qtId;
};

// A list, tree or table view as Qt presents it, but answering a row, column or cell outside the
// view safely: a cell it does not have is a MissingCell, never nothing, and an element that is
// not one of its cells has no index in it. A screen reader asks by rows it read a moment before,
// and a file dialog's list changes under it as a folder loads.
class ItemViewInterface final : public InFrontOfQt, public QAccessibleTableInterface {
public:
    ItemViewInterface(QWidget* view, QAccessibleInterface* qt)
        : InFrontOfQt(view, qt), m_missing(new MissingCell(this)), m_missingId(QAccessible::registerAccessibleInterface(m_missing))
    {
    }
    ~ItemViewInterface() override { QAccessible::deleteAccessibleInterface(m_missingId); }

    int indexOfChild(const QAccessibleInterface* child) const override
    {
        // Qt's interface reads the parent of what it is given, and takes an element whose parent
        // is the view for one of its cells.
        const QAccessibleInterface* parent = child && child != m_missing ? child->parent() : nullptr;
        if (!parent || parent->object() != m_widget || child->object())
            return -1;
        return m_qt->indexOfChild(child);
    }
    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TableInterface)
            return table() ? static_cast<QAccessibleTableInterface*>(this) : nullptr;
        return m_qt->interface_cast(type);
    }

    QAccessibleInterface* cellAt(int row, int column) const override
    {
        QAccessibleInterface* cell = nullptr;
        if (row >= 0 && column >= 0 && row < rowCount() && column < columnCount())
            cell = table()->cellAt(row, column);
        return cell ? cell : m_missing;
    }
    QAccessibleInterface* caption() const override { return table()->caption(); }
    QAccessibleInterface* summary() const override { return table()->summary(); }
    int selectedCellCount() const override { return table()->selectedCellCount(); }
    QList<QAccessibleInterface*> selectedCells() const override { return table()->selectedCells(); }
    QString columnDescription(int column) const override { return table()->columnDescription(column); }
    QString rowDescription(int row) const override { return table()->rowDescription(row); }
    int selectedColumnCount() const override { return table()->selectedColumnCount(); }
    int selectedRowCount() const override { return table()->selectedRowCount(); }
    int columnCount() const override { return table()->columnCount(); }
    int rowCount() const override { return table()->rowCount(); }
    QList<int> selectedColumns() const override { return table()->selectedColumns(); }
    QList<int> selectedRows() const override { return table()->selectedRows(); }
    bool isColumnSelected(int column) const override { return table()->isColumnSelected(column); }
    bool isRowSelected(int row) const override { return table()->isRowSelected(row); }
    bool selectRow(int row) override { return table()->selectRow(row); }
    bool selectColumn(int column) override { return table()->selectColumn(column); }
    bool unselectRow(int row) override { return table()->unselectRow(row); }
    bool unselectColumn(int column) override { return table()->unselectColumn(column); }
    void modelChange(QAccessibleTableModelChangeEvent* event) override { table()->modelChange(event); }

private:
    QAccessibleTableInterface* table() const { return m_qt->tableInterface(); }

    MissingCell* m_missing;
    QAccessible::Id m_missingId;
};

// A text field (a line edit, a text area, a spin box's text) as Qt presents it, but finding the
// character, word or sentence at, before and after an offset itself: Qt's search for the end of
// a word or sentence never ends at the end of the text, where the caret stands after typing.
//
// Offsets run from 0 to the text's length; -1 stands for the length, and -2 for the caret. At the
// end of the text, the word or sentence is the one that ends there. Outside the text, or in a
// field that does not show its text (a password), the answer is empty, from -1 to -1.
class TextFieldInterface final : public InFrontOfQt, public QAccessibleTextInterface {
public:
    TextFieldInterface(QWidget* widget, QAccessibleInterface* qt) : InFrontOfQt(widget, qt) {}

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TextInterface)
            return qtText() ? static_cast<QAccessibleTextInterface*>(this) : nullptr;
        return m_qt->interface_cast(type);
    }

    void selection(int index, int* start, int* end) const override { qtText()->selection(index, start, end); }
    int selectionCount() const override { return qtText()->selectionCount(); }
    void addSelection(int start, int end) override { qtText()->addSelection(start, end); }
    void removeSelection(int index) override { qtText()->removeSelection(index); }
    void setSelection(int index, int start, int end) override { qtText()->setSelection(index, start, end); }
    int cursorPosition() const override { return qtText()->cursorPosition(); }
    void setCursorPosition(int position) override { qtText()->setCursorPosition(position); }
    QString text(int start, int end) const override { return qtText()->text(start, end); }
    int characterCount() const override { return qtText()->characterCount(); }
    QRect characterRect(int offset) const override
    {
        // A range's extents are read character by character up to its end, however far that is.
        return offset >= 0 && offset <= characterCount() ? qtText()->characterRect(offset) : QRect();
    }
    int offsetAtPoint(const QPoint& point) const override { return qtText()->offsetAtPoint(point); }
    void scrollToSubstring(int start, int end) override { qtText()->scrollToSubstring(start, end); }
    QString attributes(int offset, int* start, int* end) const override { return qtText()->attributes(offset, start, end); }
    using QAccessibleInterface::text;

    QString textAtOffset(int offset, QAccessible::TextBoundaryType type, int* start, int* end) const override
    {
        return piece(offset, type, 0, start, end);
    }
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType type, int* start, int* end) const override
    {
        return piece(offset, type, -1, start, end);
    }
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType type, int* start, int* end) const override
    {
        return piece(offset, type, +1, start, end);
    }

private:
    QAccessibleTextInterface* qtText() const { return m_qt->textInterface(); }

    // The piece of `type` at `offset` (`step` 0), the one before it (-1) or the one after it (+1).
    QString piece(int offset, QAccessible::TextBoundaryType type, int step, int* start, int* end) const
    {
        *start = *end = -1;
        const int length = characterCount();
        const QString all = qtText()->text(0, length);
        if (offset == -2)
            offset = cursorPosition();
        else if (offset == -1)
            offset = length;
        if (offset < 0 || offset > length || all.size() != length || length == 0)
            return {};
        if (type == QAccessible::LineBoundary || type == QAccessible::ParagraphBoundary) {
            // Lines are laid out by the widget; Qt's own answer finds them.
            if (step == 0)
                return qtText()->textAtOffset(offset, type, start, end);
            return step < 0 ? qtText()->textBeforeOffset(offset, type, start, end)
                            : qtText()->textAfterOffset(offset, type, start, end);
        }
        // Where the pieces begin and end: 0, the text's length and every boundary between.
        QList<int> bounds{0};
        if (type == QAccessible::NoBoundary) {
            bounds << length;
        } else {
            const auto finderType = type == QAccessible::CharBoundary   ? QTextBoundaryFinder::Grapheme
                                    : type == QAccessible::WordBoundary ? QTextBoundaryFinder::Word
                                                                        : QTextBoundaryFinder::Sentence;
            QTextBoundaryFinder finder(finderType, all);
            for (int at = finder.toNextBoundary(); at > 0 && at <= length; at = finder.toNextBoundary())
                if (at == length || finder.boundaryReasons() & (QTextBoundaryFinder::StartOfItem | QTextBoundaryFinder::EndOfItem))
                    bounds << at;
            if (bounds.last() != length)
                bounds << length;
        }
        // The piece holding the offset; at the end of the text, the one that ends there, but for a
        // character: there is none at the end.
        qsizetype index = std::upper_bound(bounds.begin(), bounds.end(), offset) - bounds.begin() - 1;
        if (offset == length)
            index = type == QAccessible::CharBoundary ? bounds.size() - 1 : bounds.size() - 2;
        index += step;
        if (index < 0 || index + 1 >= bounds.size())
            return {};
        *start = bounds.at(index);
        *end = bounds.at(index + 1);
        return all.mid(*start, *end - *start);
    }
};

// The widget whose interface Qt is making for one of the kit's to stand in front of; the kit's
// factory leaves it to Qt's.
QObject* widgetBeingWrapped = nullptr;

template <typename Wrapper>
QAccessibleInterface* inFrontOfQt(QWidget* widget)
{
    QObject* outer = std::exchange(widgetBeingWrapped, widget);
    QAccessibleInterface* qt = QAccessible::queryAccessibleInterface(widget);
    widgetBeingWrapped = outer;
    return qt ? new Wrapper(widget, qt) : nullptr;
}

QAccessibleInterface* kitFactory(const QString& key, QObject* object)
{
    if (object && object == widgetBeingWrapped)
        return nullptr;
    if (object && object == qApp && key == QLatin1String(object->metaObject()->className()))
        return new ApplicationInterface;
    if (!object || !object->isWidgetType())
        return nullptr;
    auto* widget = static_cast<QWidget*>(object);
    if (widget->property(hiddenProperty).toBool())
        return new HiddenInterface(widget);
    if (widget->property(headingProperty).toBool())
        return new HeadingInterface(widget);
    if (widget->property(progressProperty).isValid())
        return new ProgressInterface(widget);
    if (const QVariant role = widget->property(roleProperty); role.isValid()) {
        if (auto* box = qobject_cast<QComboBox*>(widget); box && role.toInt() == QAccessible::ComboBox)
            return new ChoiceInterface(box);
        return new OneInterface(widget, QAccessible::Role(role.toInt()));
    }
    if (key == QLatin1String("hf::ui::SegmentedChoice"))
        return new QAccessibleWidget(widget, QAccessible::Grouping);
    if (key == QLatin1String("QMenu"))
        return new MenuInterface(widget, QAccessible::PopupMenu);
    if (key == QLatin1String("QMenuBar"))
        return new MenuInterface(widget, QAccessible::MenuBar);
    // Where Qt would give a list, tree or table view its own interface (the views of its dialogs
    // and of every combo box's pop-up among them).
    if (key == QLatin1String("QListView") || key == QLatin1String("QTreeView") || key == QLatin1String("QTableView"))
        return inFrontOfQt<ItemViewInterface>(widget);
    // Where Qt would give a widget a text interface of its own (the text fields of its dialogs
    // and of the feedback form among them).
    if (key == QLatin1String("QLineEdit") || key == QLatin1String("QTextEdit") || key == QLatin1String("QTextBrowser")
        || key == QLatin1String("QPlainTextEdit") || key == QLatin1String("QAbstractSpinBox")
        || key == QLatin1String("QSpinBox") || key == QLatin1String("QDoubleSpinBox"))
        return inFrontOfQt<TextFieldInterface>(widget);
    // Where Qt would give a scroll area its own interface: a class of its own (a text field, an
    // item view) has already been answered by then.
    if (key == QLatin1String("QScrollArea") || key == QLatin1String("QAbstractScrollArea"))
        return new ScrollAreaInterface(static_cast<QAbstractScrollArea*>(widget));
    return nullptr;
}

// Makes the widget's interface the kit's: one made earlier (a base class's constructor may have
// announced a change) is dropped, and the next query makes it anew.
void represent(QWidget* widget)
{
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(widget);
    if (iface && !dynamic_cast<KitInterface*>(iface))
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(iface));
}

} // namespace

void installKitAccessibility()
{
    static std::once_flag once;
    std::call_once(once, [] {
        QAccessible::installFactory(kitFactory);
        standInFrontOfAccessibilityBus();
        // An application interface made before this one is dropped; the next query makes the kit's.
        if (qApp)
            if (QAccessibleInterface* app = QAccessible::queryAccessibleInterface(qApp); app && !dynamic_cast<KitInterface*>(app))
                QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(app));
    });
}

void hideFromAccessibility(QWidget* widget)
{
    installKitAccessibility();
    widget->setProperty(hiddenProperty, true);
    represent(widget);
}

void presentAsHeading(QWidget* widget)
{
    installKitAccessibility();
    widget->setProperty(headingProperty, true);
    represent(widget);
}

void presentAsChoice(QComboBox* box)
{
    presentAsOne(box, QAccessible::ComboBox);
}

void presentAsOne(QWidget* widget, QAccessible::Role role)
{
    installKitAccessibility();
    widget->setProperty(roleProperty, int(role));
    represent(widget);
}

QString spokenName(const QString& name, const QString& value)
{
    if (value.isEmpty())
        return name;
    if (name.isEmpty())
        return value;
    return hf::text("ui.accessibility.nameAndValue", "%@, %@", {name, value});
}

void setAccessibleName(QWidget* widget, const QString& name)
{
    if (widget->accessibleName() != name)
        widget->setAccessibleName(name);
}

void setAccessibleValue(QWidget* widget, const QString& value)
{
    if (widget->property(valueProperty).toString() == value && widget->property(valueProperty).isValid())
        return;
    widget->setProperty(valueProperty, value);
    // The value is read as part of the name (see spokenName), so the name is what changed.
    QAccessibleEvent event(widget, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
}

void setAccessibleSelected(QWidget* widget, bool selected)
{
    const QVariant before = widget->property(selectedProperty);
    if (before.isValid() && before.toBool() == selected)
        return;
    widget->setProperty(selectedProperty, selected);
    // The bus turns a selection event into the element's "selected" state change.
    QAccessibleEvent event(widget, selected ? QAccessible::SelectionAdd : QAccessible::SelectionRemove);
    QAccessible::updateAccessibility(&event);
}

void presentAsProgress(QWidget* widget)
{
    installKitAccessibility();
    if (!widget->property(progressProperty).isValid())
        widget->setProperty(progressProperty, 0.0);
    represent(widget);
}

void setAccessibleProgress(QWidget* widget, double fraction)
{
    const double before = widget->property(progressProperty).toDouble();
    widget->setProperty(progressProperty, fraction);
    if (std::lround(before * 100) != std::lround(fraction * 100)) {
        QAccessibleValueChangeEvent event(widget, int(std::lround(std::clamp(fraction, 0.0, 1.0) * 100)));
        QAccessible::updateAccessibility(&event);
    }
}

void announce(QWidget* window, const QString& message)
{
    if (!window || message.isEmpty())
        return;
    window = window->window();
    auto* note = window->findChild<QWidget*>(QStringLiteral("hf.announcement"), Qt::FindDirectChildrenOnly);
    if (!note) {
        note = new QWidget(window);
        note->setObjectName(QStringLiteral("hf.announcement"));
        note->setAttribute(Qt::WA_TransparentForMouseEvents);
        note->setFocusPolicy(Qt::NoFocus);
        note->setGeometry(0, 0, 1, 1);
        presentAsOne(note, QAccessible::Notification);
        // Gone again once read, so no stale notice stays in the window for a later review.
        auto* expiry = new QTimer(note);
        expiry->setSingleShot(true);
        expiry->setInterval(10000);
        QObject::connect(expiry, &QTimer::timeout, note, &QWidget::hide);
    }
    // Shown anew for each message: a screen reader speaks a notification as it appears.
    note->hide();
    note->setAccessibleName(message);
    note->show();
    note->lower();
    note->findChild<QTimer*>()->start();
}

void* AccessibleSlider::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::ValueInterface)
        return static_cast<QAccessibleValueInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
}

QStringList AccessibleSlider::actionNames() const
{
    return {increaseAction(), decreaseAction()};
}

void AccessibleSlider::doAction(const QString& name)
{
    const double now = currentValue().toDouble();
    const double step = minimumStepSize().toDouble();
    if (name == increaseAction())
        setCurrentValue(now + step);
    else if (name == decreaseAction())
        setCurrentValue(now - step);
}

} // namespace hf::ui
