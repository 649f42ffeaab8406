// The kit from the keyboard and for screen readers: buttons pressed with Space, Return and Enter
// ahead of a window shortcut on the same key, the focus ring, an alert card answered with the
// keys, and the elements presentAsOne() and presentAsProgress() make.

#include "helpers_kit.h"
#include "support/test_support.h"

#include "ui_kit/accessibility.h"
#include "ui_kit/buttons.h"
#include "ui_kit/card_overlay.h"
#include "ui_kit/question_card.h"
#include "ui_kit/segmented_choice.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

#include <functional>

using namespace hf::ui;
using hf::test::KitHost;

namespace {

// A window with a bare Space shortcut, as the player's Play item has.
struct ShortcutHost : KitHost {
    QAction* play = new QAction(this);
    ShortcutHost()
    {
        play->setShortcut(QKeySequence(Qt::Key_Space));
        play->setShortcutContext(Qt::WindowShortcut);
        addAction(play);
    }
};

// "Export First", "Replace" and "Cancel" for `card`, placed by `place`: each notes its title in
// `pressed` and closes the card; the first is the default answer, the last the cancel answer.
QList<QAbstractButton*> addAnswers(CardOverlay* card, QStringList& pressed,
                                   const std::function<void(QAbstractButton*)>& place)
{
    QList<QAbstractButton*> answers;
    for (const QString& title : {QStringLiteral("Export First"), QStringLiteral("Replace"), QStringLiteral("Cancel")}) {
        auto* button = new QuietButton(title);
        place(button);
        answers << button;
        QObject::connect(button, &QAbstractButton::clicked, card, [card, &pressed, title] {
            pressed << title;
            card->hide();
        });
    }
    card->setAnswers(answers.first(), answers.last());
    return answers;
}

// An alert card with three answers, the first the default, the last the cancel answer.
class Question : public CardOverlay {
public:
    QList<QAbstractButton*> answers;
    QStringList pressed;

    explicit Question(QWidget* window) : CardOverlay(window)
    {
        m_card = new QWidget(this);
        auto* column = new QVBoxLayout(m_card);
        column->addWidget(new QLabel(QStringLiteral("Replace the current video?")));
        answers = addAnswers(this, pressed, [&](QAbstractButton* button) { column->addWidget(button); });
    }
    void ask()
    {
        layOut();
        show();
        raise();
        setFocus();
    }

protected:
    QRect cardRect() const override { return QRect(20, 20, 300, 220); }
    void layOut() override
    {
        CardOverlay::layOut();
        m_card->setGeometry(cardRect());
    }

private:
    QWidget* m_card;
};

// The kit's own question card with three answers; Escape answers "Cancel".
class Asking : public QuestionCard {
public:
    QList<QAbstractButton*> answers;
    QStringList pressed;

    explicit Asking(QWidget* window) : QuestionCard(window, QStringLiteral("Replace the current video?"))
    {
        answers = addAnswers(this, pressed, [this](QAbstractButton* button) { addAnswer(button); });
    }
    void ask()
    {
        setMessage(QStringLiteral("The cleaned result for Holiday.mp4 hasn't been exported."));
        present();
    }
    using QuestionCard::cardRect;
};

// A window of three buttons, shown.
struct ThreeButtons : KitHost {
    QuietButton* before;
    ThreeButtons()
    {
        add(new QuietButton(QStringLiteral("First")));
        before = add(new QuietButton(QStringLiteral("Before")));
        add(new QuietButton(QStringLiteral("Last")));
        settle();
        resize(420, 420);
    }
};

// Sends one key event as the window system would, held down (auto-repeated) or not.
void sendKey(QWidget* to, QEvent::Type type, Qt::Key key, Qt::KeyboardModifiers modifiers, bool autoRepeat = false)
{
    QKeyEvent event(type, key, modifiers, QString(), autoRepeat);
    QApplication::sendEvent(to, &event);
}

QAccessibleInterface* accessible(QWidget* widget)
{
    return QAccessible::queryAccessibleInterface(widget);
}

// A button of the application's own making, not one of the kit's (rows, choices, links).
class PlainButton : public QAbstractButton {
public:
    using QAbstractButton::QAbstractButton;
    QSize sizeHint() const override { return {120, 30}; }

protected:
    void paintEvent(QPaintEvent*) override {}
};

} // namespace

