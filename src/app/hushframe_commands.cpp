#include "app/hushframe_commands.h"

#include "app/app_services.h"
#include "backend/account_store.h"
#include "player/audio_player_service.h"
#include "coordinator/engine_coordinator.h"
#include "editor/compare_key.h"
#include "pipeline/stem.h"
#include "platform/texts.h"
#include "ui_kit/buttons.h"
#include "ui_kit/menu_mnemonics.h"
#include "ui_kit/palette.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>

namespace hf {

namespace {

// Writes a flag only when it changes, so observers hear only of real changes.
template<class T, class Setter>
void setIfDifferent(const T& current, const T& wanted, Setter set)
{
    if (current != wanted)
        set(wanted);
}

bool isBareKey(const QKeyEvent& event)
{
    return !(event.modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
}

// Whether the editor's compare key is listening in `window`: it then takes backslash itself.
bool compareKeyListens(QWidget* window)
{
    if (!window)
        return false;
    const auto monitors = window->findChildren<CompareKeyMonitor*>();
    for (CompareKeyMonitor* monitor : monitors) {
        auto* view = qobject_cast<QWidget*>(monitor->parent());
        if (monitor->isEnabled() && view && view->isVisible())
            return true;
    }
    return false;
}

} // namespace

HushframeCommands::HushframeCommands(EngineCoordinator& coordinator, AudioPlayerService& player,
                                     AccountStore& account, QObject* parent)
    : QObject(parent), m_coordinator(&coordinator), m_player(&player), m_accountStore(&account)
{
    // ---- File
    m_file = new QMenu(text("ui.menu.file", "File"));
    m_file->setObjectName(QStringLiteral("menu.file"));
    QAction* openVideo = add(m_file, QStringLiteral("openVideo"), text("ui.menu.openVideo", "Open Video..."));
    openVideo->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    connect(openVideo, &QAction::triggered, this, [this] {
        if (m_coordinator)
            m_coordinator->presentFileImporter();
    });
    m_openRecent = m_file->addMenu(text("ui.menu.openRecent", "Open Recent"));
    m_openRecent->setObjectName(QStringLiteral("menu.openRecent"));
    QAction* addToBatch = add(m_file, QStringLiteral("addToBatch"),
                              text("ui.menu.addToBatch", "Add Videos to Batch..."));
    addToBatch->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
    connect(addToBatch, &QAction::triggered, this, [this] {
        if (!m_coordinator)
            return;
        EngineCoordinator& c = *m_coordinator;
        setIfDifferent(c.importTarget(), ImportTarget::queue, [&](ImportTarget t) { c.setImportTarget(t); });
        setIfDifferent(c.isFileImporterPresented(), true, [&](bool v) { c.setFileImporterPresented(v); });
    });
    m_file->addSeparator();
    QAction* cleanFull = add(m_file, QStringLiteral("cleanFull"), text("ui.menu.cleanFull", "Clean Full Video"));
    cleanFull->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)});
    connect(cleanFull, &QAction::triggered, this, [this] {
        if (m_coordinator)
            m_coordinator->cleanFullVideo();
    });
    QAction* exportItem = add(m_file, QStringLiteral("export"), text("ui.menu.export", "Export..."));
    exportItem->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
    connect(exportItem, &QAction::triggered, this, [this] {
        if (m_coordinator && !m_coordinator->showExportSheet())
            m_coordinator->setShowExportSheet(true);
    });
    QAction* closeVideo = add(m_file, QStringLiteral("closeVideo"), text("ui.menu.closeVideo", "Close Video"));
    closeVideo->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_W));
    connect(closeVideo, &QAction::triggered, this, [this] {
        if (m_coordinator)
            m_coordinator->clearSource();
    });

    // ---- Playback
    m_playback = new QMenu(text("ui.menu.playback", "Playback"));
    m_playback->setObjectName(QStringLiteral("menu.playback"));
    QAction* playPause = add(m_playback, QStringLiteral("playPause"), QString());
    playPause->setShortcut(QKeySequence(Qt::Key_Space));
    connect(playPause, &QAction::triggered, this, [this] {
        if (m_player)
            m_player->togglePlayback();
    });
    QAction* compare = add(m_playback, QStringLiteral("compare"), QString());
    compare->setShortcut(QKeySequence(Qt::Key_Backslash));
    // A toggle: a held key toggles once, not with every repeat.
    compare->setAutoRepeat(false);
    connect(compare, &QAction::triggered, this, [this] {
        if (m_player)
            m_player->setComparing(!m_player->isComparing());
    });
    m_playback->addSeparator();
    auto selectTrack = [this](AuditionTrackMode mode) {
        if (!m_player)
            return;
        if (m_player->selectedTrackMode() != mode)
            m_player->setSelectedTrackMode(mode);
        m_player->applyVolumes();
    };
    QAction* trackClean = add(m_playback, QStringLiteral("trackClean"), text("ui.track.clean", "Clean"));
    trackClean->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_1));
    connect(trackClean, &QAction::triggered, this, [selectTrack] { selectTrack(AuditionTrackMode::hushframed); });
    QAction* trackOriginal = add(m_playback, QStringLiteral("trackOriginal"), text("ui.track.original", "Original"));
    trackOriginal->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_2));
    connect(trackOriginal, &QAction::triggered, this, [selectTrack] { selectTrack(AuditionTrackMode::original); });
    m_playback->addSeparator();
    const QStringList soloNames{QStringLiteral("soloDialogue"), QStringLiteral("soloMusic"),
                                QStringLiteral("soloEffects")};
    for (int i = 0; i < int(allStems.size()); ++i) {
        const Stem stem = allStems[size_t(i)];
        QAction* solo = add(m_playback, soloNames[i],
                            text("ui.lane.soloAction", "Solo %@", {ui::stemDisplayName(stem)}));
        solo->setShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key(Qt::Key_1 + i)));
        connect(solo, &QAction::triggered, this, [this, stem] {
            if (m_player)
                m_player->toggleSolo(stem);
        });
    }
    m_playback->addSeparator();
    QAction* beginning = add(m_playback, QStringLiteral("goToBeginning"),
                             text("ui.menu.goToBeginning", "Go to Beginning"));
    beginning->setShortcut(QKeySequence(Qt::Key_Home));
    connect(beginning, &QAction::triggered, this, &HushframeCommands::goToBeginning);
    QAction* back = add(m_playback, QStringLiteral("back5"), text("ui.menu.back5", "Back 5 Seconds"));
    back->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Left));
    connect(back, &QAction::triggered, this, [this] {
        if (m_player)
            m_player->seek(m_player->currentTime() - 5);
    });
    QAction* forward = add(m_playback, QStringLiteral("forward5"), text("ui.menu.forward5", "Forward 5 Seconds"));
    forward->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Right));
    connect(forward, &QAction::triggered, this, [this] {
        if (m_player)
            m_player->seek(m_player->currentTime() + 5);
    });
    QAction* loop = add(m_playback, QStringLiteral("loop"), QString());
    loop->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    connect(loop, &QAction::triggered, this, [this] {
        if (m_player)
            m_player->setLooping(!m_player->isLooping());
    });

    // ---- Account
    m_account = new QMenu(text("ui.menu.account", "Account"));
    m_account->setObjectName(QStringLiteral("menu.account"));
    QAction* signIn = add(m_account, QStringLiteral("signIn"), text("ui.menu.signIn", "Sign In..."));
    connect(signIn, &QAction::triggered, this, [this] {
        if (m_accountStore)
            m_accountStore->presentSignIn(SignInReason::sync);
    });

    for (auto signal : {&EngineCoordinator::sourceChanged, &EngineCoordinator::isProcessingChanged,
                        &EngineCoordinator::isPromotingChanged, &EngineCoordinator::currentResultChanged})
        connect(&coordinator, signal, this, [this] {
            updateFile();
            updatePlayback();
        });
    for (auto signal : {&AudioPlayerService::isPlayingChanged, &AudioPlayerService::isComparingChanged,
                        &AudioPlayerService::isLoopingChanged})
        connect(&player, signal, this, &HushframeCommands::updatePlayback);
    connect(&account, &AccountStore::isSignedInChanged, this, &HushframeCommands::updateAccount);
    connect(&coordinator.recents(), &RecentVideos::entriesChanged, this, &HushframeCommands::rebuildOpenRecent);
    updateFile();
    updatePlayback();
    updateAccount();
    rebuildOpenRecent();

    qApp->installEventFilter(this);
}

