// The ambience control: its snapping, stepping and readout rules, its input (drag, click, keys,
// assistive technologies), and a level set while a clean runs reaching the result.

#include "editor/ambience_control.h"
#include "editor/inspector_view.h"
#include "editor/exporter.h"
#include "helpers_coordinator.h"

#include "support/layout_audit.h"
#include "support/test_support.h"
#include "ui_kit/environment.h"
#include "ui_kit/palette.h"
#include "ui_kit/text_styles.h"

#include <QAccessible>
#include <QSignalSpy>
#include <QTest>

#include <cmath>
#include <limits>

using namespace hf;

Q_DECLARE_METATYPE(std::optional<double>)

namespace {

// The levels a control reported, after `action` ran on it.
std::vector<double> reported(AmbienceControl& control, const std::function<void()>& action)
{
    std::vector<double> levels;
    auto connection = QObject::connect(&control, &AmbienceControl::changeRequested,
                                       [&levels](double level) { levels.push_back(level); });
    action();
    QObject::disconnect(connection);
    return levels;
}

} // namespace

class TestAmbience : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void snapping_data()
    {
        QTest::addColumn<double>("fraction");
        QTest::addColumn<double>("level");
        QTest::newRow("near the middle detent") << 0.52 << 0.5;
        QTest::newRow("past the detent's reach") << 0.54 << 0.55;
        QTest::newRow("near the top detent") << 0.97 << 1.0;
        QTest::newRow("near the bottom detent") << 0.03 << 0.0;
        QTest::newRow("on the grid") << 0.26 << 0.25;
        QTest::newRow("below the track") << -0.4 << 0.0;
        QTest::newRow("beyond the track") << 1.7 << 1.0;
        QTest::newRow("not a number") << std::numeric_limits<double>::quiet_NaN() << 0.0;
    }
    void snapping()
    {
        QFETCH(double, fraction);
        QFETCH(double, level);
        QCOMPARE(ambience::snapped(fraction), level);
    }

    void stepping_data()
    {
        QTest::addColumn<double>("current");
        QTest::addColumn<double>("proposed");
        QTest::addColumn<std::optional<double>>("reported");
        QTest::newRow("up a step") << 0.5 << 0.55 << std::optional<double>(0.55);
        QTest::newRow("up at the top") << 1.0 << 1.05 << std::optional<double>();
        QTest::newRow("down at the bottom") << 0.0 << -0.05 << std::optional<double>();
        QTest::newRow("off-grid stored level down") << 0.73 << 0.68 << std::optional<double>(0.7);
        QTest::newRow("off-grid stored level up") << 0.73 << 0.78 << std::optional<double>(0.8);
        QTest::newRow("quantizes to the level shown") << 0.5 << 0.51 << std::optional<double>();
        QTest::newRow("halves round away from zero") << 0.0 << 0.125 << std::optional<double>(0.15);
        QTest::newRow("not a number") << 0.5 << std::numeric_limits<double>::quiet_NaN() << std::optional<double>(0.0);
    }
    void stepping()
    {
        QFETCH(double, current);
        QFETCH(double, proposed);
        QFETCH(std::optional<double>, reported);
        const std::optional<double> got = ambience::commit(current, proposed);
        QCOMPARE(got.has_value(), reported.has_value());
        if (got)
            QVERIFY2(std::abs(*got - *reported) < 1e-9, qPrintable(QString::number(*got)));
    }

    void readouts_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << 0.0 << "0%, voice only";
        QTest::newRow("0.05") << 0.05 << "5%, a little room sound";
        QTest::newRow("0.3") << 0.3 << "30%, a little room sound";
        QTest::newRow("0.35") << 0.35 << "35%, some room sound";
        QTest::newRow("0.65") << 0.65 << "65%, some room sound";
        QTest::newRow("0.7") << 0.7 << "70%, most room sound";
        QTest::newRow("0.75") << 0.75 << "75%, most room sound";
        QTest::newRow("0.95") << 0.95 << "95%, most room sound";
        QTest::newRow("1") << 1.0 << "100%, all room sound";
    }
    void readouts()
    {
        QFETCH(double, value);
        QFETCH(QString, text);
        QCOMPARE(ambience::readout(value), text);
    }

    // Pointer, keys and assistive technologies all report through the commit rule, and the
    // control shows only what its owner passes back.
    void input()
    {
        AmbienceControl control(QStringLiteral("Ambience"));
        control.resize(320, control.sizeHint().height());
        control.setValue(0.5);
        control.show();
        QVERIFY(QTest::qWaitForWindowExposed(&control));
        const QRectF track = control.trackArea();
        const int y = int(track.center().y());
        const auto at = [&](double fraction) { return QPoint(int(std::round(control.thumbCentre(fraction))), y); };

        // A click without moving reports the clicked place; a drag reports each new place.
        QCOMPARE(reported(control, [&] { QTest::mouseClick(&control, Qt::LeftButton, {}, at(0.26)); }),
                 std::vector<double>{0.25});
        const auto dragged = reported(control, [&] {
            QTest::mousePress(&control, Qt::LeftButton, {}, at(0.8));
            QTest::mouseMove(&control, at(0.98));
            QTest::mouseMove(&control, at(0.52));
            QTest::mouseRelease(&control, Qt::LeftButton, {}, at(0.52));
        });
        QCOMPARE(dragged, (std::vector<double>{0.8, 1.0}));   // 0.52 snaps to the shown 0.5
        QCOMPARE(control.value(), 0.5);

        // Keys step from the level shown.
        control.setFocus();
        QCOMPARE(reported(control, [&] { QTest::keyClick(&control, Qt::Key_Right); }), std::vector<double>{0.55});
        QCOMPARE(reported(control, [&] { QTest::keyClick(&control, Qt::Key_Down); }), std::vector<double>{0.45});
        control.setValue(1.0);
        QVERIFY(reported(control, [&] { QTest::keyClick(&control, Qt::Key_Up); }).empty());

        // Assistive technologies see a slider named by the title and the readout (the bus carries
        // no value text), valued by the readout.
        QAccessibleInterface* a11y = QAccessible::queryAccessibleInterface(&control);
        QVERIFY(a11y);
        QCOMPARE(a11y->role(), QAccessible::Slider);
        QCOMPARE(a11y->text(QAccessible::Name), QStringLiteral("Ambience, 100%, all room sound"));
        QCOMPARE(a11y->text(QAccessible::Value), QStringLiteral("100%, all room sound"));
        QAccessibleValueInterface* value = a11y->valueInterface();
        QVERIFY(value);
        QCOMPARE(value->minimumStepSize().toDouble(), 0.05);
        QCOMPARE(reported(control, [&] { value->setCurrentValue(0.33); }), std::vector<double>{0.35});
        // Its decrease action moves one step down; increase at the top asks for nothing.
        QAccessibleActionInterface* actions = a11y->actionInterface();
        QVERIFY(actions);
        QCOMPARE(reported(control, [&] { actions->doAction(QAccessibleActionInterface::decreaseAction()); }),
                 std::vector<double>{0.95});
        QVERIFY(reported(control, [&] { actions->doAction(QAccessibleActionInterface::increaseAction()); }).empty());

        // Disabled, it takes no input.
        control.setEnabled(false);
        QVERIFY(reported(control, [&] { QTest::mouseClick(&control, Qt::LeftButton, {}, at(0.1)); }).empty());
    }

    // Narrower than its thumb, the control still draws and its detents sit on the thumb's places.
    // The re-mix spinner stands right before the readout it is about, a readout line high, and
    // stands out from the ground in both appearances; the title never runs into it.
    void spinnerByTheReadout()
    {
        for (const auto appearance : {ui::Appearance::light, ui::Appearance::dark}) {
            ui::Environment::instance().setAppearance(appearance);
            QWidget host;
            ui::setBackground(&host, ui::ColorName::Surface);
            auto* control = new AmbienceControl(QStringLiteral("Ambience"), &host);
            control->setValue(0.75);
            control->setWorking(true);
            host.resize(296, control->heightForWidth(296));
            control->setGeometry(host.rect());
            host.show();
            QVERIFY(QTest::qWaitForWindowExposed(&host));

            const AmbienceControl::Header header = control->header();
            QVERIFY(!header.wraps);
            QVERIFY(std::abs(header.readout.left() - header.spinner.right() - 8) < 1);
            QVERIFY(header.spinner.width() >= 0.75 * header.readout.height());
            QVERIFY(std::abs(header.spinner.center().y() - header.readout.center().y()) < 1);
            QVERIFY(header.title.right() <= header.spinner.left());

            const QImage image = control->grab().toImage();
            const int ground = qGray(ui::color(ui::ColorName::Surface, appearance).rgb());
            int strong = 0;
            const QRect box = header.spinner.toAlignedRect();
            for (int x = box.left(); x <= box.right(); ++x)
                for (int y = box.top(); y <= box.bottom(); ++y)
                    if (std::abs(qGray(image.pixel(x, y)) - ground) > 100)
                        ++strong;
            QVERIFY2(strong >= 12, qPrintable(QStringLiteral("%1 strong pixels").arg(strong)));
            test::saveScreenshot(image, QStringLiteral("ambience"),
                                 appearance == ui::Appearance::dark ? QStringLiteral("working-dark")
                                                                    : QStringLiteral("working-light"));
            // Once the re-mix reports how far it has come, a ring in the spinner's place shows it,
            // and its percent is written whole inside the control, at every width.
            const auto percentDrawnWhole = [control](const QString& percent) {
                return std::ranges::count_if(test::recordPainting(control).texts, [&](const test::DrawnText& drawn) {
                           return drawn.text.contains(percent) && QRectF(control->rect()).contains(drawn.box);
                       }) == 1;
            };
            control->setWorkProgress(0.4);
            const QImage ring = control->grab().toImage();
            QVERIFY(ring != image);
            host.resize(296, control->heightForWidth(296));
            control->setGeometry(host.rect());
            QVERIFY(percentDrawnWhole(QStringLiteral("40%")));
            test::saveScreenshot(ring, QStringLiteral("ambience"),
                                 appearance == ui::Appearance::dark ? QStringLiteral("working-progress-dark")
                                                                    : QStringLiteral("working-progress-light"));

            // On a narrow control the readout takes lines of its own, led by the spinner.
            host.resize(150, control->heightForWidth(150));
            control->setGeometry(host.rect());
            QVERIFY(percentDrawnWhole(QStringLiteral("40%")));
            control->setWorkProgress(0);
            const AmbienceControl::Header narrow = control->header();
            QVERIFY(narrow.wraps);
            QVERIFY(narrow.spinner.top() >= narrow.title.bottom());
            QVERIFY(std::abs(narrow.readout.left() - narrow.spinner.right() - 8) < 1);
        }
        ui::Environment::instance().clearOverrides();
    }

    // With the focus, a ring of Ink with an InkOnInk line inside surrounds the white thumb: in the
    // dark its outer line stands out from the ground and its inner line from the thumb.
    void focusRingAroundTheThumb()
    {
        for (const auto appearance : {ui::Appearance::light, ui::Appearance::dark}) {
            ui::Environment::instance().setAppearance(appearance);
            QWidget host;
            ui::setBackground(&host, ui::ColorName::Surface);
            auto* control = new AmbienceControl(QStringLiteral("Ambience"), &host);
            control->setValue(0.5);
            host.resize(296, control->heightForWidth(296));
            control->setGeometry(host.rect());
            host.show();
            QVERIFY(QTest::qWaitForWindowExposed(&host));
            control->setFocus();
            QVERIFY(QTest::qWaitFor([&] { return control->hasFocus(); }));
            const QImage image = control->grab().toImage();
            test::saveScreenshot(image, QStringLiteral("ambience"),
                                 appearance == ui::Appearance::dark ? QStringLiteral("focused-dark")
                                                                    : QStringLiteral("focused-light"));

            // Walk right from the thumb's centre: past the white thumb, a line unlike the thumb,
            // then a line unlike the ground, before the ground again.
            const int ground = qGray(ui::color(ui::ColorName::Surface, appearance).rgb());
            const int y = int(control->trackArea().center().y());
            int x = int(control->thumbCentre(0.5));
            while (x < control->width() && qGray(image.pixel(x, y)) > 240)
                ++x;
            bool apartFromThumb = false, apartFromGround = false;
            for (int i = 0; i < 6 && x + i < control->width(); ++i) {
                const int g = qGray(image.pixel(x + i, y));
                apartFromThumb |= 255 - g > 100;
                apartFromGround |= std::abs(g - ground) > 100 && g < 240;
            }
            QVERIFY2(apartFromThumb, appearance == ui::Appearance::dark ? "dark" : "light");
            QVERIFY2(apartFromGround, appearance == ui::Appearance::dark ? "dark" : "light");
        }
        ui::Environment::instance().clearOverrides();
    }

    void narrowTrack()
    {
        AmbienceControl control(QStringLiteral("Ambience"));
        control.resize(10, control.sizeHint().height());
        const double t = control.thumbDiameter();
        QCOMPARE(control.thumbCentre(0), t / 2);
        QCOMPARE(control.thumbCentre(1), t / 2 + 1);
        QVERIFY(!control.grab().isNull());
    }

    // A level chosen while the clean's mix runs reaches the result it produces: the result is
    // re-mixed to it, so the player and the export use the level the control shows.
    void levelSetDuringARun()
    {
        test::CoordinatorRig rig;
        Exporter exporter(rig.defaults.get());
        InspectorView inspector(rig.coordinator.get(), rig.player.get(), &exporter, rig.defaults.get());
        inspector.resize(336, 720);
        inspector.show();
        QVERIFY(QTest::qWaitForWindowExposed(&inspector));

        rig.media->mixGate = test::makeGate();
        rig.coordinator->openVideo(rig.video(QStringLiteral("Walk.mp4")));
        QVERIFY(test::waitFor([&] { return rig.media->mixAmbiences.size() == 1; }));
        QCOMPARE(rig.media->mixAmbiences.front(), 0.75);

        // No result yet: the control is disabled, so the level comes in the way the song check
        // card's button or the settings window would set it.
        QVERIFY(!inspector.ambienceControl()->isEnabled());
        rig.coordinator->setAmbience(0.2);
        QCOMPARE(inspector.ambienceControl()->value(), 0.2);
        rig.media->mixGate->resolve(true);

        QVERIFY(test::waitFor([&] { return rig.coordinator->hasPreviewResult(); }));
        QVERIFY(test::waitFor([&] {
            return rig.coordinator->currentResult()->ambience == 0.2 && !rig.coordinator->isRemixing();
        }));
        QCOMPARE(rig.media->mixAmbiences.back(), 0.2);
        QCOMPARE(rig.coordinator->currentResult()->cleanAudioURL, rig.media->mixOutputs.back());

        // With a result the control reports to the coordinator, which re-mixes once more.
        inspector.ambienceControl()->setFocus();
        QTest::keyClick(inspector.ambienceControl(), Qt::Key_Right);
        QCOMPARE(rig.coordinator->settings().ambience, 0.25);
        QVERIFY(test::waitFor([&] { return rig.coordinator->currentResult()->ambience == 0.25; }));
    }
};

QTEST_MAIN(TestAmbience)
#include "test_ambience.moc"
