// What a screen reader is told by the controls that show several labels: each label once, with
// the role, value and state the control has. Legend rows, the export option rows (radio choices
// and a check box), song headings, the processing bar, the "Checking for songs..." announcement and
// the feedback form's thank-you mark, read through Qt's accessibility interfaces; then control by
// control, where the focus is found, and the changes sent to the bus. The bus carries no value text: `spoken` reads what it
// carries (name and description).

#include "helpers_coordinator.h"

#include "Tellu/tellu_controls.h"
#include "Tellu/tellu_view.h"
#include "app/file_picker.h"
#include "app/help_view.h"
#include "app/shell_controls.h"
#include "coordinator/engine_coordinator.h"
#include "editor/copyright_check_card_view.h"
#include "editor/exporter.h"
#include "editor/export_options.h"
#include "editor/inspector_view.h"
#include "editor/lanes_view.h"
#include "editor/option_row.h"
#include "editor/processing_block.h"
#include "editor/transport_bar.h"
#include "sidebar/queue_footer.h"
#include "sidebar/sidebar_rows.h"
#include "ui_kit/accessibility.h"
#include "ui_kit/sections.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QMenu>
#include <QPointer>
#include <QRegularExpression>
#include <QTest>
#include <QVBoxLayout>

#include <functional>

using namespace hf;

