// The main window's menu bar by the desktop's habits: a mnemonic on every menu title, none taken
// twice, F10 opening the first menu, and File > Quit (Ctrl+Q) closing every window of the
// application, from whichever window has the focus.

#include "helpers_app.h"

#include "app/hushframe_app.h"
#include "app/main_window_parts.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QSet>
#include <QTest>

using namespace hf;

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