HushframeCommands::~HushframeCommands()
{
    qApp->removeEventFilter(this);
    delete m_file;
    delete m_playback;
    delete m_account;
}

QMenuBar* HushframeCommands::menuBarOf(QWidget* window)
{
    auto* bar = window->findChild<QMenuBar*>(QString(), Qt::FindDirectChildrenOnly);
    if (!bar) {
        bar = new QMenuBar(window);
        bar->setObjectName(QStringLiteral("menuBar"));
        // Drawn in the window's own bar (when the desktop shows no global menu), which is dark
        // like the rest of the main window.
        QPalette palette = bar->palette();
        const auto dark = [](ui::ColorName name) { return ui::color(name, ui::Appearance::dark); };
        palette.setColor(QPalette::Window, dark(ui::ColorName::Surface));
        palette.setColor(QPalette::Button, dark(ui::ColorName::Surface));
        palette.setColor(QPalette::WindowText, dark(ui::ColorName::Ink));
        palette.setColor(QPalette::ButtonText, dark(ui::ColorName::Ink));
        palette.setColor(QPalette::Highlight, dark(ui::ColorName::ControlSelected));
        palette.setColor(QPalette::HighlightedText, dark(ui::ColorName::Ink));
        bar->setPalette(palette);
        bar->setAutoFillBackground(true);
        if (window->layout())
            window->layout()->setMenuBar(bar);
    }
    return bar;
}

HushframeCommands* HushframeCommands::install(AppServices& services, QWidget* window)
{
    auto* commands = new HushframeCommands(services.coordinator(), services.player(), services.account(), window);
    commands->addTo(menuBarOf(window));
    return commands;
}

