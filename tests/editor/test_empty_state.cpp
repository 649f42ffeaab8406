// The empty state: the grain bitmap, the headline while items are dragged, the file importer
// entry, the opening row, the column's height rules and the stacked lanes at the accessibility
// sizes. Screenshots go to screenshots/editor/.

#include "editor/empty_state_view.h"
#include "editor/lanes_view.h"
#include "helpers_coordinator.h"

#include "support/test_support.h"
#include "ui_kit/buttons.h"
#include "ui_kit/environment.h"

#include <QAccessible>
#include <QLabel>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

using namespace hf;

class TestEmptyState : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { ui::Environment::instance().setTextSize(ui::TextSize::large); }
    void cleanupTestCase() { ui::Environment::instance().clearOverrides(); }

    void grainIsTheSameOnEveryRun()
    {
        const QImage& grain = grainImage();
        QCOMPARE(grain.size(), QSize(128, 128));
        QCOMPARE(grain.format(), QImage::Format_RGBA8888_Premultiplied);
        QList<int> first;
        for (int x = 0; x < 8; ++x)
            first << grain.constScanLine(0)[4 * x];
        QCOMPARE(first, QList<int>({0, 148, 0, 0, 160, 198, 72, 204}));
        int lit = 0;
        for (int y = 0; y < 128; ++y)
            for (int x = 0; x < 128; ++x) {
                const uchar* pixel = grain.constScanLine(y) + 4 * x;
                QVERIFY(pixel[0] == pixel[1] && pixel[1] == pixel[2] && pixel[2] == pixel[3]);
                lit += pixel[0] != 0;
            }
        QCOMPARE(lit, 6847);
    }

    void invitationAndImport()
    {
        test::CoordinatorRig rig;
        EmptyStateView view(rig.coordinator.get());
        view.resize(1000, 760);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QCOMPARE(view.headline()->text(), QString("Drop a video anywhere here."));
        // Assistive technologies announce the headline as a heading named by its sentence.
        QAccessibleInterface* heading = QAccessible::queryAccessibleInterface(view.headline());
        QCOMPARE(heading->role(), QAccessible::Heading);
        QCOMPARE(heading->text(QAccessible::Name), QString("Drop a video anywhere here."));
        test::saveScreenshot(view.grab().toImage(), "editor", "empty-regular");

        // Any count, 0 and 1 included, is the release sentence, in the count's plural form.
        for (int count : {0, 1, 3}) {
            view.setDropCount(count);
            QCOMPARE(view.headline()->text(), QString(count == 1 ? "Release to add %1 video" : "Release to add %1 videos").arg(count));
        }
        test::saveScreenshot(view.grab().toImage(), "editor", "empty-dragging");
        view.setDropCount(std::nullopt);
        QCOMPARE(view.headline()->text(), QString("Drop a video anywhere here."));

        // Choose Video opens the file importer for the editor, once.
        rig.coordinator->setImportTarget(ImportTarget::queue);
        QSignalSpy presented(rig.coordinator.get(), &EngineCoordinator::isFileImporterPresentedChanged);
        QSignalSpy target(rig.coordinator.get(), &EngineCoordinator::importTargetChanged);
        QTest::mouseClick(view.chooseButton(), Qt::LeftButton);
        QVERIFY(rig.coordinator->isFileImporterPresented());
        QCOMPARE(rig.coordinator->importTarget(), ImportTarget::editor);
        QTest::mouseClick(view.chooseButton(), Qt::LeftButton);
        QCOMPARE(presented.size(), 1);
        QCOMPARE(target.size(), 1);

        // While a picked file opens, the opening row stands in for the button and the hint.
        rig.coordinator->setImporting(true);
        QVERIFY(view.openingRow()->isVisible());
        QVERIFY(!view.chooseRow()->isVisible());
        test::saveScreenshot(view.grab().toImage(), "editor", "empty-opening");
        rig.coordinator->setImporting(false);
        QVERIFY(!view.openingRow()->isVisible());
        QVERIFY(view.chooseButton()->isVisible());
    }

    void fillsOrScrolls()
    {
        test::CoordinatorRig rig;
        EmptyStateView view(rig.coordinator.get());
        view.resize(1000, 900);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));

        // Taller than the content: the lanes end 24 px above the bottom; nothing scrolls.
        QTRY_COMPARE(view.lanes()->mapTo(&view, QPoint(0, view.lanes()->height())).y() + 24, view.height());
        QCOMPARE(view.scrollArea()->verticalScrollBar()->maximum(), 0);
        QVERIFY(view.headline()->mapTo(&view, QPoint()).y() <= 0.2 * view.height());
        QVERIFY(view.headline()->mapTo(&view, QPoint()).y() >= 40);
        QVERIFY(!view.lanes()->isSeparated());

        // Shorter: the column scrolls.
        view.resize(1000, 300);
        QTRY_VERIFY(view.scrollArea()->verticalScrollBar()->maximum() > 0);
    }

    void accessibilitySizes()
    {
        test::CoordinatorRig rig;
        EmptyStateView view(rig.coordinator.get());
        view.resize(1000, 900);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        const int regularLeft = view.lanes()->mapTo(&view, QPoint()).x();
        QCOMPARE(view.lanes()->laneLayout(), LaneLayout::regular);

        ui::Environment::instance().setTextSize(ui::TextSize::accessibility2);
        QCOMPARE(view.lanes()->laneLayout(), LaneLayout::stacked);
        QTRY_COMPARE(view.lanes()->mapTo(&view, QPoint()).x(), regularLeft + 20);
        test::saveScreenshot(view.grab().toImage(), "editor", "empty-accessibility");
        ui::Environment::instance().setTextSize(ui::TextSize::large);
        QCOMPARE(view.lanes()->laneLayout(), LaneLayout::regular);
    }
};

QTEST_MAIN(TestEmptyState)
#include "test_empty_state.moc"
