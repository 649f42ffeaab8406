#include "app/help_commands.h"

#include "app/app_updater.h"
#include "platform/texts.h"

#include <QAction>
#include <QMenu>
#include <QKeySequence>
#include <QMenuBar>

namespace hf {

QMenu* helpMenu(QMenuBar* bar)
{
    const QString name = QStringLiteral("menu.help");
    if (auto* existing = bar->findChild<QMenu*>(name, Qt::FindDirectChildrenOnly))
        return existing;
    QMenu* menu = bar->addMenu(text("ui.menu.help", "Help"));
    menu->setObjectName(name);
    return menu;
}

void installHelpCommands(QMenu* menu, const HelpMenuActions& actions)
{
    QAction* topics = menu->addAction(text("ui.help.menu.topics", "Browse Help Topics"));
    topics->setObjectName(QStringLiteral("menu.help.topics"));
    QObject::connect(topics, &QAction::triggered, menu, [open = actions.openHelp] {
        if (open)
            open();
    });
    if (actions.openFeedback) {
        QAction* feedback = menu->addAction(text("ui.help.menu.sendFeedback", "Send Feedback..."));
        feedback->setObjectName(QStringLiteral("menu.help.sendFeedback"));
        QObject::connect(feedback, &QAction::triggered, menu, [open = actions.openFeedback] { open(); });
    }
}

QAction* installCheckForUpdatesCommand(QMenu* menu, AppUpdater* updater)
{
    QAction* check = menu->addAction(text("ui.menu.checkForUpdates", "Check for Updates...", TextTable::Direct));
    check->setObjectName(QStringLiteral("menu.checkForUpdates"));
    check->setMenuRole(QAction::ApplicationSpecificRole);
    check->setEnabled(updater && updater->canCheckForUpdates());
    if (updater) {
        QObject::connect(updater, &AppUpdater::canCheckForUpdatesChanged, check, &QAction::setEnabled);
        QObject::connect(check, &QAction::triggered, updater, &AppUpdater::checkForUpdates);
    }
    return check;
}

QMenu* installHelpMenu(QMenuBar* bar, const HelpMenuActions& actions, AppUpdater* updater)
{
    QMenu* menu = helpMenu(bar);
    installHelpCommands(menu, actions);
    menu->addSeparator();
    installCheckForUpdatesCommand(menu, updater);
    return menu;
}

QAction* installSettingsCommand(QMenuBar* bar, std::function<void()> openSettings)
{
    QMenu* menu = nullptr;
    for (QAction* entry : bar->actions())
        if (entry->menu() && entry->menu()->objectName() == QLatin1String("menu.file"))
            menu = entry->menu();
    if (!menu)
        menu = helpMenu(bar);
    if (!menu->actions().isEmpty() && !menu->actions().last()->isSeparator())
        menu->addSeparator();
    QAction* settings = menu->addAction(text("ui.menu.settings", "Settings..."));
    settings->setObjectName(QStringLiteral("menu.settings"));
    settings->setMenuRole(QAction::PreferencesRole);
    // Ctrl+, everywhere, and the desktop's own Preferences keys where it names others.
    QList<QKeySequence> keys{QKeySequence(Qt::CTRL | Qt::Key_Comma)};
    for (const QKeySequence& key : QKeySequence::keyBindings(QKeySequence::Preferences))
        if (!keys.contains(key))
            keys << key;
    settings->setShortcuts(keys);
    QObject::connect(settings, &QAction::triggered, menu, [open = std::move(openSettings)] {
        if (open)
            open();
    });
    return settings;
}

} // namespace hf