class KitKeys : public QObject {
    Q_OBJECT

private slots:
    void focusedButtonsTakeTheirKeysBeforeTheWindowsShortcut()
    {
        ShortcutHost host;
        QSignalSpy played(host.play, &QAction::triggered);
        QList<QAbstractButton*> buttons{host.add(new InkButton(QStringLiteral("Clean full video"))),
                                        host.add(new QuietButton(QStringLiteral("Show in Folder"))),
                                        host.add(new RoundControl(false, 34))};
        auto* plain = host.add(new QLabel(QStringLiteral("lanes")));
        plain->setFocusPolicy(Qt::StrongFocus);
        host.settle();
        QVERIFY(QTest::qWaitForWindowActive(&host));

        for (QAbstractButton* button : buttons) {
            QSignalSpy clicked(button, &QAbstractButton::clicked);
            button->setFocus(Qt::TabFocusReason);
            QTest::keyClick(button, Qt::Key_Space);
            QTest::keyClick(button, Qt::Key_Return);
            QTest::keyClick(button, Qt::Key_Enter, Qt::KeypadModifier);
            QCOMPARE(clicked.count(), 3);
            // With a modifier the key is the window's again.
            QTest::keyClick(button, Qt::Key_Return, Qt::ControlModifier);
            QCOMPARE(clicked.count(), 3);
        }
        QCOMPARE(played.count(), 0);

        // On a control that does not take Space, Space is the window's.
        plain->setFocus(Qt::TabFocusReason);
        QTest::keyClick(plain, Qt::Key_Space);
        QCOMPARE(played.count(), 1);
        QVERIFY(focusTakesSpace(buttons.first()));
        QVERIFY(!focusTakesSpace(plain));
        QVERIFY(!focusTakesSpace(nullptr));
    }

    void returnPressesEveryFocusedButton()
    {
        ShortcutHost host;
        auto* enter = new QAction(&host);
        enter->setShortcut(QKeySequence(Qt::Key_Return));
        host.addAction(enter);
        QSignalSpy entered(enter, &QAction::triggered);
        host.add(new QuietButton(QStringLiteral("Cancel")));
        auto* row = host.add(new PlainButton);
        row->setFocusPolicy(Qt::StrongFocus);
        row->setCheckable(true);
        host.settle();
        QVERIFY(QTest::qWaitForWindowActive(&host));
        row->setFocus(Qt::TabFocusReason);
        QSignalSpy clicked(row, &QAbstractButton::clicked);
        QTest::keyClick(row, Qt::Key_Return);
        QTest::keyClick(row, Qt::Key_Enter, Qt::KeypadModifier);
        QCOMPARE(clicked.count(), 2);
        QCOMPARE(entered.count(), 0);
        // Disabled, it leaves the key to the window.
        row->setEnabled(false);
        QTest::keyClick(&host, Qt::Key_Return);
        QCOMPARE(clicked.count(), 2);
    }

    void focusIsDrawnAndAClickLeavesItWhereItWas()
    {
        KitHost host;
        auto* lanes = host.add(new QLabel(QStringLiteral("lanes")));
        lanes->setFocusPolicy(Qt::StrongFocus);
        auto* choice = host.add(new SegmentedChoice(QStringLiteral("Format"),
                                                    {{1, QStringLiteral("AAC")}, {2, QStringLiteral("WAV")}}));
        QList<QAbstractButton*> buttons{host.add(new InkButton(QStringLiteral("Export"))),
                                        host.add(new QuietButton(QStringLiteral("Cancel"))),
                                        host.add(new RoundControl(false, 34)), choice->segments()[1]};
        host.settle();
        QVERIFY(QTest::qWaitForWindowActive(&host));
        lanes->setFocus();
        for (QAbstractButton* button : buttons) {
            const QImage before = button->grab().toImage();
            button->setFocus(Qt::TabFocusReason);
            const QImage focused = button->grab().toImage();
            QVERIFY2(before != focused, qPrintable(button->text()));
            hf::test::saveScreenshot(focused, QStringLiteral("ui_kit"),
                                     QStringLiteral("focus-%1").arg(buttons.indexOf(button)));
            // The ring goes with the focus.
            lanes->setFocus(Qt::TabFocusReason);
            QCOMPARE(button->grab().toImage(), before);
        }

        // A click presses the button without giving it the focus (nor Space, nor a ring).
        QSignalSpy clicked(buttons.first(), &QAbstractButton::clicked);
        QTest::mouseClick(buttons.first(), Qt::LeftButton, {}, buttons.first()->rect().center());
        QCOMPARE(clicked.count(), 1);
        QVERIFY(!buttons.first()->hasFocus());
    }

