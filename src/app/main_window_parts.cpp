#include "app/main_window_parts.h"

#include "app/app_services.h"
#include "app/sign_in_view.h"
#include "backend/account_store.h"
#include "player/audio_player_service.h"
#include "coordinator/engine_coordinator.h"
#include "editor/editor_state.h"
#include "editor/empty_state_view.h"
#include "editor/inspector_view.h"
#include "editor/regular_editor_view.h"
#include "editor/soundtrack_band.h"
#include "platform/texts.h"
#include "ui_kit/menu_mnemonics.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QSet>
#include <QShortcut>

namespace hf {

// ---- columns

QWidget* makeEmptyState(AppServices& services)
{
    return new EmptyStateView(&services.coordinator());
}

void setEmptyStateDropCount(QWidget* emptyState, std::optional<int> dropCount)
{
    if (auto* view = qobject_cast<EmptyStateView*>(emptyState))
        view->setDropCount(dropCount);
}

QWidget* makeEditor(AppServices& services, const WindowActions&, LaneZoom& zoom)
{
    return new RegularEditorView(&zoom, &services.coordinator(), &services.player(), &services.account());
}

QWidget* makeInspector(AppServices& services, Exporter& exporter)
{
    return new InspectorView(&services.coordinator(), &services.player(), &exporter, &services.defaults());
}

QString windowSubtitle(AppServices& services)
{
    return EditorState{&services.coordinator(), &services.player(), &services.account()}.windowSubtitle();
}

// ---- sign-in sheet

QWidget* makeSignInSheetContent(AppServices& services, std::function<void()> close)
{
    auto* sheet = new SignInView(&services.account(), WebSignInService{&services.api()});
    QObject::connect(sheet, &SignInView::dismissRequested, sheet, [close] { close(); });
    return sheet;
}

// ---- menu bar keys

QAction* installMenuBarKeys(QMenuBar* bar, QWidget* window, std::function<void()> quit)
{
    // The items of every menu get theirs each time it opens.
    ui::giveMenusMnemonics();
    QSet<QChar> taken;
    QMenu* file = nullptr;
    for (QAction* entry : bar->actions()) {
        QMenu* menu = entry->menu();
        if (!menu)
            continue;
        menu->setTitle(ui::withMnemonic(menu->title(), taken));
        if (menu->objectName() == QLatin1String("menu.file"))
            file = menu;
    }

    auto* f10 = new QShortcut(QKeySequence(Qt::Key_F10), window);
    f10->setContext(Qt::WindowShortcut);
    QObject::connect(f10, &QShortcut::activated, bar, [bar] {
        for (QAction* entry : bar->actions())
            if (entry->menu() && entry->isVisible() && entry->isEnabled()) {
                bar->setActiveAction(entry);
                return;
            }
    });

    if (!file)
        return nullptr;
    if (!file->actions().isEmpty() && !file->actions().last()->isSeparator())
        file->addSeparator();
    QAction* quitItem = file->addAction(text("ui.menu.quit", "Quit"));
    quitItem->setObjectName(QStringLiteral("menu.quit"));
    quitItem->setMenuRole(QAction::QuitRole);
    // The desktop's Quit keys; a platform theme that names none still gets Ctrl+Q.
    QList<QKeySequence> keys = QKeySequence::keyBindings(QKeySequence::Quit);
    if (keys.isEmpty())
        keys << QKeySequence(Qt::CTRL | Qt::Key_Q);
    quitItem->setShortcuts(keys);
    // The other windows have no menu bar of their own; the key works in them too.
    quitItem->setShortcutContext(Qt::ApplicationShortcut);
    QObject::connect(quitItem, &QAction::triggered, bar, [quit = std::move(quit)] {
        if (quit)
            quit();
    });
    return quitItem;
}

} // namespace hf
