// The video sidebar on a scripted coordinator and batch queue: which sections show and what they
// say, the marks and thumbnails by their pixels, the rows' context menus, and the question asked
// before a recent video replaces an unexported full clean.

#include "helpers_sidebar.h"

#include "pipeline/formatting.h"
#include "sidebar/replace_confirmation.h"
#include "sidebar/sidebar_rows.h"
#include "sidebar/status_mark.h"
#include "sidebar/video_sidebar.h"
#include "support/layout_audit.h"
#include "support/test_support.h"
#include "ui_kit/buttons.h"
#include "ui_kit/environment.h"
#include "ui_kit/palette.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QRegularExpression>
#include <QTest>

#include <cmath>
#include <numbers>

using namespace hf;
using namespace hf::test;

namespace {

QColor ink()
{
    return ui::color(ui::ColorName::Ink);
}

// The mark drawn alone, large enough to probe: a 44 x 44 frame.
QImage markImage(const StatusMarkState& state)
{
    return drawn(QSize(44, 44), [&](QPainter& p) { StatusMark::paint(p, QRectF(0, 0, 44, 44), state); });
}

// The colour at `angle` (degrees clockwise from the top) on the circle of the ring.
QColor ringAt(const QImage& image, double angleDegrees)
{
    const double radius = (StatusMark::ringSide - 2.5) / 2;
    const double a = angleDegrees * std::numbers::pi / 180;
    const QPointF centre(22, 22);
    return image.pixelColor(QPointF(centre.x() + radius * std::sin(a), centre.y() - radius * std::cos(a)).toPoint());
}

using Window = SidebarWindow;

} // namespace

