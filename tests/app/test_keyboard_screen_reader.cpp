// What a screen reader is told by the controls that show several labels: each label once, with
// the role, value and state the control has. Legend rows, the export option rows (radio choices
// and a check box), song headings, the processing bar, the "Checking for songs..." announcement and
// the feedback form's thank-you mark, read through Qt's accessibility interfaces.

#include "helpers_coordinator.h"

#include "Tellu/tellu_controls.h"
#include "coordinator/engine_coordinator.h"
#include "editor/copyright_check_card_view.h"
#include "editor/inspector_view.h"
#include "editor/option_row.h"
#include "editor/processing_block.h"

#include <QAccessible>
#include <QTest>

using namespace hf;

namespace {

QAccessibleInterface* accessible(QObject* object)
{
    return QAccessible::queryAccessibleInterface(object);
}

// Every name and value readable below `root` (invisible elements skipped), depth first.
QStringList spoken(QAccessibleInterface* root)
{
    QStringList texts;
    if (!root || root->state().invisible)
        return texts;
    for (const QString& text : {root->text(QAccessible::Name), root->text(QAccessible::Value)})
        if (!text.isEmpty())
            texts << text;
    for (int i = 0; i < root->childCount(); ++i)
        texts << spoken(root->child(i));
    return texts;
}

// The events sent to assistive technologies while a test runs.
struct Announcements {
    static inline QList<std::pair<QObject*, QAccessible::Event>> seen;
    Announcements()
    {
        seen.clear();
        QAccessible::installUpdateHandler([](QAccessibleEvent* event) {
            seen.append({event->object(), event->type()});
        });
    }
    ~Announcements() { QAccessible::installUpdateHandler(nullptr); }
};

} // namespace

