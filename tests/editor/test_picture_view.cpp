// The picture pane and the compare key: where the hearing capsule sits and which text it shows,
// the press-and-hold gesture, the pane's accessibility action, and the compare key's rules,
// including every way a compare could be left running.

#include "editor/compare_key.h"
#include "editor/picture_view.h"

#include "support/test_support.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>

using namespace hf;

namespace {

QImage still(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(40, 120, 200));
    return image;
}

// The changed() arguments a spy collected, in order.
QList<bool> calls(const QSignalSpy& spy)
{
    QList<bool> out;
    for (const auto& args : spy)
        out << args.at(0).toBool();
    return out;
}

void sendKey(QWidget* target, QEvent::Type type, Qt::KeyboardModifiers modifiers = Qt::NoModifier,
             bool autoRepeat = false, int key = Qt::Key_Backslash)
{
    QKeyEvent event(type, key, modifiers, key == Qt::Key_Backslash ? QStringLiteral("\\") : QString(), autoRepeat);
    QApplication::sendEvent(target, &event);
}

// A window with a view the monitor serves and a text field beside it.
struct KeyWindow {
    QWidget window;
    QWidget* view;
    QLineEdit* field;
    CompareKeyMonitor* monitor;

    KeyWindow()
    {
        auto* layout = new QVBoxLayout(&window);
        view = new QWidget(&window);
        view->setMinimumSize(200, 100);
        view->setFocusPolicy(Qt::StrongFocus);
        field = new QLineEdit(&window);
        layout->addWidget(view);
        layout->addWidget(field);
        monitor = new CompareKeyMonitor(view);
        monitor->setEnabled(true);
        window.show();
        window.activateWindow();
        view->setFocus();
    }
};

} // namespace