namespace {

QAccessibleInterface* accessible(QObject* object)
{
    return QAccessible::queryAccessibleInterface(object);
}

// Every name and description readable below `root` (invisible elements skipped), depth first.
QStringList spoken(QAccessibleInterface* root)
{
    QStringList texts;
    if (!root || root->state().invisible)
        return texts;
    for (const QString& text : {root->text(QAccessible::Name), root->text(QAccessible::Description)})
        if (!text.isEmpty())
            texts << text;
    for (int i = 0; i < root->childCount(); ++i)
        texts << spoken(root->child(i));
    return texts;
}

// The deepest element below `root` that says it has the keyboard focus: where a screen reader
// finds the focus.
QAccessibleInterface* focusedElement(QAccessibleInterface* root)
{
    for (int i = 0; i < root->childCount(); ++i)
        if (QAccessibleInterface* inner = focusedElement(root->child(i)))
            return inner;
    return root->state().focused ? root : nullptr;
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

// The states a screen reader announces, as words.
QString statesOf(QAccessibleInterface* a)
{
    const QAccessible::State s = a->state();
    QStringList words;
    for (const auto& [on, word] : {std::pair{bool(s.focusable), "focusable"}, std::pair{bool(s.checked), "checked"},
                                   std::pair{bool(s.selectable), "selectable"}, std::pair{bool(s.selected), "selected"},
                                   std::pair{bool(s.invisible), "invisible"}})
        if (on)
            words << QString::fromLatin1(word);
    return words.join(u' ');
}

// One of each control that says something of its own, as the application shows them.
struct Controls {
    test::CoordinatorRig rig;
    QWidget host;
    QVBoxLayout* column = new QVBoxLayout(&host);
    template <typename W>
    W* add(W* widget)
    {
        column->addWidget(widget);
        return widget;
    }
    LaneSoloButton* solo = add(new LaneSoloButton(Stem::music, nullptr));
    QWidget* beginning = add(new GoToBeginningButton(nullptr));
    QWidget* zoomIn = add(new ZoomButton(true));
    SegmentedPicker* listen = add(new SegmentedPicker({QStringLiteral("Clean"), QStringLiteral("Original")}));
    QWidget* options = add(new ExportOptionsView(rig.coordinator.get(), rig.defaults.get()));
    ProcessingBlock* block = add(new ProcessingBlock(rig.coordinator.get()));
    LanesView* lanes = add(new LanesView);
    ui::FrameSection* section = add(new ui::FrameSection(QStringLiteral("Account")));
    QWidget* recent = add(new RecentVideoRow(rig.coordinator.get(), [] {
        RecentVideos::Entry entry;
        entry.id = QUuid::createUuid();
        entry.displayName = QStringLiteral("Harbour.mp4");
        entry.duration = 62;
        entry.lastOpened = QDateTime::currentDateTime();
        return entry;
    }()));
    QWidget* queued = add(new QueueRow(nullptr, BatchJob{QUuid::createUuid(), QUrl::fromLocalFile(QStringLiteral("/tmp/Pier.mp4")),
                                                         75, BatchJobStatus(), QDateTime::currentDateTime()},
                                       QImage(), {}));
    TelluConfig feedbackConfig{QUrl(QStringLiteral("http://127.0.0.1:1/feedback")), QStringLiteral("Hushframe"), true,
                               std::nullopt, QStringLiteral("token")};
    QWidget* feedback = add(new TelluView(feedbackConfig));

    Controls()
    {
        solo->setChecked(true);
        listen->setAccessibleName(QStringLiteral("Listen to"));
        lanes->setAllowsSolo(true);
        lanes->setTimeline(LaneTimeline{0, 30, 60, 60, 60});
        lanes->setPlayhead(10);
        section->addRow(new QLabel(QStringLiteral("Signed out")));
        rig.coordinator->setProgress(ProcessingProgress{ProcessingStage::Kind::separating, 0.42, {}});
        rig.coordinator->setProcessing(true);
        host.show();
    }
    QAccessibleInterface* named(QWidget* root, const char* name)
    {
        return accessible(root->findChild<QWidget*>(QLatin1String(name)));
    }
    QAccessibleInterface* categoryLabel()
    {
        for (auto* label : feedback->findChildren<QLabel*>())
            if (label->text() == QLatin1String("Category"))
                return accessible(label);
        return nullptr;
    }
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
        QCOMPARE(row->text(QAccessible::Name), QStringLiteral("Music, Removed"));
        QCOMPARE(row->text(QAccessible::Value), QStringLiteral("Removed"));
        QCOMPARE(spoken(row), (QStringList{"Music, Removed"}));
        legend->setValue(QStringLiteral("Separating"));
        QCOMPARE(row->text(QAccessible::Name), QStringLiteral("Music, Separating"));

        QAccessibleInterface* radio = accessible(source);
        QCOMPARE(radio->role(), QAccessible::RadioButton);
        QCOMPARE(spoken(radio), (QStringList{"Same as source, Picture copied as is, soundtrack replaced"}));
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
        // The title is read once, on the bar, and the percent not as text.
        QStringList texts = spoken(accessible(&block));
        QCOMPARE(texts.count(title), 1);
        QVERIFY(!texts.contains(QStringLiteral("42%")));
    }

    // A row's menu opened from the keyboard is in the tree, under the application as every
    // window is, and its first item has the focus; closed, it is gone.
    void rowMenusAreInTheTreeWithTheFocus()
    {
        Controls c;
        c.host.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&c.host));
        const auto inTree = [](QObject* menu) {
            QAccessibleInterface* root = accessible(qApp);
            const int index = root->indexOfChild(accessible(menu));
            return index >= 0 && root->child(index)->object() == menu && accessible(menu)->parent() == root;
        };
        Announcements announcements;
        QAccessible::setActive(true);
        for (QWidget* row : {c.recent, c.queued}) {
            row->setFocus();
            QTest::keyClick(row, Qt::Key_Menu);
            QPointer<QMenu> menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            QVERIFY(menu && inTree(menu));
            // Named after its row's video.
            QCOMPARE(accessible(menu)->text(QAccessible::Name), row->accessibleName());
            // Events go out only with a screen reader listening (the _bus variant).
            QVERIFY(!QAccessible::isActive() || std::ranges::any_of(Announcements::seen, [&](const auto& seen) {
                return seen.first == menu && seen.second == QAccessible::Focus;
            }));
            QTest::keyClick(menu, Qt::Key_Escape);
            QVERIFY(QTest::qWaitFor([&] { return !menu || !inTree(menu); }, 2000));
        }
        QAccessible::setActive(false);
    }

    // Every list, tree and table of the file dialogs (Open Video, Add Videos, folder chooser, Save
    // As) and of the combo boxes' pop-ups, asked as the accessibility bus asks for rows and columns
    // before, at and past its counts: each answer is a cell whose span can be read, one not there
    // outside the view, the one asked for inside.
    void everyViewAnswersRowsAndColumnsOutsideIt()
    {
        Controls c;
        const QString home = c.rig.dir.path();
        DialogFilePicker open, add;
        DialogFolderChooser folders;
        FileExportSaveDialog save(&c.host);
        open.pick(&c.host, false, [](PickOutcome) {});
        add.pick(&c.host, true, [](PickOutcome) {});
        folders.choose(&c.host, {QStringLiteral("Export To"), home, QStringLiteral("Choose")}, [](auto) {});
        save.open({home, QStringLiteral("Holiday clean.mp4"), QStringLiteral("mp4")}, [](auto) {});
        for (QComboBox* box : c.host.findChildren<QComboBox*>())
            box->view();
        QList<QAbstractItemView*> views;
        for (QWidget* top : QApplication::topLevelWidgets())
            for (QAbstractItemView* view : top->findChildren<QAbstractItemView*>())
                if (accessible(view)->tableInterface())
                    views << view;
        QVERIFY2(views.size() >= 4 * 5 + 1, qPrintable(QString::number(views.size())));
        int cellsThere = 0;
        for (QAbstractItemView* view : views) {
            QAccessibleTableInterface* table = accessible(view)->tableInterface();
            const int rows = table->rowCount(), columns = table->columnCount();
            for (int row : {-1, 0, rows, rows + 1})
                for (int column : {-1, 0, columns, columns + 1}) {
                    QAccessibleInterface* cell = table->cellAt(row, column);
                    QAccessibleTableCellInterface* asCell = cell ? cell->tableCellInterface() : nullptr;
                    // Inside, Qt's interface may have no cell yet where a folder is being read.
                    const bool there = cell && cell->isValid();
                    const bool inside = row >= 0 && column >= 0 && row < rows && column < columns;
                    QVERIFY2(asCell && (inside || !there) && asCell->rowExtent() == int(there) && asCell->columnExtent() == int(there)
                                 && (there ? asCell->rowIndex() == row && asCell->columnIndex() == column
                                           : !asCell->isSelected() && accessible(view)->indexOfChild(cell) == -1),
                             qPrintable(QLatin1String(view->metaObject()->className()) + QStringLiteral(" %1,%2").arg(row).arg(column)));
                    cellsThere += there;
                }
        }
        QVERIFY(cellsThere >= views.size() / 2);
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

    // Each control's role, name (its value read with it), description and states: what the bus
    // shows of it. A description never repeats the name; a tooltip is not a description.
    void eachControlSaysWhatItIsOnce()
    {
        Controls c;
        QVERIFY(QTest::qWaitForWindowExposed(&c.host));
        // Where a screen reader finds the focus in the feedback text, and in the help window's
        // feedback sheet once it opens: the field itself, not the surface it draws on or the card.
        c.host.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&c.host));
        c.feedback->findChild<QWidget*>(QStringLiteral("tellu.feedback.message"))->setFocus();
        QAccessibleInterface* typing = focusedElement(accessible(&c.host));
        HelpView help(std::nullopt, HelpEnvironment{.feedback = c.feedbackConfig});
        help.show();
        help.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&help));
        help.setShowingFeedback(true);
        QAccessibleInterface* sheetField = focusedElement(accessible(&help));
        const struct {
            const char* control;
            QAccessibleInterface* a;
            QAccessible::Role role;
            const char* name;   // a pattern for the whole name
            const char* description;
            const char* states;
        } cases[] = {
            {"solo button", accessible(c.solo), QAccessible::Button, "Solo Music", "", "focusable checked selectable selected"},
            {"go to beginning", accessible(c.beginning), QAccessible::Button, "Go to Beginning", "", "focusable"},
            {"zoom in", accessible(c.zoomIn), QAccessible::Button, "Zoom in", "", "focusable"},
            {"listen to", accessible(c.listen), QAccessible::Grouping, "Listen to", "", "focusable"},
            {"listen to: clean", accessible(c.listen)->child(0), QAccessible::RadioButton, "Clean", "",
             "focusable checked selectable selected"},
            {"listen to: original", accessible(c.listen)->child(1), QAccessible::RadioButton, "Original", "", "focusable selectable"},
            {"save to", c.named(c.options, "export.folder"), QAccessible::ComboBox, "Save to, \\S.*", "", "focusable"},
            {"processing block", accessible(c.block), QAccessible::Client, "", "", ""},
            {"processing bar", accessible(c.block->bar()), QAccessible::ProgressBar, "\\S.*", "", ""},
            {"playhead", c.named(c.lanes, "lanes.playhead"), QAccessible::Slider, "Playhead",
             "Use the arrow keys to move 5 seconds.", "focusable"},
            {"section's first child", accessible(c.section)->child(0), QAccessible::Heading, "Account", "", ""},
            {"recent video", accessible(c.recent), QAccessible::ListItem, "Harbour, \\S.*", "Opens this video",
             "focusable selectable"},
            {"queued video", accessible(c.queued), QAccessible::ListItem, "Pier, \\S.*", "", "focusable selectable"},
            {"feedback category", c.named(c.feedback, "tellu.feedback.category"), QAccessible::Button, "Category", "None",
             "focusable"},
            {"feedback category's label", c.categoryLabel(), QAccessible::NoRole, "", "", "invisible"},
            {"feedback text, focused", typing, QAccessible::EditableText, "Feedback", "", "focusable"},
            {"help's feedback sheet, opened", sheetField, QAccessible::EditableText, "Feedback", "", "focusable"},
        };
        for (const auto& k : cases) {
            QVERIFY2(k.a && k.a->isValid() && k.a->role() == k.role, k.control);
            const QString said = k.a->text(QAccessible::Name) + QStringLiteral(" | ") + k.a->text(QAccessible::Description)
                                 + QStringLiteral(" | ") + statesOf(k.a);
            const QString pattern = QString::fromUtf8(k.name) + QStringLiteral(" \\| ")
                                    + QRegularExpression::escape(QString::fromUtf8(k.description)) + QStringLiteral(" \\| ")
                                    + QString::fromLatin1(k.states);
            QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(pattern)).match(said).hasMatch(),
                     qPrintable(QString::fromLatin1(k.control) + QStringLiteral(": ") + said));
        }
    }

    // What changes on screen is sent to the bus: the bar's value, a row's selected state, a
    // value read in a name, the segment now checked; a name set again unchanged is not.
    void changesReachTheBus()
    {
        QWidget host;
        test::CoordinatorRig rig;
        auto* block = new ProcessingBlock(rig.coordinator.get(), &host);
        rig.coordinator->setProcessing(true);
        auto* bar = new ProcessingBar(&host);
        auto* row = new QWidget(&host);
        ui::presentAsOne(row, QAccessible::ListItem);
        ui::setAccessibleSelected(row, false);
        auto* legend = new LegendRow(Stem::dialogue, &host);
        auto* listen = new SegmentedPicker({QStringLiteral("Clean"), QStringLiteral("Original")}, &host);
        host.show();
        // Events go out only while a screen reader listens on the accessibility bus.
        if (!QTest::qWaitFor([] { return QAccessible::isActive(); }, 3000))
            QSKIP("no accessibility bus listening (the _bus variant of this test has one)");
        Announcements announcements;
        const struct {
            const char* change;
            std::function<void()> make;
            QObject* from;   // null: any object
            QAccessible::Event event;
            bool sent = true;
        } changes[] = {
            {"progress", [&] { bar->setFraction(0.5); }, bar, QAccessible::ValueChanged},
            {"row selected", [&] { ui::setAccessibleSelected(row, true); }, row, QAccessible::SelectionAdd},
            {"row unselected", [&] { ui::setAccessibleSelected(row, false); }, row, QAccessible::SelectionRemove},
            {"legend value", [&] { legend->setValue(QStringLiteral("Kept")); }, legend, QAccessible::NameChanged},
            {"segment checked", [&] { listen->setSelected(1); }, nullptr, QAccessible::StateChanged},
            {"block's progress, same title",
             [&] { rig.coordinator->setProgress(ProcessingProgress{ProcessingStage::Kind::separating, 0.6, {}}); },
             block->bar(), QAccessible::NameChanged, false},
        };
        for (const auto& change : changes) {
            Announcements::seen.clear();
            change.make();
            QVERIFY2(std::ranges::any_of(Announcements::seen,
                                         [&](const auto& seen) {
                                             return seen.second == change.event && (!change.from || seen.first == change.from);
                                         }) == change.sent,
                     change.change);
        }
        QVERIFY(accessible(listen)->child(1)->state().checked && !accessible(listen)->child(0)->state().checked);
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