class TestSidebar : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // The main window is always dark.
        ui::Environment::applyToApplication(*qApp);
        ui::Environment::instance().setAppearance(ui::Appearance::dark);
    }

    void cleanup() { ui::Environment::instance().setTextSize(ui::TextSize::large); }

    void statusMarkPrecedence()
    {
        const double s = StatusMark::symbolSide();
        // Inside the symbol's circle, above the check and the exclamation mark.
        const QPoint inside(22, int(22 - s * 0.35));
        // Whether the outline crosses the middle row left of the centre.
        auto outlineOnTheLeft = [](const QImage& image) {
            for (int x = 0; x < 18; ++x)
                if (near(image.pixelColor(x, 22), ink(), 60))
                    return true;
            return false;
        };

        const QImage both = markImage({.progress = 0.5, .done = true, .failed = true, .waiting = true});
        QVERIFY(near(both.pixelColor(inside), ink()));
        QCOMPARE(both, markImage({.done = true}));

        const QImage failed = markImage({.progress = 0.5, .failed = true, .waiting = true});
        QCOMPARE(failed.pixelColor(inside).alpha(), 0);
        QVERIFY(outlineOnTheLeft(failed));
        QVERIFY(!outlineOnTheLeft(markImage({.progress = 0.3})));
        QCOMPARE(failed, markImage({.failed = true}));

        // The ring starts at the top and runs clockwise; at 0 it still shows a twentieth.
        const QColor track = ui::color(ui::ColorName::ControlSelected);
        const QImage half = markImage({.progress = 0.5, .waiting = true});
        QVERIFY(near(ringAt(half, 90), ink()));
        QVERIFY(near(ringAt(half, 270), track));
        QCOMPARE(half, markImage({.progress = 0.5}));
        const QImage zero = markImage({.progress = 0.0});
        QVERIFY(near(ringAt(zero, 9), ink()));
        QVERIFY(near(ringAt(zero, 90), track));
        QCOMPARE(zero, markImage({.progress = 0.03}));

        // Waiting alone: a dashed outline, parts drawn and parts left out.
        const QImage waiting = markImage({.waiting = true});
        int drawnSamples = 0;
        int gaps = 0;
        for (int angle = 0; angle < 360; angle += 3)
            (ringAt(waiting, angle).alpha() > 120 ? drawnSamples : gaps) += 1;
        QVERIFY2(drawnSamples > 20 && gaps > 20, qPrintable(QStringLiteral("%1/%2").arg(drawnSamples).arg(gaps)));

        // Nothing: an empty space that still takes its width.
        const QImage nothing = markImage({});
        QCOMPARE(nothing, drawn(QSize(44, 44), [](QPainter&) {}));
        QCOMPARE(StatusMark().sizeHint().width(), StatusMark::width);
    }

    void thumbnailFitsWholeOnThePictureColour()
    {
        const QColor picture = ui::color(ui::ColorName::Picture);
        QImage tall(20, 40, QImage::Format_RGB32);
        tall.fill(Qt::red);
        const QImage withImage = drawn(Thumb::size, [&](QPainter& p) { Thumb::paint(p, QRectF(0, 0, 56, 32), tall); });
        QVERIFY(near(withImage.pixelColor(28, 1), Qt::red));    // the whole height is used
        QVERIFY(near(withImage.pixelColor(28, 30), Qt::red));
        QVERIFY(near(withImage.pixelColor(6, 16), picture));    // beside it, the placeholder colour
        QVERIFY(near(withImage.pixelColor(50, 16), picture));
        QCOMPARE(withImage.pixelColor(0, 0).alpha(), 0);        // rounded corners

        const QImage empty = drawn(Thumb::size, [&](QPainter& p) { Thumb::paint(p, QRectF(0, 0, 56, 32), QImage()); });
        QVERIFY(near(empty.pixelColor(28, 16), picture));
    }

    void sectionsFollowTheOpenVideoAndTheRecentOnes()
    {
        SidebarRig rig;
        Window window(rig);
        VideoSidebar& sidebar = *window.sidebar;

        // Nothing open, nothing remembered, nothing queued.
        QCOMPARE(sidebar.sectionTitles(), QStringList{"Batch queue"});
        QVERIFY(sidebar.queueEmptyText() && sidebar.queueEmptyText()->isVisible());
        QVERIFY(!sidebar.openRow());
        window.shoot(QStringLiteral("empty"));

        const QUrl beach = rig.rig.video("beach.mp4", 90);
        const QUrl holiday = rig.rig.video("Holiday in the mountains with the whole family.mov", 7200);
        QVERIFY(rig.rig.openAndPreview(beach));
        QCOMPARE(sidebar.sectionTitles(), (QStringList{"Open", "Batch queue"}));
        QCOMPARE(sidebar.openRow()->name(), QStringLiteral("beach.mp4"));
        QCOMPARE(sidebar.openRow()->subtitle(), QStringLiteral("1:30, preview ready"));
        QCOMPARE(sidebar.openRow()->accessibleName(), QStringLiteral("beach"));
        QCOMPARE(sidebar.openRow()->mark()->state(), StatusMarkState{});

        QVERIFY(rig.rig.openFullResult(holiday));
        QCOMPARE(sidebar.sectionTitles(), (QStringList{"Open", "Recent videos", "Batch queue"}));
        QCOMPARE(sidebar.openRow()->subtitle(), QStringLiteral("2:00:00, cleaned"));
        QCOMPARE(sidebar.openRow()->mark()->state(), StatusMarkState{.done = true});
        // The open video is listed only under "Open".
        QCOMPARE(sidebar.recentRows().size(), size_t(1));
        const RecentVideoRow* recent = sidebar.recentRows()[0];
        QCOMPARE(recent->entry().displayName, QStringLiteral("beach.mp4"));
        QCOMPARE(recent->content()->subtitle(), QStringLiteral("1:30"));
        QCOMPARE(recent->accessibleName(), QStringLiteral("beach"));
        QCOMPARE(recent->whatsThis(), QStringLiteral("Opens this video"));
        window.shoot(QStringLiteral("open-and-recents"));

        // While a clean runs, the subtitle says so whatever results there are.
        rig.coordinator().setProgress(ProcessingProgress{ProcessingStage::Kind::separating, 0.427, {}});
        rig.coordinator().setProcessing(true);
        QCOMPARE(sidebar.openRow()->subtitle(), QStringLiteral("2:00:00, working, 42%"));
        QCOMPARE(sidebar.openRow()->mark()->state(), (StatusMarkState{.progress = 0.427, .done = true}));
        rig.coordinator().setProcessing(false);

        // Closed, the video goes back among the recent ones, with its stored result.
        rig.coordinator().clearSource();
        QCOMPARE(sidebar.sectionTitles(), (QStringList{"Recent videos", "Batch queue"}));
        QCOMPARE(sidebar.recentRows().size(), size_t(2));
        QCOMPARE(sidebar.recentRows()[0]->content()->subtitle(), QStringLiteral("2:00:00, cleaned"));

        // "Remove" takes a recent video off the list without asking, says so, and the focus goes
        // to the row now nearest; with no row left, to the footer's first control.
        window.host.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window.host));
        for (const char* removed : {"beach", "Holiday in the mountains with the whole family"}) {
            sidebar.recentRows().back()->setFocus();
            QMenu* menu = sidebar.recentRows().back()->contextMenu();
            QCOMPARE(menuTexts(menu), QStringList{"Remove"});
            menu->actions().first()->trigger();
            auto* note = window.host.findChild<QWidget*>(QStringLiteral("hf.announcement"));
            QCOMPARE(note->isVisible() ? note->accessibleName() : QString(), QString("\u201c%1\u201d removed from Recent videos").arg(removed));
            QWidget* focus = QApplication::focusWidget();
            QVERIFY(sidebar.recentRows().empty() ? sidebar.footer()->isAncestorOf(focus) && focus->isVisible()
                                                 : focus == sidebar.recentRows().back());
        }
        QCOMPARE(rig.rig.recents->entries().size(), size_t(0));
    }

    void queueRowsInEveryState()
    {
        SidebarRig rig;
        Window window(rig);
        VideoSidebar& sidebar = *window.sidebar;
        QVERIFY(rig.makeMixedQueue());

        QCOMPARE(sidebar.sectionTitles(), QStringList{"Queue, 5 videos"});
        QVERIFY(!sidebar.queueEmptyText());
        const std::vector<QueueRow*>& rows = sidebar.queueRows();
        QCOMPARE(rows.size(), size_t(5));
        QStringList subtitles;
        for (const QueueRow* row : rows)
            subtitles << row->subtitle();
        QCOMPARE(subtitles[0], QStringLiteral("0:20, cleaned"));
        QCOMPARE(subtitles[1], QStringLiteral("1:15, cleaned"));
        // A failed job says why on its row, its tooltip and, once, to a screen reader.
        QCOMPARE(subtitles[2], QStringLiteral("0:20, failed: The service could not separate this file."));
        QCOMPARE(rows[2]->toolTip(), QStringLiteral("The service could not separate this file."));
        QCOMPARE(QAccessible::queryAccessibleInterface(rows[2])->text(QAccessible::Name),
                 QStringLiteral("storm, ") + subtitles[2]);
        QVERIFY(QAccessible::queryAccessibleInterface(rows[2])->text(QAccessible::Description).isEmpty());
        QVERIFY(rows[0]->toolTip().isEmpty());
        QVERIFY2(QRegularExpression(QStringLiteral("^1:02:05, uploading audio, \\d+%$")).match(subtitles[3]).hasMatch(),
                 qPrintable(subtitles[3]));
        QCOMPARE(subtitles[4], QStringLiteral("waiting"));   // no length known
        QCOMPARE(rows[2]->accessibleName(), QStringLiteral("storm"));

        // The marks, by precedence: every job is "waiting", the other states win over it.
        QCOMPARE(rows[0]->mark()->state(), (StatusMarkState{.done = true, .waiting = true}));
        QCOMPARE(rows[2]->mark()->state(), (StatusMarkState{.failed = true, .waiting = true}));
        QVERIFY(rows[3]->mark()->state().progress.has_value());
        QCOMPARE(rows[4]->mark()->state(), StatusMarkState{.waiting = true});
        // Progress redraws the rows in place: a click or a menu on a row is never cut short.
        QueueRow* workingRow = rows[3];
        QVERIFY(rig.queueEngine.lastProgress);
        const double uploaded = workingRow->mark()->state().progress.value_or(1);
        rig.queueEngine.lastProgress(ProcessingProgress{ProcessingStage::Kind::separating, 0.6, {}});
        QCOMPARE(sidebar.queueRows()[3], workingRow);
        // The row says the number its ring draws.
        QCOMPARE(workingRow->subtitle(),
                 QStringLiteral("1:02:05, separating, ") + percentText(workingRow->mark()->state().progress.value_or(-1)));
        QVERIFY(workingRow->mark()->state().progress > uploaded);
        // The thumbnails came from the shared cache.
        QVERIFY(QTest::qWaitFor([&] { return !sidebar.queueRows()[0]->thumb()->image().isNull(); }));
        window.shoot(QStringLiteral("queue"));

        // Context menus: a finished video can be copied, shown and removed; others only removed,
        // and not while being worked on.
        QMenu* done = sidebar.queueRows()[0]->contextMenu();
        QCOMPARE(menuTexts(done), (QStringList{"Copy File", "Show in Folder", "Remove"}));
        const QString output = sidebar.queueRows()[0]->job().status.videoURL().toLocalFile();
        menuItem(done, "Show in Folder")->trigger();
        QCOMPARE(rig.revealed, QStringList{output});
        menuItem(done, "Copy File")->trigger();
        const QMimeData* copied = QApplication::clipboard()->mimeData();
        QVERIFY(copied);
        QCOMPARE(copied->urls(), QList<QUrl>{QUrl::fromLocalFile(output)});
        QCOMPARE(copied->data("x-special/gnome-copied-files"), "copy\n" + QUrl::fromLocalFile(output).toEncoded());

        QMenu* working = sidebar.queueRows()[3]->contextMenu();
        QCOMPARE(menuTexts(working), QStringList{"Remove"});
        QVERIFY(!working->actions().first()->isEnabled());
        QCOMPARE(menuTexts(sidebar.queueRows()[4]->contextMenu()), QStringList{"Remove"});
        QMenu* failed = sidebar.queueRows()[2]->contextMenu();
        QVERIFY(failed->actions().first()->isEnabled());
        failed->actions().first()->trigger();
        QCOMPARE(sidebar.sectionTitles(), QStringList{"Queue, 4 videos"});
        // Said as a removed recent video is.
        auto* note = window.host.findChild<QWidget*>(QStringLiteral("hf.announcement"));
        QVERIFY(note && note->isVisible());
        QCOMPARE(note->accessibleName(), QStringLiteral("\u201cstorm\u201d removed from the queue"));
        QCOMPARE(sidebar.queueRows()[2]->job().sourceVideoURL.fileName(),
                 QStringLiteral("interview with the harbour master.mp4"));
        rig.release();
    }

    void recentVideoAsksBeforeReplacingAnUnexportedFullClean()
    {
        SidebarRig rig;
        Window window(rig);
        const QUrl beach = rig.rig.video("beach.mp4");
        const QUrl holiday = rig.rig.video("Holiday.mov");
        const QUrl storm = rig.rig.video("storm.mp4");
        QVERIFY(rig.rig.openAndPreview(beach));
        QVERIFY(rig.rig.openAndPreview(storm));
        QVERIFY(rig.rig.openFullResult(holiday));
        rig.coordinator().setShowExportSheet(false);
        auto recentNamed = [&](const QString& name) -> RecentVideoRow* {
            for (RecentVideoRow* row : window.sidebar->recentRows())
                if (row->entry().displayName == name)
                    return row;
            return nullptr;
        };
        auto openName = [&] { return rig.coordinator().source() ? rig.coordinator().source()->displayName : QString(); };

        // Asked: nothing opens until the question is answered.
        QTest::mouseClick(recentNamed("beach.mp4"), Qt::LeftButton);
        QVERIFY(rig.coordinator().pendingReplacement());
        QVERIFY(window.confirmation->isPresented());
        QCOMPARE(window.confirmation->title(), QStringLiteral("Replace the current video?"));
        QCOMPARE(window.confirmation->message(), QStringLiteral("The cleaned result for Holiday.mov hasn't been exported."));
        window.shoot(QStringLiteral("replace-confirmation"));
        // It covers the window as the window grows, the card staying centred.
        window.host.resize(500, 700);
        QApplication::processEvents();
        QCOMPARE(window.confirmation->geometry(), window.host.rect());
        QCOMPARE(window.confirmation->card()->geometry().center().x(), window.host.rect().center().x());
        window.host.resize(300, 640);
        QApplication::processEvents();

        // Cancel keeps everything; Escape is the same answer.
        QTest::mouseClick(window.confirmation->cancelButton(), Qt::LeftButton);
        QVERIFY(!rig.coordinator().pendingReplacement());
        QVERIFY(!window.confirmation->isPresented());
        QCOMPARE(openName(), QStringLiteral("Holiday.mov"));
        recentNamed("beach.mp4")->open();
        QVERIFY(window.confirmation->isPresented());
        QTest::keyClick(window.confirmation->focusWidget(), Qt::Key_Escape);
        QVERIFY(!rig.coordinator().pendingReplacement());
        QVERIFY(!window.confirmation->isPresented());

        // Export First: the export is asked for and the chosen video never opens.
        recentNamed("beach.mp4")->open();
        QTest::mouseClick(window.confirmation->exportFirstButton(), Qt::LeftButton);
        QVERIFY(!window.confirmation->isPresented());
        QVERIFY(!rig.coordinator().pendingReplacement());
        QVERIFY(rig.coordinator().showExportSheet());
        QTest::qWait(500);
        QCOMPARE(openName(), QStringLiteral("Holiday.mov"));

        // Replace: the question closes at once, the open video stays a moment, then the chosen one opens.
        rig.coordinator().setShowExportSheet(false);
        recentNamed("storm.mp4")->open();
        QElapsedTimer clock;
        clock.start();
        QTest::mouseClick(window.confirmation->replaceButton(), Qt::LeftButton);
        QVERIFY(!window.confirmation->isPresented());
        QCOMPARE(openName(), QStringLiteral("Holiday.mov"));
        QVERIFY(QTest::qWaitFor([&] { return openName() == QStringLiteral("storm.mp4"); }));
        QVERIFY(clock.elapsed() >= 300);

        // Neither a preview nor an exported full clean asks.
        recentNamed("beach.mp4")->open();
        QVERIFY(!rig.coordinator().pendingReplacement());
        QVERIFY(QTest::qWaitFor([&] { return openName() == QStringLiteral("beach.mp4"); }));
        QVERIFY(rig.rig.openFullResult(holiday));
        rig.coordinator().noteExported();
        recentNamed("storm.mp4")->open();
        QVERIFY(!rig.coordinator().pendingReplacement());
        QVERIFY(QTest::qWaitFor([&] { return openName() == QStringLiteral("storm.mp4"); }));
    }

    void rowsAtTheLargestTextSize()
    {
        SidebarRig rig;
        ui::Environment::instance().setTextSize(ui::TextSize::accessibility3);
        Window window(rig);
        QVERIFY(rig.rig.openAndPreview(rig.rig.video("beach.mp4", 90)));
        QVERIFY(rig.makeMixedQueue());
        // The texts wrap rather than being cut; the list scrolls to make room.
        QVERIFY(QTest::qWaitFor([&] {
            for (const QueueRow* row : window.sidebar->queueRows())
                if (!row->isVisible() || row->height() < row->heightForWidth(row->width()))
                    return false;
            return true;
        }));
        window.shoot(QStringLiteral("largest-text"));

        // At the very largest size, in the sidebar's least width, every name reads whole: the
        // thumbnail stands above the texts and the names wrap instead of being shortened.
        ui::Environment::instance().setTextSize(ui::TextSize::accessibility5);
        window.host.resize(230, 640);
        QVERIFY(QTest::qWaitFor([&] { return window.sidebar->width() == 230; }));
        window.shoot(QStringLiteral("largest-text-least"));
        const auto faults = test::auditLayout(&window.host);
        QVERIFY2(faults.isEmpty(), qPrintable(test::describe(faults)));
        rig.release();
    }
};

QTEST_MAIN(TestSidebar)
#include "test_sidebar.moc"