    void focusRingOverlayFollowsTheFocusAboveTheChildren()
    {
        KitHost host;
        auto* other = host.add(new QLabel(QStringLiteral("lanes")));
        other->setFocusPolicy(Qt::StrongFocus);
        auto* row = host.add(new QWidget);
        row->setFocusPolicy(Qt::StrongFocus);
        row->setMinimumHeight(44);
        auto* ring = attachFocusRing(row, 6);
        auto* child = new QLabel(QStringLiteral("Holiday"), row);   // made after the ring
        child->setAutoFillBackground(true);
        child->setGeometry(row->rect());
        child->show();
        host.settle();
        QVERIFY(QTest::qWaitForWindowActive(&host));
        QVERIFY(ring->testAttribute(Qt::WA_TransparentForMouseEvents));
        other->setFocus();
        const QImage before = row->grab().toImage();
        row->setFocus(Qt::TabFocusReason);
        QVERIFY(row->hasFocus());
        QVERIFY2(ring->geometry() == row->rect(), qPrintable(QStringLiteral("%1x%2 %3x%4").arg(ring->width()).arg(ring->height()).arg(row->width()).arg(row->height())));
        QVERIFY(QTest::qWaitFor([&] { return row->grab().toImage() != before; }, 2000));
        // The ring is on top of the child, at the row's edge.
        const QImage after = row->grab().toImage();
        const double dpr = after.devicePixelRatio();
        QVERIFY(hf::test::near(after.pixelColor(QPoint(int(row->width() / 2 * dpr), 0)), color(ColorName::Ink), 40));
        QVERIFY(accessible(ring)->state().invisible);
    }

    void alertCardAnswersTheKeys()
    {
        KitHost host;
        auto* behind = host.add(new QuietButton(QStringLiteral("Behind")));
        host.settle();
        host.resize(400, 400);
        QVERIFY(QTest::qWaitForWindowActive(&host));
        Question card(&host);

        // Return and Enter give the default answer, Escape the cancel answer.
        card.ask();
        QTest::keyClick(&card, Qt::Key_Return);
        card.ask();
        QTest::keyClick(&card, Qt::Key_Enter, Qt::KeypadModifier);
        card.ask();
        QTest::keyClick(&card, Qt::Key_Escape);
        QCOMPARE(card.pressed, (QStringList{"Export First", "Export First", "Cancel"}));

        // Tab goes round the answers and never leaves the card.
        card.pressed.clear();
        card.ask();
        QList<QWidget*> visited;
        for (int i = 0; i < 7; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            visited << QApplication::focusWidget();
        }
        QCOMPARE(visited.mid(0, 3), (QList<QWidget*>{card.answers[0], card.answers[1], card.answers[2]}));
        QCOMPARE(visited.mid(3, 3), visited.mid(0, 3));
        QCOMPARE(QApplication::focusWidget(), card.answers[0]);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
        QCOMPARE(QApplication::focusWidget(), card.answers[2]);

        // Return on a focused answer presses that answer.
        card.answers[1]->setFocus(Qt::TabFocusReason);
        QTest::keyClick(card.answers[1], Qt::Key_Return);
        QCOMPARE(card.pressed, QStringList{"Replace"});

        // Space presses the focused answer, closes the card, and the next click reaches the window.
        card.ask();
        card.answers[2]->setFocus(Qt::TabFocusReason);
        QTest::keyPress(card.answers[2], Qt::Key_Space);
        QTest::keyRelease(card.answers[2], Qt::Key_Space);
        QCOMPARE(card.pressed.last(), QStringLiteral("Cancel"));
        QVERIFY(!card.isVisible());
        QVERIFY(!card.answers[2]->isDown());
        QSignalSpy behindClicked(behind, &QAbstractButton::clicked);
        QTest::mouseClick(behind, Qt::LeftButton, {}, behind->rect().center());
        QCOMPARE(behindClicked.count(), 1);

        // An answer held down with the mouse (it takes no focus) is let go when the card hides.
        card.ask();
        QTest::mousePress(card.answers[0], Qt::LeftButton, {}, card.answers[0]->rect().center());
        QVERIFY(card.answers[0]->isDown() && !card.answers[0]->hasFocus());
        card.hide();
        QVERIFY(!card.answers[0]->isDown());
    }

    void alertCardKeepsReturnAndEscapeFromTheWindowsShortcuts()
    {
        ShortcutHost host;
        auto* escape = new QAction(&host);
        escape->setShortcut(QKeySequence(Qt::Key_Escape));
        host.addAction(escape);
        auto* enter = new QAction(&host);
        enter->setShortcut(QKeySequence(Qt::Key_Return));
        host.addAction(enter);
        QSignalSpy escaped(escape, &QAction::triggered);
        QSignalSpy entered(enter, &QAction::triggered);
        host.settle();
        host.resize(400, 400);
        QVERIFY(QTest::qWaitForWindowActive(&host));
        Question card(&host);
        card.ask();
        QTest::keyClick(&card, Qt::Key_Escape);
        card.ask();
        QTest::keyClick(&card, Qt::Key_Return);
        QCOMPARE(card.pressed, (QStringList{"Cancel", "Export First"}));
        QCOMPARE(escaped.count() + entered.count(), 0);
    }

