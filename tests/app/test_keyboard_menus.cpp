// The main window's menu bar by the desktop's habits: a mnemonic on every menu title and on every
// item of every menu, none taken twice in one menu, an item chosen by its letter, F10 opening the
// first menu, and File > Quit (Ctrl+Q) closing every window of the application, from whichever
// window has the focus.

#include "helpers_app.h"

#include "app/hushframe_app.h"
#include "app/main_window_parts.h"
#include "coordinator/engine_coordinator.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QSet>
#include <QTest>

using namespace hf;

namespace {

// A menu title as the menu shows it: a lone "&" marks the next letter, "&&" is one "&".
QString shown(const QString& title)
{
    QString text;
    for (qsizetype i = 0; i < title.size(); ++i) {
        if (title.at(i) == u'&' && i + 1 < title.size())
            ++i;
        text += title.at(i);
    }
    return text;
}

} // namespace

class TestKeyboardMenus : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void mnemonicsAreUniqueAndKeepTheTitles()
    {
        QWidget window;
        QMenuBar bar(&window);
        for (const char* title : {"File", "Playback", "Account", "&Help", "Fine print"}) {
            auto* menu = bar.addMenu(QString::fromLatin1(title));
            if (QByteArray(title) == "File")
                menu->setObjectName(QStringLiteral("menu.file"));
        }
        QAction* quit = installMenuBarKeys(&bar, &window, [] {});
        QStringList titles;
        QSet<QChar> letters;
        for (QAction* entry : bar.actions()) {
            titles << entry->menu()->title();
            const int amp = entry->menu()->title().indexOf(u'&');
            QVERIFY(amp >= 0);
            letters.insert(entry->menu()->title().at(amp + 1).toLower());
        }
        // A title that has its own mnemonic keeps it; the next free letter is taken otherwise.
        QCOMPARE(titles, (QStringList{"&File", "&Playback", "&Account", "&Help", "F&ine print"}));
        QCOMPARE(letters.size(), 5);
        QVERIFY(quit);
        // Ctrl+Q whatever keys the platform theme names for Quit.
        QCOMPARE(quit->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
        QCOMPARE(quit->shortcutContext(), Qt::ApplicationShortcut);
    }

    // Each menu, opened: every item has an underlined letter of its title, none twice; a file
    // name's own "&" stays a character. In File, the letter of "Open Video..." opens the chooser.
    void everyMenuItemHasItsOwnLetter()
    {
        QTemporaryDir home;
        auto services = test::makeServices(home);
        services->coordinator().recents().noteOpened(
            SourceVideo{QUrl::fromLocalFile(home.filePath(QStringLiteral("Tom & Jerry.mp4"))), "Tom & Jerry.mp4", 20, false});
        test::ScriptedFilePicker picker;
        HushframeApp app(*services, &picker);
        QWidget* main = app.openWindow(QStringLiteral("main"));
        QVERIFY(QTest::qWaitForWindowExposed(main));
        for (const char* menu : {"menu.openRecent", "menu.playback", "menu.account", "menu.help", "menu.file"}) {
            // A menu-bar menu may have no parent: look among every widget.
            QMenu* found = nullptr;
            for (QWidget* widget : QApplication::allWidgets())
                found = widget->objectName() == QLatin1String(menu) ? qobject_cast<QMenu*>(widget) : found;
            QVERIFY2(found, menu);
            found->popup(main->mapToGlobal(QPoint(20, 20)));
            QVERIFY(QTest::qWaitForWindowExposed(found));
            QSet<QChar> letters;
            for (QAction* action : found->actions()) {
                if (action->isSeparator() || !action->isVisible())
                    continue;
                const QKeySequence mnemonic = QKeySequence::mnemonic(action->text());
                const QChar letter = mnemonic.isEmpty() ? QChar() : QChar(mnemonic[0].key()).toLower();
                QVERIFY2(!letter.isNull() && !letters.contains(letter)
                             && shown(action->text()).contains(letter, Qt::CaseInsensitive),
                         qPrintable(QString::fromLatin1(menu) + u' ' + action->text()));
                letters.insert(letter);
            }
            QVERIFY2(!letters.isEmpty(), menu);
            if (QLatin1String(menu) == QLatin1String("menu.openRecent"))
                QCOMPARE(shown(found->actions().first()->text()), QStringLiteral("Tom & Jerry.mp4"));
            if (QLatin1String(menu) == QLatin1String("menu.file")) {
                QAction* open = found->findChild<QAction*>(QStringLiteral("menu.openVideo"));
                QVERIFY(open);
                QTest::keyClick(found, QChar(QKeySequence::mnemonic(open->text())[0].key()).toLower().toLatin1());
                QVERIFY(QTest::qWaitFor([&] { return picker.requests == 1; }, 2000));
            }
            found->close();
        }
    }

    void f10OpensTheFirstMenuAndQuitClosesEveryWindow()
    {
        QTemporaryDir home;
        auto services = test::makeServices(home);
        HushframeApp app(*services);
        QWidget* main = app.openWindow(QStringLiteral("main"));
        QWidget* settings = app.openWindow(QStringLiteral("settings"));
        QVERIFY(QTest::qWaitForWindowExposed(main) && QTest::qWaitForWindowExposed(settings));
        auto* bar = main->findChild<QMenuBar*>();
        QVERIFY(bar);

        // The File menu ends with Quit, after Settings.
        QMenu* file = bar->actions().first()->menu();
        QCOMPARE(file->objectName(), QStringLiteral("menu.file"));
        QCOMPARE(file->actions().last()->objectName(), QStringLiteral("menu.quit"));
        QCOMPARE(file->actions().last()->text(), QStringLiteral("Quit"));

        main->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(main));
        QTest::keyClick(main, Qt::Key_F10);
        QVERIFY(QTest::qWaitFor([&] { return QApplication::activePopupWidget() == file; }, 2000));
        file->close();
        QVERIFY(QTest::qWaitFor([] { return QApplication::activePopupWidget() == nullptr; }, 2000));

        // Ctrl+Q in the settings window (it has no menu bar) closes it and the main window.
        QPointer<QWidget> mainAlive = main;
        QPointer<QWidget> settingsAlive = settings;
        settings->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(settings));
        QTest::keyClick(settings, Qt::Key_Q, Qt::ControlModifier);
        QVERIFY(QTest::qWaitFor([&] {
            return (!mainAlive || !mainAlive->isVisible()) && (!settingsAlive || !settingsAlive->isVisible());
        }, 2000));
    }
};

QTEST_MAIN(TestKeyboardMenus)
#include "test_keyboard_menus.moc"
