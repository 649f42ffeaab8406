// The lanes strip on its own: headers per state, drags on the ruler and their limits, the
// accessibility slider and the headers' solo action, the mode animation on a driven clock, and a
// moving playhead that repaints only where it was and where it goes.

#include "editor/lanes_geometry.h"
#include "editor/lanes_view.h"

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QPaintEvent>
#include <QSignalSpy>
#include <QTest>

using namespace hf;

namespace {

SoundtrackEnvelope constantEnvelope(double seconds, float level)
{
    const size_t n = size_t(seconds * SoundtrackEnvelope::bucketsPerSecond);
    return SoundtrackEnvelope{std::vector<float>(n, level), std::vector<float>(n, level * 0.6f),
                              std::vector<float>(n, level), std::vector<float>(n, level)};
}

// Records the strip's signals in the order they come.
struct Recorder {
    QStringList events;
    void attach(LanesView& view)
    {
        QObject::connect(&view, &LanesView::seekRequested, [this](double t) {
            events << QStringLiteral("seek %1").arg(t, 0, 'f', 1);
        });
        QObject::connect(&view, &LanesView::scrubbingChanged, [this](bool on) {
            events << (on ? QStringLiteral("scrub on") : QStringLiteral("scrub off"));
        });
        QObject::connect(&view, &LanesView::soloRequested, [this](Stem stem) { events << "solo " + rawValue(stem); });
    }
};

// Collects the rectangles a widget is asked to paint.
class PaintWatcher : public QObject {
public:
    QRegion painted;
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            painted += static_cast<QPaintEvent*>(event)->region();
        return false;
    }
};

} // namespace

class TestLanesView : public QObject {
    Q_OBJECT

    std::unique_ptr<LanesView> view;
    Recorder recorder;

    // A separated 60-second result shown in a 0...30 window, 1000 points wide.
    void makeSeparated()
    {
        view = std::make_unique<LanesView>();
        view->setReduceMotion(true);
        view->setAllowsSolo(true);
        view->setTimeline(LaneTimeline{0, 30, 60, 60, 60});
        view->setEnvelopes(std::make_shared<const SoundtrackEnvelope>(constantEnvelope(60, 0.5)),
                           std::make_shared<const StemEnvelopes>(StemEnvelopes{
                               constantEnvelope(60, 0.5), constantEnvelope(60, 0.3), constantEnvelope(60, 0.2)}));
        view->setPlayhead(10);
        view->resize(1000, view->heightForWidth(1000));
        view->show();
        QVERIFY(QTest::qWaitForWindowExposed(view.get()));
        recorder = {};
        recorder.attach(*view);
    }

    QWidget* child(const QString& name) const { return view->findChild<QWidget*>(name); }
    QPoint ruler(double x) const { return QPoint(int(x), int(view->area()->top() + 10)); }

    QWidget* headerOf(Stem stem) const
    {
        const QList<QWidget*> all = view->findChildren<QWidget*>();
        for (QWidget* w : all)
            if (QString(w->metaObject()->className()) == "hf::LaneHeader"
                && w->findChild<QWidget*>(QStringLiteral("lanes.solo.") + rawValue(stem)))
                return w;
        return nullptr;
    }

private Q_SLOTS:
    void cleanup() { view.reset(); }

    void headersFollowTheState()
    {
        // Before separation: one header, in the middle row, titled "Soundtrack".
        view = std::make_unique<LanesView>();
        view->setAllowsSolo(true);
        view->setTimeline(LaneTimeline{0, 30, 0, 60, 0});
        view->resize(900, view->heightForWidth(900));
        view->show();
        QVERIFY(!headerOf(Stem::dialogue)->isVisible());
        QVERIFY(headerOf(Stem::music)->isVisible());
        QVERIFY(!headerOf(Stem::effects)->isVisible());
        QAccessibleInterface* music = QAccessible::queryAccessibleInterface(headerOf(Stem::music));
        QCOMPARE(music->text(QAccessible::Name), QString("Soundtrack, Not separated yet"));
        QCOMPARE(music->text(QAccessible::Value), QString("Not separated yet"));
        QVERIFY(!child("lanes.solo.music")->isVisible());
        view->setWorkingStatus(QStringLiteral("Separating, 12%"));
        QCOMPARE(music->text(QAccessible::Value), QString("Separating, 12%"));
        // No playhead: no handle and no scrub strip.
        QVERIFY(!child("lanes.playhead")->isVisible());

        // Resting: the three stem names, no status, no solo buttons.
        view->setResting(true);
        for (Stem stem : allStems) {
            QVERIFY(headerOf(stem)->isVisible());
            QAccessibleInterface* header = QAccessible::queryAccessibleInterface(headerOf(stem));
            QCOMPARE(header->text(QAccessible::Value), QString());
            QVERIFY(!child("lanes.solo." + rawValue(stem))->isVisible());
        }
        QCOMPARE(QAccessible::queryAccessibleInterface(headerOf(Stem::effects))->text(QAccessible::Name),
                 QString("Effects and ambience"));
    }