void HushframeCommands::addTo(QMenuBar* bar)
{
    const QList<QAction*> existing = bar->actions();
    QAction* before = existing.isEmpty() ? nullptr : existing.first();
    for (QMenu* menu : {m_file, m_playback, m_account})
        bar->insertMenu(before, menu);
}

QAction* HushframeCommands::action(const QString& name) const
{
    return m_actions.value(name);
}

QAction* HushframeCommands::add(QMenu* menu, const QString& name, const QString& title)
{
    QAction* action = menu->addAction(title);
    action->setObjectName(QStringLiteral("menu.") + name);
    m_actions.insert(name, action);
    return action;
}

void HushframeCommands::updateFile()
{
    if (!m_coordinator)
        return;
    const EngineCoordinator& c = *m_coordinator;
    const bool open = c.source().has_value();
    m_actions[QStringLiteral("cleanFull")]->setEnabled(open && !c.isProcessing() && !c.isPromoting()
                                                       && !c.hasFullResult());
    m_actions[QStringLiteral("export")]->setEnabled(c.hasFullResult());
    m_actions[QStringLiteral("closeVideo")]->setEnabled(open);
}

void HushframeCommands::updatePlayback()
{
    if (!m_coordinator || !m_player)
        return;
    const bool hasResult = m_coordinator->currentResult().has_value();
    for (QAction* action : m_playback->actions())
        if (!action->isSeparator())
            action->setEnabled(hasResult);
    const AudioPlayerService& player = *m_player;
    m_actions[QStringLiteral("playPause")]->setText(player.isPlaying() ? text("ui.player.pause", "Pause")
                                                                       : text("ui.player.play", "Play"));
    m_actions[QStringLiteral("compare")]->setText(
        player.isComparing() ? text("ui.menu.stopCompare", "Stop Comparing with Original")
                             : text("ui.menu.holdCompare", "Hold to Compare with Original"));
    m_actions[QStringLiteral("loop")]->setText(player.isLooping() ? text("ui.menu.stopLooping", "Stop Looping")
                                                                  : text("ui.player.loop", "Loop"));
}

void HushframeCommands::updateAccount()
{
    if (!m_accountStore)
        return;
    m_actions[QStringLiteral("signIn")]->setVisible(!m_accountStore->isSignedIn());
    // Signed in, the menu holds nothing: its title is greyed rather than opening an empty box.
    m_account->menuAction()->setEnabled(!m_accountStore->isSignedIn());
}

void HushframeCommands::rebuildOpenRecent()
{
    if (!m_coordinator)
        return;
    m_openRecent->clear();
    const std::vector<RecentVideos::Entry> entries = m_coordinator->recents().entries();
    QPointer<EngineCoordinator> coordinator = m_coordinator;
    for (const RecentVideos::Entry& entry : entries) {
        // A file name is shown as it is: an "&" in it is no mnemonic.
        QAction* item = m_openRecent->addAction(ui::withoutMnemonics(entry.displayName));
        connect(item, &QAction::triggered, this, [coordinator, entry] {
            if (!coordinator)
                return;
            auto reopen = [coordinator, entry] {
                if (coordinator)
                    coordinator->openRecent(entry);
            };
            if (!coordinator->askBeforeReplacing(reopen))
                reopen();
        });
    }
    if (!entries.empty())
        m_openRecent->addSeparator();
    QAction* clear = m_openRecent->addAction(text("ui.menu.clearRecents", "Clear Menu"));
    clear->setObjectName(QStringLiteral("menu.clearRecents"));
    clear->setEnabled(!entries.empty());
    connect(clear, &QAction::triggered, this, [coordinator] {
        if (coordinator)
            coordinator->recents().removeAll();
    });
    m_actions.insert(QStringLiteral("clearRecents"), clear);
}

void HushframeCommands::goToBeginning()
{
    if (!m_player)
        return;
    m_player->goToBeginning();
}

bool HushframeCommands::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::ShortcutOverride)
        return false;
    auto* key = static_cast<QKeyEvent*>(event);
    if (!isBareKey(*key))
        return false;
    // A text field keeps the keys of the items without a modifier.
    const bool menuKey = key->key() == Qt::Key_Space || key->key() == Qt::Key_Home
        || key->key() == Qt::Key_Backslash || CompareKeyMonitor::isCompareKey(*key);
    // So does a focused control that takes Space (a button presses, a list selects).
    const bool spaceTaken = key->key() == Qt::Key_Space && ui::focusTakesSpace(QApplication::focusWidget());
    if (menuKey && (CompareKeyMonitor::textHasFocus() || spaceTaken)) {
        event->accept();
        return true;
    }
    // The editor's compare key holds the original while backslash is down; the menu item's
    // toggle would fight it.
    if (CompareKeyMonitor::isCompareKey(*key)) {
        QWidget* window = watched->isWidgetType() ? static_cast<QWidget*>(watched)->window()
                                                  : QApplication::activeWindow();
        if (compareKeyListens(window)) {
            event->accept();
            return true;
        }
    }
    return false;
}

} // namespace hf
