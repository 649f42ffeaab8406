// The sidebar from the keyboard and for screen readers: recent and queue rows take the focus with
// Tab and draw it, open their menus with the Menu key and Shift+F10, and every row is one element
// with its role, name, value and state.

#include "helpers_sidebar.h"

#include "sidebar/sidebar_rows.h"
#include "sidebar/video_sidebar.h"
#include "support/test_support.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QTest>

using namespace hf;
using namespace hf::test;

namespace {

// The sidebar's window, active, as the keys need it.
struct Window : SidebarWindow {
    explicit Window(SidebarRig& rig) : SidebarWindow(rig, 700) { QApplication::setActiveWindow(&host); }
};

QMenu* openMenu()
{
    QMenu* shown = nullptr;
    QTest::qWaitFor([&] {
        shown = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        return shown != nullptr;
    }, 2000);
    return shown;
}

void closeMenu(QMenu* menu)
{
    menu->close();
    QTest::qWaitFor([] { return QApplication::activePopupWidget() == nullptr; }, 2000);
}

} // namespace

class SidebarKeys : public QObject {
    Q_OBJECT

private slots:
    void rowsTakeTheFocusShowItAndOpenTheirMenus()
    {
        SidebarRig rig;
        Window window(rig);
        QVERIFY(rig.rig.openAndPreview(rig.rig.video("beach.mp4", 90)));
        QVERIFY(rig.rig.openFullResult(rig.rig.video("Holiday.mov", 600)));
        QVERIFY(rig.makeMixedQueue());
        QVERIFY(QTest::qWaitForWindowActive(&window.host));
        VideoSidebar& sidebar = *window.sidebar;
        QCOMPARE(sidebar.recentRows().size(), size_t(1));
        QVERIFY(sidebar.queueRows().size() >= 4);

        // Tab reaches the recent row and then every queue row, each drawing the focus.
        QList<QWidget*> rows{sidebar.recentRows()[0]};
        for (QueueRow* row : sidebar.queueRows())
            rows << row;
        window.host.setFocus();
        for (int i = 0; i < 10 && QApplication::focusWidget() != rows.first(); ++i)
            QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &window.host, Qt::Key_Tab);
        for (QWidget* row : rows) {
            QCOMPARE(QApplication::focusWidget(), row);
            const QImage focused = row->grab().toImage();
            row->clearFocus();
            const QImage unfocused = row->grab().toImage();
            QVERIFY2(focused != unfocused, qPrintable(row->accessibleName()));
            row->setFocus(Qt::TabFocusReason);
            QTest::keyClick(row, Qt::Key_Tab);
        }
        saveScreenshot(window.host.grab().toImage(), QStringLiteral("sidebar"), QStringLiteral("queue-row-focused"));

        // The Menu key and Shift+F10 open the focused row's menu, its first item active; only one
        // menu opens however the key arrives.
        QueueRow* completed = sidebar.queueRows()[0];
        QVERIFY(completed->job().status.isCompleted());
        completed->setFocus(Qt::TabFocusReason);
        QTest::keyClick(completed, Qt::Key_Menu);
        QMenu* menu = openMenu();
        QVERIFY(menu);
        QCOMPARE(menuTexts(menu), (QStringList{"Copy File", "Show in Folder", "Remove"}));
        QCOMPARE(menu->activeAction(), menu->actions().first());
        saveScreenshot(window.host.grab().toImage(), QStringLiteral("sidebar"), QStringLiteral("queue-row-menu-key"));
        QContextMenuEvent again(QContextMenuEvent::Keyboard, QPoint(4, 4), completed->mapToGlobal(QPoint(4, 4)));
        QApplication::sendEvent(completed, &again);
        QCOMPARE(QApplication::activePopupWidget(), menu);
        // Down to "Show in Folder" and Return, all from the keyboard.
        QTest::keyClick(menu, Qt::Key_Down);
        QTest::keyClick(menu, Qt::Key_Return);
        QVERIFY(QTest::qWaitFor([&] { return rig.revealed.size() == 1; }, 2000));

