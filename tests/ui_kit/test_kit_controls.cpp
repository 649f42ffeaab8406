// The segmented choice (selection, the pill and its motion, the column at accessibility sizes,
// identifiers) and the check and radio marks.

#include "helpers_kit.h"
#include "support/test_support.h"

#include "ui_kit/environment.h"
#include "ui_kit/marks.h"
#include "ui_kit/segmented_choice.h"

#include <QAccessible>
#include <QSignalSpy>
#include <QTest>

using namespace hf::ui;
using hf::test::KitHost;

namespace {

SegmentedChoice* threeOptions(const QString& prefix = QStringLiteral("export.format"))
{
    auto* choice = new SegmentedChoice(QStringLiteral("Format"),
                                       {{1, QStringLiteral("AAC")}, {2, QStringLiteral("WAV")}, {3, QStringLiteral("FLAC")}},
                                       prefix);
    choice->setSelection(1);
    return choice;
}

QPointF leftOf(const QAbstractButton* segment)
{
    // Beside the title, inside the pill's straight part.
    return QPointF(segment->x() + 5, segment->y() + segment->height() / 2.0);
}

} // namespace

class KitControls : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { Environment::instance().clearOverrides(); }

    void pillMovesAtOnceUnderReduceMotion()
    {
        Environment::instance().setReduceMotion(true);
        KitHost host;
        auto* choice = host.add(threeOptions());
        host.settle();
        const auto segments = choice->segments();
        QCOMPARE(choice->pillRect(), QRectF(segments[0]->geometry()));
        HF_COMPARE_COLOR(host.pixel(choice, leftOf(segments[0])), color(ColorName::ControlSelected));
        HF_COMPARE_COLOR(host.pixel(choice, leftOf(segments[2])), color(ColorName::ControlFill));

        QSignalSpy changed(choice, &SegmentedChoice::selectionChanged);
        QTest::mouseClick(segments[2], Qt::LeftButton);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(choice->selection(), QVariant(3));
        QVERIFY(!choice->isAnimating());
        QCOMPARE(choice->pillRect(), QRectF(segments[2]->geometry()));
        HF_COMPARE_COLOR(host.pixel(choice, leftOf(segments[2])), color(ColorName::ControlSelected));
        HF_COMPARE_COLOR(host.pixel(choice, leftOf(segments[0])), color(ColorName::ControlFill));
        QVERIFY(segments[2]->isChecked());
        QVERIFY(!segments[0]->isChecked());
        hf::test::saveScreenshot(host.picture(), "kit", "segmented-after-choice");
    }

    void pillSlidesOtherwise()
    {
        KitHost host;
        auto* choice = host.add(threeOptions());
        host.settle();
        const auto segments = choice->segments();
        QTest::mouseClick(segments[2], Qt::LeftButton);
        QVERIFY(choice->isAnimating());
        QVERIFY(choice->pillRect() != QRectF(segments[2]->geometry()));
        QVERIFY(QTest::qWaitFor([&] { return choice->pillRect().left() > segments[0]->x() + 1; }, 1000));
        QVERIFY(QTest::qWaitFor([&] { return !choice->isAnimating(); }, 2000));
        QCOMPARE(choice->pillRect(), QRectF(segments[2]->geometry()));
    }

    void activatingTheSelectedSegmentChangesNothing()
    {
        KitHost host;
        auto* choice = host.add(threeOptions());
        host.settle();
        QSignalSpy activated(choice, &SegmentedChoice::activated);
        QSignalSpy changed(choice, &SegmentedChoice::selectionChanged);
        QTest::mouseClick(choice->segments()[0], Qt::LeftButton);
        QCOMPARE(activated.count(), 1);
        QCOMPARE(activated.first().first(), QVariant(1));
        QCOMPARE(changed.count(), 0);
        QVERIFY(!choice->isAnimating());
        QVERIFY(choice->segments()[0]->isChecked()); // a click does not toggle it off
    }

    void columnAtAccessibilitySizes()
    {
        Environment& env = Environment::instance();
        env.setReduceMotion(true);
        KitHost host(360);
        auto* choice = host.add(new SegmentedChoice(
            QStringLiteral("Quality"),
            {{1, QStringLiteral("AAC")}, {2, QStringLiteral("The same format as the source video, without change")}}));
        choice->setSelection(2);
        host.settle();
        auto segments = choice->segments();
        QVERIFY(!choice->isColumn());
        // A long title wraps: its segment grows past 38, the short one stays centred at 38.
        QVERIFY(segments[1]->height() > 38);
        QCOMPARE(segments[0]->height(), 38);
        QVERIFY(std::abs(segments[0]->geometry().center().y() - segments[1]->geometry().center().y()) <= 1);
        QCOMPARE(choice->pillRect().height(), double(segments[1]->height()));

        env.setTextSize(TextSize::accessibility2);
        host.settle();
        QVERIFY(choice->isColumn());
        QCOMPARE(choice->segments(), segments); // the same segments, rearranged
        QCOMPARE(segments[0]->x(), segments[1]->x());
        QCOMPARE(segments[1]->y() - segments[0]->geometry().bottom() - 1, SegmentedChoice::segmentGap);
        QCOMPARE(choice->selection(), QVariant(2));
        QCOMPARE(choice->pillRect(), QRectF(segments[1]->geometry()));
        hf::test::saveScreenshot(host.picture(), "kit", "segmented-column");

        env.setTextSize(TextSize::large);
        host.settle();
        QVERIFY(!choice->isColumn());
    }

    void identifiersAndAccessibility()
    {
        KitHost host;
        auto* prefixed = host.add(threeOptions(QStringLiteral("export.format")));
        auto* other = host.add(threeOptions(QStringLiteral("batch.format")));
        auto* plain = host.add(threeOptions(QString()));
        host.settle();
        QCOMPARE(prefixed->segments()[1]->objectName(), QStringLiteral("export.format.WAV"));
        QCOMPARE(other->segments()[1]->objectName(), QStringLiteral("batch.format.WAV"));
        QCOMPARE(plain->segments()[1]->objectName(), QString());

        QAccessibleInterface* group = QAccessible::queryAccessibleInterface(prefixed);
        QCOMPARE(group->role(), QAccessible::Grouping);
        QCOMPARE(group->text(QAccessible::Name), QStringLiteral("Format"));
        QCOMPARE(group->childCount(), 3);
        QAccessibleInterface* first = QAccessible::queryAccessibleInterface(prefixed->segments()[0]);
        QCOMPARE(first->role(), QAccessible::RadioButton);   // one choice of a few
        QVERIFY(first->state().checked);
        QVERIFY(!QAccessible::queryAccessibleInterface(prefixed->segments()[1])->state().checked);
        QCOMPARE(first->text(QAccessible::Name), QStringLiteral("AAC"));
    }

    void contrastEdgesOfTrackAndPill()
    {
        Environment& env = Environment::instance();
        KitHost host;
        auto* choice = host.add(threeOptions());
        host.settle();
        const QRectF pill = choice->pillRect();
        const QPointF pillTop(pill.center().x(), pill.top());
        const QPointF trackTop(choice->width() / 2.0 + 40, 0);
        HF_COMPARE_COLOR(host.pixel(choice, pillTop), color(ColorName::ControlSelected));
        HF_COMPARE_COLOR(host.pixel(choice, trackTop), color(ColorName::ControlFill));
        env.setIncreasedContrast(true);
        HF_COMPARE_COLOR(host.pixel(choice, pillTop), color(ColorName::Ink));
        HF_COMPARE_COLOR(host.pixel(choice, trackTop), color(ColorName::ControlStroke));
    }

    void marks()
    {
        KitHost host;
        auto* checkOn = host.add(new CheckMark(true));
        auto* checkOff = host.add(new CheckMark(false));
        auto* checkOffDisabled = host.add(new CheckMark(false));
        checkOffDisabled->setEnabled(false);
        auto* checkOnDisabled = host.add(new CheckMark(true));
        checkOnDisabled->setEnabled(false);
        auto* radioOn = host.add(new RadioMark(true));
        auto* radioOff = host.add(new RadioMark(false));
        auto* radioOffDisabled = host.add(new RadioMark(false));
        radioOffDisabled->setEnabled(false);
        host.settle();
        QCOMPARE(checkOn->size(), QSize(18, 18));
        const QImage picture = host.picture();
        const auto at = [&](QWidget* w, double x, double y) { return picture.pixelColor(w->mapTo(&host, QPoint(x, y))); };

        // On: an "Ink" square with an "InkOnInk" check, enabled or not.
        for (CheckMark* mark : {checkOn, checkOnDisabled}) {
            HF_COMPARE_COLOR(at(mark, 2, 9), color(ColorName::Ink));
            QVERIFY(hf::test::contains(picture, QRect(mark->mapTo(&host, QPoint(4, 4)), QSize(10, 10)),
                                       color(ColorName::InkOnInk)));
        }
        // Off: only an outline, "Muted" when enabled, "ControlStroke" when disabled.
        HF_COMPARE_COLOR(at(checkOff, 0, 9), color(ColorName::Muted));
        HF_COMPARE_COLOR(at(checkOff, 9, 9), color(ColorName::Paper));
        HF_COMPARE_COLOR(at(checkOffDisabled, 0, 9), color(ColorName::ControlStroke));
        // Radio on: a ring 0.3 × 18 wide around an open centre.
        HF_COMPARE_COLOR(at(radioOn, 4, 9), color(ColorName::Ink));
        HF_COMPARE_COLOR(at(radioOn, 9, 9), color(ColorName::Paper));
        HF_COMPARE_COLOR(at(radioOff, 0, 9), color(ColorName::Muted));
        HF_COMPARE_COLOR(at(radioOff, 4, 9), color(ColorName::Paper));
        HF_COMPARE_COLOR(at(radioOffDisabled, 0, 9), color(ColorName::ControlStroke));

        QVERIFY(QAccessible::queryAccessibleInterface(checkOn)->state().invisible);
        QVERIFY(QAccessible::queryAccessibleInterface(radioOn)->state().invisible);

        Environment::instance().setTextSize(TextSize::accessibility5);
        host.settle();
        QVERIFY(checkOn->width() > 50);
        QCOMPARE(checkOn->width(), radioOn->width());
    }
};

QTEST_MAIN(KitControls)
#include "test_kit_controls.moc"