class TestScreenReader : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void legendRowsAndOptionRowsSayEachLabelOnce()
    {
        QWidget host;
        auto* legend = new LegendRow(Stem::music, &host);
        legend->setValue(QStringLiteral("Removed"));
        auto* source = new OptionRow(OptionRow::Kind::radio, QStringLiteral("Same as source"),
                                     QStringLiteral("Picture copied as is, soundtrack replaced"), &host);
        auto* stems = new OptionRow(OptionRow::Kind::check, QStringLiteral("Also save stems as FLAC"),
                                    QStringLiteral("Dialogue, music, and effects and ambience"), &host);
        source->setOn(true);
        host.show();

        QAccessibleInterface* row = accessible(legend);
        QCOMPARE(row->role(), QAccessible::StaticText);
        QCOMPARE(row->text(QAccessible::Name), QStringLiteral("Music"));
        QCOMPARE(row->text(QAccessible::Value), QStringLiteral("Removed"));
        QCOMPARE(spoken(row), (QStringList{"Music", "Removed"}));
        legend->setValue(QStringLiteral("Separating"));
        QCOMPARE(row->text(QAccessible::Value), QStringLiteral("Separating"));

        QAccessibleInterface* radio = accessible(source);
        QCOMPARE(radio->role(), QAccessible::RadioButton);
        QCOMPARE(spoken(radio), (QStringList{"Same as source", "Picture copied as is, soundtrack replaced"}));
        QVERIFY(radio->state().checked && radio->state().selected);
        source->setOn(false);
        QVERIFY(!radio->state().checked && !radio->state().selected);

        QAccessibleInterface* check = accessible(stems);
        QCOMPARE(check->role(), QAccessible::CheckBox);
        QCOMPARE(check->childCount(), 0);
        QVERIFY(check->state().checkable && !check->state().checked);
    }

    void processingBlockSaysItsTitleOnceOnItsBar()
    {
        test::CoordinatorRig rig;
        ProcessingBlock block(rig.coordinator.get());
        rig.coordinator->setProgress(ProcessingProgress{ProcessingStage::Kind::separating, 0.42, {}});
        rig.coordinator->setProcessing(true);
        block.show();
        const QString title = block.title();
        QAccessibleInterface* bar = accessible(block.bar());
        QCOMPARE(bar->text(QAccessible::Name), title);
        QCOMPARE(bar->valueInterface()->currentValue().toInt(), 42);
        // The block's own name aside, the title is read once, on the bar, and the percent not as text.
        QStringList texts = spoken(accessible(&block));
        texts.removeFirst();
        QCOMPARE(texts.count(title), 1);
        QVERIFY(!texts.contains(QStringLiteral("42%")));
    }

    void processingBarIsAProgressBarWithAValue()
    {
        ProcessingBar bar;
        bar.setAccessibleName(QStringLiteral("Cleaning the full video"));
        bar.setFraction(0.42);
        QAccessibleInterface* a = accessible(&bar);
        QCOMPARE(a->role(), QAccessible::ProgressBar);
        QVERIFY(a->valueInterface());
        QCOMPARE(a->valueInterface()->currentValue().toInt(), 42);
        QCOMPARE(a->valueInterface()->maximumValue().toInt(), 100);
        bar.setFraction(1.0);
        QCOMPARE(a->valueInterface()->currentValue().toInt(), 100);
    }

    void songCardSaysHeadingsOnceAndAnnouncesCheckingOnItsText()
    {
        test::CoordinatorRig rig;
        EngineCoordinator& coordinator = *rig.coordinator;
        QWidget host;
        auto* card = new CopyrightCheckCardView(&coordinator, rig.player.get(), &host);
        host.resize(300, 800);
        host.show();
        QVERIFY(rig.openFullResult(rig.video(QStringLiteral("Shore.mp4"))));

        Announcements announcements;
        QAccessible::setActive(true);
        coordinator.setRequestingSongCheck(true);
        QWidget* checking = card->findChild<QWidget*>(QStringLiteral("copyrightCheck.checking"));
        QVERIFY(checking);
        QAccessibleInterface* row = accessible(checking);
        QCOMPARE(row->text(QAccessible::Name), QStringLiteral("Checking for songs\u2026"));
        QCOMPARE(spoken(row), QStringList{"Checking for songs\u2026"});
        bool raisedOnTheText = false;
        for (const auto& [object, type] : Announcements::seen)
            if (type == QAccessible::Alert) {
                QCOMPARE(object, static_cast<QObject*>(checking));
                raisedOnTheText = true;
            }
        // Events reach tests only while the platform's accessibility bridge is on (a screen
        // reader listening); without one, the element the announcement names is checked above.
        QVERIFY(raisedOnTheText || !QAccessible::isActive());
        coordinator.setRequestingSongCheck(false);

        ClaimCheck check;
        check.status = ClaimCheckStatus::match;
        check.songs = std::vector<ClaimCheckSong>{ClaimCheckSong{QStringLiteral("Harbour Lights"), QStringLiteral("The Quay"),
                                                                 {}, {}, {}, ClaimCheckVerdict::gone}};
        coordinator.modifyCurrentResult([&](SeparationResult& r) { r.claimCheck = check; });
        QWidget* heading = nullptr;
        for (QWidget* widget : card->findChildren<QWidget*>())
            if (widget->accessibleName().startsWith(QLatin1String("Harbour Lights")))
                heading = widget;
        QVERIFY(heading);
        QAccessibleInterface* a = accessible(heading);
        QCOMPARE(a->role(), QAccessible::StaticText);
        QCOMPARE(spoken(a), QStringList{"Harbour Lights, The Quay, Not detected after cleaning"});
        QAccessible::setActive(false);
    }

    void thankYouMarkDoesNotRepeatTheThanks()
    {
        TelluSuccessView success(std::nullopt, [] {});
        success.show();
        QStringList texts = spoken(accessible(&success));
        QCOMPARE(texts.count(QStringLiteral("Thank you for your feedback!")), 1);
        auto* mark = success.findChild<TelluCheckMark*>();
        QVERIFY(mark);
        QVERIFY(accessible(mark)->state().invisible);
    }
};

QTEST_MAIN(TestScreenReader)
#include "test_keyboard_screen_reader.moc"