        RecentVideoRow* recent = sidebar.recentRows()[0];
        recent->setFocus(Qt::TabFocusReason);
        QTest::keyClick(recent, Qt::Key_F10, Qt::ShiftModifier);
        menu = openMenu();
        QVERIFY(menu);
        QCOMPARE(menuTexts(menu), QStringList{"Remove"});
        closeMenu(menu);
        // F10 alone is not the menu key.
        QTest::keyClick(recent, Qt::Key_F10);
        QVERIFY(!QApplication::activePopupWidget());
    }

    // What a key presses goes away and the keyboard stays with what took its place, never leaving
    // for another part of the window or another video: Start hands it to Stop, a reopened recent
    // video's row to the open video's row.
    void theKeyboardStaysWithWhatTheKeyPressed()
    {
        SidebarRig rig;
        Window window(rig);
        const QUrl beach = rig.rig.video("beach.mp4", 90);
        QVERIFY(rig.rig.openAndPreview(beach));
        QVERIFY(rig.rig.openAndPreview(rig.rig.video("Holiday.mov", 600)));
        rig.queueEngine.gate = makeGate();
        rig.queue->enqueue({rig.queueVideo("harbour.mov", 75)});
        QVERIFY(waitFor([&] { return rig.queue->jobs().size() == 1 && rig.queue->jobs()[0].duration > 0; }));
        QVERIFY(QTest::qWaitForWindowActive(&window.host));
        VideoSidebar& sidebar = *window.sidebar;
        const struct {
            const char* pressed;
            QWidget* from;
            std::function<QWidget*()> to;
        } rows[] = {
            {"Start", sidebar.footer()->startButton(), [&] { return sidebar.footer()->stopButton(); }},
            {"a recent video", sidebar.recentRows().front(), [&] {
                 return rig.coordinator().source() && rig.coordinator().source()->url == beach ? sidebar.openRow() : nullptr;
             }},
        };
        for (const auto& row : rows) {
            row.from->setFocus(Qt::TabFocusReason);
            QTest::keyClick(row.from, Qt::Key_Space);
            QVERIFY2(QTest::qWaitFor([&] { return row.to() && QApplication::focusWidget() == row.to(); }, 5000),
                     qPrintable(QString::fromLatin1(row.pressed) + QStringLiteral(": focus on ")
                                + (QApplication::focusWidget() ? QApplication::focusWidget()->accessibleName() : QString())));
        }
        rig.release();
    }

    void rowsAreOneElementEachWithRoleValueAndState()
    {
        SidebarRig rig;
        Window window(rig);
        QVERIFY(rig.rig.openAndPreview(rig.rig.video("beach.mp4", 90)));
        QVERIFY(rig.rig.openFullResult(rig.rig.video("Holiday.mov", 600)));
        QVERIFY(rig.makeMixedQueue());
        VideoSidebar& sidebar = *window.sidebar;

        QAccessibleInterface* open = QAccessible::queryAccessibleInterface(sidebar.openRow());
        QCOMPARE(open->role(), QAccessible::ListItem);
        QCOMPARE(open->text(QAccessible::Name), QStringLiteral("Holiday, 10:00, cleaned"));
        QCOMPARE(open->text(QAccessible::Value), QStringLiteral("10:00, cleaned"));
        QVERIFY(open->state().selected);
        QCOMPARE(open->childCount(), 0);

        QAccessibleInterface* recent = QAccessible::queryAccessibleInterface(sidebar.recentRows()[0]);
        QCOMPARE(recent->role(), QAccessible::ListItem);
        QCOMPARE(recent->text(QAccessible::Name), QStringLiteral("beach, 1:30"));
        QCOMPARE(recent->text(QAccessible::Value), QStringLiteral("1:30"));
        QCOMPARE(recent->text(QAccessible::Description), QStringLiteral("Opens this video"));
        QVERIFY(recent->state().focusable && !recent->state().selected);
        QCOMPARE(recent->childCount(), 0);
        QVERIFY(recent->actionInterface()->actionNames().contains(QAccessibleActionInterface::pressAction()));

        for (QueueRow* row : sidebar.queueRows()) {
            QAccessibleInterface* job = QAccessible::queryAccessibleInterface(row);
            QCOMPARE(job->role(), QAccessible::ListItem);
            QCOMPARE(job->text(QAccessible::Name), spokenVideoName(row->job().sourceVideoURL.fileName()) + QStringLiteral(", ")
                                                       + queueJobStatusText(row->job()));
            QCOMPARE(job->text(QAccessible::Value), queueJobStatusText(row->job()));
            QVERIFY(job->state().focusable);
            QCOMPARE(job->childCount(), 0);
        }
    }
};

QTEST_MAIN(SidebarKeys)
#include "test_sidebar_keys.moc"