    // Only a fresh, bare press answers: not a key held down, not one with Alt or Ctrl.
    void aCardAnswersOneBarePressOnce()
    {
        ThreeButtons host;
        QVERIFY(QTest::qWaitForWindowActive(&host));
        const struct {
            const char* press;
            bool onAnswer;   // to the focused "Replace", else to the card
            Qt::Key key;
            Qt::KeyboardModifiers modifiers;
            bool autoRepeat;
            const char* answered;
        } cases[] = {
            {"Return on an answer", true, Qt::Key_Return, {}, false, "Replace"},
            {"Return held on an answer", true, Qt::Key_Return, {}, true, nullptr},
            {"Enter held on an answer", true, Qt::Key_Enter, Qt::KeypadModifier, true, nullptr},
            {"Alt+Return on an answer", true, Qt::Key_Return, Qt::AltModifier, false, nullptr},
            {"Ctrl+Return on an answer", true, Qt::Key_Return, Qt::ControlModifier, false, nullptr},
            {"Return on the card", false, Qt::Key_Return, {}, false, "Export First"},
            {"Return held on the card", false, Qt::Key_Return, {}, true, nullptr},
            {"Alt+Return on the card", false, Qt::Key_Return, Qt::AltModifier, false, nullptr},
            {"Escape held on the card", false, Qt::Key_Escape, {}, true, nullptr},
        };
        for (const auto& k : cases) {
            Asking card(&host);
            card.ask();
            QWidget* to = &card;
            if (k.onAnswer) {
                card.answers[1]->setFocus(Qt::TabFocusReason);
                to = card.answers[1];
            }
            sendKey(to, QEvent::KeyPress, k.key, k.modifiers, k.autoRepeat);
            sendKey(to, QEvent::KeyRelease, k.key, k.modifiers, k.autoRepeat);
            const QStringList answered = k.answered ? QStringList{QString::fromLatin1(k.answered)} : QStringList{};
            QVERIFY2(card.pressed == answered && card.isVisible() == answered.isEmpty(), k.press);
        }
    }

    // However the card closes, the focus is back where it was, and nothing on the hidden card can
    // be reached with Tab or pressed with Return or Space.
    void aClosedCardGivesTheKeyboardBack_data()
    {
        QTest::addColumn<QString>("how");
        for (const char* how : {"Escape", "Return", "Space on Cancel", "mouse on Replace", "hidden while Space holds",
                                "hidden by its owner"})
            QTest::newRow(how) << QString::fromLatin1(how);
    }
    void aClosedCardGivesTheKeyboardBack()
    {
        QFETCH(QString, how);
        ThreeButtons host;
        QVERIFY(QTest::qWaitForWindowActive(&host));
        // The focus is on the middle of three buttons, where no other rule would put it back.
        QWidget* before = host.before;
        before->setFocus(Qt::TabFocusReason);
        Asking card(&host);
        card.ask();
        // The card has the keyboard while it asks.
        QVERIFY(card.isAncestorOf(QApplication::focusWidget()));

        if (how == QLatin1String("Escape") || how == QLatin1String("Return")) {
            QTest::keyClick(QApplication::focusWidget(), how == QLatin1String("Escape") ? Qt::Key_Escape : Qt::Key_Return);
        } else if (how == QLatin1String("Space on Cancel")) {
            card.answers[2]->setFocus(Qt::TabFocusReason);
            QTest::keyClick(card.answers[2], Qt::Key_Space);
        } else if (how == QLatin1String("mouse on Replace")) {
            QTest::mousePress(card.answers[1], Qt::LeftButton, {}, card.answers[1]->rect().center());
            // A clicked answer takes the focus, as Tab would give it.
            QVERIFY(card.answers[1]->hasFocus());
            QTest::mouseRelease(card.answers[1], Qt::LeftButton, {}, card.answers[1]->rect().center());
        } else if (how == QLatin1String("hidden while Space holds")) {
            card.answers[1]->setFocus(Qt::TabFocusReason);
            sendKey(card.answers[1], QEvent::KeyPress, Qt::Key_Space, {});
            QVERIFY(card.answers[1]->isDown());
            card.hide();
            // Let go when the card went, so the release that follows presses nothing.
            QVERIFY(!card.answers[1]->isDown());
            sendKey(card.answers[1], QEvent::KeyRelease, Qt::Key_Space, {});
        } else {
            card.hide();
        }
        QVERIFY(!card.isVisible());
        QCOMPARE(QApplication::focusWidget(), before);
        const QStringList answered = card.pressed;
        for (int i = 0; i < 6; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QVERIFY2(!card.isAncestorOf(QApplication::focusWidget()), qPrintable(QString::number(i)));
        }
        before->setFocus(Qt::TabFocusReason);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        QCOMPARE(card.pressed, answered);
    }