    void headerSoloActionAndButtons()
    {
        makeSeparated();
        QAccessibleInterface* header = QAccessible::queryAccessibleInterface(headerOf(Stem::dialogue));
        QCOMPARE(header->text(QAccessible::Name), QString("Dialogue, Kept"));
        QCOMPARE(header->text(QAccessible::Value), QString("Kept"));
        QCOMPARE(header->actionInterface()->actionNames(), QStringList{"Solo Dialogue"});
        header->actionInterface()->doAction("Solo Dialogue");
        // The whole 44-point square of a solo button takes clicks, not only its 28-point mark.
        QWidget* solo = child("lanes.solo.effects");
        QCOMPARE(solo->size(), QSize(44, 44));
        QTest::mouseClick(solo, Qt::LeftButton, {}, QPoint(2, 2));
        QCOMPARE(recorder.events, (QStringList{"solo dialogue", "solo effects"}));
        QCOMPARE(solo->accessibleName(), QString("Solo Effects and ambience"));
        // Soloing music dims the others' headers and marks the button selected.
        view->setMode(AuditionTrackMode::isolatedMusic);
        QVERIFY(static_cast<QAbstractButton*>(child("lanes.solo.music"))->isChecked());
        QVERIFY(!static_cast<QAbstractButton*>(child("lanes.solo.effects"))->isChecked());
        QCOMPARE(view->statusText(Stem::effects), QString("Muted"));
    }