class TestPictureView : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void contentRect()
    {
        // A 4:3 still in a wide pane is pillarboxed; in a tall one letterboxed.
        QCOMPARE(PictureView::contentRect(QSizeF(800, 300), QSize(640, 480)), QRectF(200, 0, 400, 300));
        QCOMPARE(PictureView::contentRect(QSizeF(400, 600), QSize(640, 480)), QRectF(0, 150, 400, 300));
        // Without a usable still, or in an empty pane, the whole pane.
        QCOMPARE(PictureView::contentRect(QSizeF(800, 300), QSize()), QRectF(0, 0, 800, 300));
        QCOMPARE(PictureView::contentRect(QSizeF(800, 300), QSize(0, 480)), QRectF(0, 0, 800, 300));
        QCOMPARE(PictureView::contentRect(QSizeF(0, 0), QSize(640, 480)), QRectF(0, 0, 0, 0));
    }

    void hearingCapsule()
    {
        PictureView pane;
        pane.resize(800, 300);
        pane.setStill(still(640, 480));
        pane.setHearing("Hearing: Effects and ambience only", QString("Effects and ambience only"));
        QVERIFY(pane.hearingLabelRect().isEmpty());   // nothing to compare yet

        pane.setCanCompare(true);
        const QRectF label = pane.hearingLabelRect();
        QCOMPARE(label.topLeft(), QPointF(212, 12));   // inside the picture, not the pillarbox
        QCOMPARE(pane.hearingLabelText(1000), std::optional<QString>("Hearing: Effects and ambience only"));

        // Too narrow for the full text: the short one; too narrow for both: none.
        const double fullWidth = label.width();
        const auto shorter = pane.hearingLabelText(fullWidth - 1);
        QCOMPARE(shorter, std::optional<QString>("Effects and ambience only"));
        QCOMPARE(pane.hearingLabelText(30), std::nullopt);

        // A picture at most 24 px wide offers the capsule no width.
        pane.resize(24, 300);
        QVERIFY(pane.hearingLabelRect().isEmpty());

        // The capsule follows the show flag.
        pane.resize(800, 300);
        pane.setShowsHearingLabel(false);
        QVERIFY(pane.hearingLabelRect().isEmpty());
    }

    // Press compares until release, until the pointer moves more than 40 px, or until the time
    // limit; a press that started a compare ends it even when comparing is no longer possible.
    void pressAndHold()
    {
        PictureView pane;
        pane.resize(400, 300);
        pane.show();
        QSignalSpy spy(&pane, &PictureView::compareRequested);

        QTest::mousePress(&pane, Qt::LeftButton, {}, QPoint(100, 100));
        QTest::mouseRelease(&pane, Qt::LeftButton, {}, QPoint(100, 100));
        QVERIFY(spy.isEmpty());   // nothing to compare

        pane.setCanCompare(true);
        QTest::mousePress(&pane, Qt::LeftButton, {}, QPoint(100, 100));
        QTest::mouseMove(&pane, QPoint(120, 120));   // 28 px away: still comparing
        QCOMPARE(calls(spy), QList<bool>({true}));
        QTest::mouseRelease(&pane, Qt::LeftButton, {}, QPoint(120, 120));
        QCOMPARE(calls(spy), QList<bool>({true, false}));

        spy.clear();
        QTest::mousePress(&pane, Qt::LeftButton, {}, QPoint(100, 100));
        QTest::mouseMove(&pane, QPoint(141, 100));
        QCOMPARE(calls(spy), QList<bool>({true, false}));
        QTest::mouseRelease(&pane, Qt::LeftButton, {}, QPoint(141, 100));
        QCOMPARE(calls(spy), QList<bool>({true, false}));

        spy.clear();
        QTest::mousePress(&pane, Qt::LeftButton, {}, QPoint(100, 100));
        pane.setCanCompare(false);   // the result went while the button was down
        QTest::mouseRelease(&pane, Qt::LeftButton, {}, QPoint(100, 100));
        QCOMPARE(calls(spy), QList<bool>({true, false}));

        spy.clear();
        pane.setCanCompare(true);
        QTest::mousePress(&pane, Qt::LeftButton, {}, QPoint(100, 100));
        pane.hide();   // the release will never come
        QCOMPARE(calls(spy), QList<bool>({true, false}));
        QVERIFY(!pane.isPressComparing());

        // The time limit.
        spy.clear();
        pane.show();
        QTest::mousePress(&pane, Qt::LeftButton, {}, QPoint(100, 100));
        auto* limit = pane.findChild<QTimer*>();
        QVERIFY(limit && limit->isActive());
        limit->start(1);
        QTRY_COMPARE(calls(spy), QList<bool>({true, false}));
        QTest::mouseRelease(&pane, Qt::LeftButton, {}, QPoint(100, 100));
        QCOMPARE(spy.size(), 2);
    }

    void accessibility()
    {
        PictureView pane;
        pane.resize(400, 300);
        pane.show();
        pane.setHearing("Hearing: Clean", std::nullopt);
        QAccessibleInterface* element = QAccessible::queryAccessibleInterface(&pane);
        QVERIFY(element);
        QCOMPARE(element->role(), QAccessible::Graphic);
        QCOMPARE(element->text(QAccessible::Name), QString("Video"));
        QCOMPARE(element->text(QAccessible::Value), QString());
        QVERIFY(element->actionInterface()->actionNames().isEmpty());

        pane.setCanCompare(true);
        QCOMPARE(element->text(QAccessible::Value), QString("Hearing: Clean"));
        QCOMPARE(element->actionInterface()->actionNames(), QStringList{"Compare with Original"});
        QSignalSpy spy(&pane, &PictureView::compareRequested);
        element->actionInterface()->doAction("Compare with Original");
        QCOMPARE(calls(spy), QList<bool>({true}));
        pane.setComparing(true);
        QCOMPARE(element->actionInterface()->actionNames(), QStringList{"Back to what you were hearing"});
        element->actionInterface()->doAction("Back to what you were hearing");
        QCOMPARE(calls(spy), QList<bool>({true, false}));
    }

    void compareKeyRules()
    {
        KeyWindow w;
        QVERIFY(QTest::qWaitForWindowActive(&w.window));
        QSignalSpy spy(w.monitor, &CompareKeyMonitor::changed);

        // One call down and one up however long the key is held; the repeats are swallowed.
        sendKey(w.view, QEvent::KeyPress);
        for (int i = 0; i < 5; ++i) {
            sendKey(w.view, QEvent::KeyRelease, {}, true);
            sendKey(w.view, QEvent::KeyPress, {}, true);
        }
        sendKey(w.view, QEvent::KeyRelease);
        QCOMPARE(calls(spy), QList<bool>({true, false}));

        // Shift does not prevent it; Control, Alt and Super do.
        spy.clear();
        sendKey(w.view, QEvent::KeyPress, Qt::ShiftModifier);
        sendKey(w.view, QEvent::KeyRelease, Qt::ShiftModifier);
        QCOMPARE(calls(spy), QList<bool>({true, false}));
        spy.clear();
        for (auto modifier : {Qt::ControlModifier, Qt::AltModifier, Qt::MetaModifier}) {
            sendKey(w.view, QEvent::KeyPress, modifier);
            sendKey(w.view, QEvent::KeyRelease, modifier);
        }
        QVERIFY(spy.isEmpty());

        // Other keys pass; a disabled monitor lets the key through.
        sendKey(w.view, QEvent::KeyPress, {}, false, Qt::Key_A);
        w.monitor->setEnabled(false);
        sendKey(w.view, QEvent::KeyPress);
        sendKey(w.view, QEvent::KeyRelease);
        QVERIFY(spy.isEmpty());
        w.monitor->setEnabled(true);

        // A backslash typed into a text field reaches the text.
        w.field->setFocus();
        QTRY_VERIFY(w.field->hasFocus());
        QTest::keyClick(w.field, Qt::Key_Backslash, Qt::NoModifier);
        QCOMPARE(w.field->text(), QString("\\"));
        QVERIFY(spy.isEmpty());
    }

    // Once the key started a compare, nothing leaves it running.
    void compareKeyNeverSticks()
    {
        KeyWindow w;
        QVERIFY(QTest::qWaitForWindowActive(&w.window));
        QSignalSpy spy(w.monitor, &CompareKeyMonitor::changed);

        // Released with Control down.
        sendKey(w.view, QEvent::KeyPress);
        sendKey(w.view, QEvent::KeyRelease, Qt::ControlModifier);
        QCOMPARE(calls(spy), QList<bool>({true, false}));

        // Released after the focus moved into a text field.
        spy.clear();
        sendKey(w.view, QEvent::KeyPress);
        w.field->setFocus();
        QTRY_VERIFY(w.field->hasFocus());
        sendKey(w.field, QEvent::KeyRelease);
        QCOMPARE(calls(spy), QList<bool>({true, false}));
        QCOMPARE(w.field->text(), QString());
        w.view->setFocus();

        // Released after the result went (the monitor was disabled meanwhile).
        spy.clear();
        sendKey(w.view, QEvent::KeyPress);
        w.monitor->setEnabled(false);
        sendKey(w.view, QEvent::KeyRelease);
        QCOMPARE(calls(spy), QList<bool>({true, false}));
        w.monitor->setEnabled(true);

        // The window loses the focus while the key is down: the release goes elsewhere.
        spy.clear();
        sendKey(w.view, QEvent::KeyPress);
        QEvent deactivate(QEvent::WindowDeactivate);
        QApplication::sendEvent(&w.window, &deactivate);
        QCOMPARE(calls(spy), QList<bool>({true, false}));
        sendKey(w.view, QEvent::KeyRelease);   // a late release starts nothing
        QVERIFY(!calls(spy).mid(1).contains(true));

        // The view is hidden while the key is down.
        spy.clear();
        sendKey(w.view, QEvent::KeyPress);
        w.view->hide();
        QCOMPARE(calls(spy), QList<bool>({true, false}));
        w.view->show();
        w.view->setFocus();

        // The monitor goes while the key is down.
        spy.clear();
        sendKey(w.view, QEvent::KeyPress);
        QCOMPARE(calls(spy), QList<bool>({true}));
        delete w.monitor;
        QCOMPARE(calls(spy), QList<bool>({true, false}));
    }

    // Keys aimed at another window of the application are not the editor's.
    void otherWindowsKeepTheirKeys()
    {
        KeyWindow w;
        QWidget other;
        other.show();
        QSignalSpy spy(w.monitor, &CompareKeyMonitor::changed);
        sendKey(&other, QEvent::KeyPress);
        sendKey(&other, QEvent::KeyRelease);
        QVERIFY(spy.isEmpty());
    }
};

QTEST_MAIN(TestPictureView)
#include "test_picture_view.moc"