    // The question card is 380 wide, or the window's width less 40 when that is smaller; it is a
    // dialog named by its title to a screen reader, and no stop of its own.
    void questionCardTakesTheSmallerWidth()
    {
        QWidget window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        for (const auto& [windowWidth, cardWidth] : {std::pair{300, 260}, {420, 380}, {900, 380}}) {
            window.resize(windowWidth, 600);
            Asking card(&window);
            card.ask();
            QCOMPARE(card.cardRect().width(), cardWidth);
            QCOMPARE(card.card()->width(), cardWidth);
        }
        Asking card(&window);
        card.ask();
        QAccessibleInterface* a = accessible(&card);
        QCOMPARE(a->role(), QAccessible::Dialog);
        QCOMPARE(a->text(QAccessible::Name), QStringLiteral("Replace the current video?"));
        QCOMPARE(a->text(QAccessible::Description), card.message());
        QVERIFY(!a->state().focusable);
    }

    void oneElementCarriesNameRoleValueAndState()
    {
        KitHost host;
        auto* row = new QWidget;
        presentAsOne(row, QAccessible::StaticText);
        auto* column = new QVBoxLayout(row);
        column->addWidget(new QLabel(QStringLiteral("Dialogue")));
        column->addWidget(new QLabel(QStringLiteral("Kept")));
        row->setAccessibleName(QStringLiteral("Dialogue"));
        setAccessibleValue(row, QStringLiteral("Kept"));
        host.add(row);

        QAccessibleInterface* a = accessible(row);
        QCOMPARE(a->role(), QAccessible::StaticText);
        // The bus carries no value text: the value is read with the name.
        QCOMPARE(a->text(QAccessible::Name), QStringLiteral("Dialogue, Kept"));
        QCOMPARE(a->text(QAccessible::Value), QStringLiteral("Kept"));
        QCOMPARE(a->childCount(), 0);   // the labels beneath are not read again
        QVERIFY(!a->state().selected);
        setAccessibleSelected(row, true);
        QVERIFY(a->state().selected && a->state().selectable);
        setAccessibleValue(row, QStringLiteral("Removed"));
        QCOMPARE(a->text(QAccessible::Value), QStringLiteral("Removed"));

        // A checkable button presented as a radio choice: checked and selected while on, and
        // its action presses it.
        auto* choice = new QuietButton;
        presentAsOne(choice, QAccessible::RadioButton);
        choice->setCheckable(true);
        choice->setAccessibleName(QStringLiteral("Lossless PCM .mov"));
        host.add(choice);
        QAccessibleInterface* r = accessible(choice);
        QCOMPARE(r->role(), QAccessible::RadioButton);
        QVERIFY(r->state().checkable && !r->state().checked);
        QVERIFY(r->actionInterface()->actionNames().contains(QAccessibleActionInterface::toggleAction()));
        r->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
        QVERIFY(choice->isChecked());
        QVERIFY(r->state().checked && r->state().selected);
    }

    void progressBarHasAValue()
    {
        KitHost host;
        auto* bar = new QWidget;
        presentAsProgress(bar);
        bar->setAccessibleName(QStringLiteral("Cleaning the full video"));
        host.add(bar);
        setAccessibleProgress(bar, 0.426);
        QAccessibleInterface* a = accessible(bar);
        QCOMPARE(a->role(), QAccessible::ProgressBar);
        QCOMPARE(a->text(QAccessible::Name), QStringLiteral("Cleaning the full video"));
        QVERIFY(a->valueInterface());
        QCOMPARE(a->valueInterface()->currentValue().toInt(), 43);
        QCOMPARE(a->valueInterface()->minimumValue().toInt(), 0);
        QCOMPARE(a->valueInterface()->maximumValue().toInt(), 100);
        QVERIFY(a->text(QAccessible::Value).startsWith(QStringLiteral("43")));
        setAccessibleProgress(bar, 7.0);   // out of range: shown whole
        QCOMPARE(a->valueInterface()->currentValue().toInt(), 100);
    }
};

QTEST_MAIN(KitKeys)
#include "test_kit_keys.moc"