    void rulerDragsStayInTheWindowAndPlayable()
    {
        makeSeparated();
        const QRectF area = *view->area();
        QWidget* strip = view->childAt(ruler(area.left() + 500));
        QVERIFY(strip && strip->objectName().isEmpty());
        const auto at = [&](double x) { return strip->mapFrom(view.get(), ruler(x)); };
        QTest::mousePress(strip, Qt::LeftButton, {}, at(area.left() + area.width() / 2));
        QMouseEvent left(QEvent::MouseMove, at(area.left() - 80), strip->mapToGlobal(at(area.left() - 80)),
                         Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(strip, &left);
        QTest::mouseRelease(strip, Qt::LeftButton, {}, at(area.right() + 80));
        QCOMPARE(recorder.events,
                 (QStringList{"scrub on", "seek 15.0", "scrub on", "seek 0.0", "seek 30.0", "scrub off"}));
        QVERIFY(!view->isScrubbing());

        // A window past the playable end seeks no further than it.
        recorder.events.clear();
        view->setTimeline(LaneTimeline{30, 60, 60, 60, 42});
        QTest::mouseClick(strip, Qt::LeftButton, {}, at(area.right() - 1));
        QCOMPARE(recorder.events.at(1), QString("seek 42.0"));
        // Nothing playable: every drag seeks 0.
        recorder.events.clear();
        view->setTimeline(LaneTimeline{0, 30, 0, 60, 0});
        QTest::mouseClick(strip, Qt::LeftButton, {}, at(area.left() + 300));
        QCOMPARE(recorder.events, (QStringList{"scrub on", "seek 0.0", "seek 0.0", "scrub off"}));
    }

    // The handle moves by as much as the pointer, wherever on it the pointer took it: the place
    // grabbed keeps its distance from the line during the drag and at the release.
    void handleKeepsItsGrabOffset()
    {
        makeSeparated();
        const QRectF area = *view->area();
        const LaneTimeline timeline{0, 30, 60, 60, 60};
        QWidget* handle = child("lanes.playhead");
        const double line = timeToX(10, timeline, area);
        const double grabbedAt = line + 9;   // right of the line, inside the 24-point handle
        QVERIFY(handle->geometry().contains(QPoint(int(grabbedAt), int(area.top() + 40))));
        const auto at = [&](double x) { return handle->mapFrom(view.get(), QPoint(int(x), int(area.top() + 40))); };
        const auto seconds = [](const QString& event) { return event.section(' ', 1).toDouble(); };

        QTest::mousePress(handle, Qt::LeftButton, {}, at(grabbedAt));
        QCOMPARE(seconds(recorder.events.last()), 10.0);
        QMouseEvent move(QEvent::MouseMove, at(grabbedAt + 150), handle->mapToGlobal(at(grabbedAt + 150)),
                         Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(handle, &move);
        const double expected = xToTime(line + 150, timeline, area);
        QVERIFY(std::abs(seconds(recorder.events.last()) - expected) < 0.06);
        QTest::mouseRelease(handle, Qt::LeftButton, {}, at(grabbedAt + 150));
        QCOMPARE(recorder.events.last(), QStringLiteral("scrub off"));
        const QString released = recorder.events.at(recorder.events.size() - 2);
        QVERIFY2(std::abs(seconds(released) - expected) < 0.06, qPrintable(released));
        QVERIFY(!view->isScrubbing());
    }

    void playheadOutsideTheWindowStillDrags()
    {
        makeSeparated();
        view->setPlayhead(45);   // the window is 0...30
        QWidget* handle = child("lanes.playhead");
        QVERIFY(handle->isVisible());
        QVERIFY(handle->geometry().left() > view->area()->right());
        QWidget* strip = view->childAt(ruler(view->area()->left() + 100));
        QVERIFY(strip && strip->isVisible());
    }

    void accessibleSlider()
    {
        makeSeparated();
        QAccessibleInterface* slider = QAccessible::queryAccessibleInterface(child("lanes.playhead"));
        QCOMPARE(slider->role(), QAccessible::Slider);
        QCOMPARE(slider->text(QAccessible::Name), QString("Playhead"));
        QCOMPARE(slider->text(QAccessible::Value), QString("0:10 of 1:00"));
        QCOMPARE(slider->text(QAccessible::Description), QString("Use the arrow keys to move 5 seconds."));
        QAccessibleValueInterface* value = slider->valueInterface();
        QCOMPARE(value->currentValue().toDouble(), 10.0);
        QCOMPARE(value->minimumValue().toDouble(), 0.0);
        QCOMPARE(value->maximumValue().toDouble(), 60.0);
        QCOMPARE(value->minimumStepSize().toDouble(), 5.0);
        value->setCurrentValue(42.0);
        value->setCurrentValue(500.0);
        slider->actionInterface()->doAction(QAccessibleActionInterface::increaseAction());
        QCOMPARE(recorder.events, (QStringList{"seek 42.0", "seek 60.0", "seek 15.0"}));
        // The drawing itself is not shown to assistive technologies.
        QVERIFY(QAccessible::queryAccessibleInterface(view->canvas())->state().invisible);
        // With nothing playable the range is still 0...1.
        view->setTimeline(LaneTimeline{0, 30, 0, 60, 0});
        QCOMPARE(value->maximumValue().toDouble(), 1.0);
    }

    void modeChangesAnimateOnTheClock()
    {
        makeSeparated();
        double now = 50;
        view->setAnimationClock([&] { return now; });
        view->setReduceMotion(false);
        const LaneMix clean = laneMix(AuditionTrackMode::hushframed, 0.75);
        const LaneMix music = laneMix(AuditionTrackMode::isolatedMusic, 0.75);
        QCOMPARE(view->drawnMix(), clean);
        view->setMode(AuditionTrackMode::isolatedMusic);
        QCOMPARE(view->drawnMix(), clean);
        now = 50.125;   // halfway through the 0.25-second ease-in-out
        view->advanceAnimations();
        QVERIFY(std::abs(view->drawnMix().music - 0.5) < 0.01);
        QVERIFY(std::abs(view->drawnMix().dialogueAlpha - 0.65) < 0.01);
        now = 50.3;
        view->advanceAnimations();
        QCOMPARE(view->drawnMix(), music);
        // The ambience eases out over 0.18 seconds: past halfway at half time.
        view->setMode(AuditionTrackMode::hushframed);
        now = 51;
        view->advanceAnimations();
        view->setAmbience(0.25);
        now = 51.09;
        view->advanceAnimations();
        QVERIFY(view->drawnMix().effects < 0.5);
        now = 51.2;
        view->advanceAnimations();
        QCOMPARE(view->drawnMix().effects, 0.25);
        // With Reduce Motion the change is immediate.
        view->setReduceMotion(true);
        view->setMode(AuditionTrackMode::original);
        QCOMPARE(view->drawnMix(), laneMix(AuditionTrackMode::original, 0.25));
    }

    void movingPlayheadRepaintsOnlyItsStrip()
    {
        makeSeparated();
        QCoreApplication::processEvents();
        LanesCanvas* canvas = view->canvas();
        const int passes = canvas->drawingPasses();
        QVERIFY(passes >= 1);
        PaintWatcher watcher;
        canvas->installEventFilter(&watcher);
        for (double t = 10.05; t < 11; t += 0.05) {
            view->setPlayhead(t);
            QCoreApplication::processEvents();
        }
        QCOMPARE(canvas->drawingPasses(), passes);
        const QRect touched = watcher.painted.boundingRect();
        QVERIFY(!touched.isEmpty());
        QVERIFY2(touched.width() < 80, qPrintable(QString::number(touched.width())));
        canvas->removeEventFilter(&watcher);
    }
};

QTEST_MAIN(TestLanesView)
#include "test_lanes_view.moc"
