// The kit's buttons and the contrast edge: faces, pressed and disabled looks, widths and
// heights, the shapes that take clicks, and the provider sign-in buttons.

#include "helpers_kit.h"
#include "support/test_support.h"

#include "ui_kit/buttons.h"
#include "ui_kit/environment.h"
#include "ui_kit/provider_sign_in_button.h"
#include "ui_kit/text_styles.h"

#include <QAccessible>
#include <QApplication>
#include <QFontMetricsF>
#include <QSignalSpy>
#include <QTest>

using namespace hf::ui;
using hf::test::KitHost;

namespace {

QColor paper()
{
    return color(ColorName::Paper);
}

} // namespace

class KitButtons : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { Environment::instance().clearOverrides(); }

    void inkButtonFaces()
    {
        KitHost host;
        auto* plain = host.add(new InkButton(QStringLiteral("Export")));
        auto* disabled = host.add(new InkButton(QStringLiteral("Export")));
        disabled->setEnabled(false);
        auto* pressed = host.add(new InkButton(QStringLiteral("Export")));
        pressed->setDown(true);
        host.settle();

        // Full width whatever the title, and at least the minimum height.
        QCOMPARE(plain->width(), host.width() - 20);
        QCOMPARE(plain->height(), 40);
        const QPointF face(8, plain->height() / 2.0);
        HF_COMPARE_COLOR(host.pixel(plain, face), color(ColorName::Ink));
        // Disabled: a "ControlFill" face at full opacity with a "DisabledText" title.
        HF_COMPARE_COLOR(host.pixel(disabled, face), color(ColorName::ControlFill));
        const QRect label = QRect(disabled->mapTo(&host, QPoint(16, 10)), QSize(disabled->width() - 32, 20));
        QVERIFY(hf::test::contains(host.picture(), label, color(ColorName::DisabledText), 12));
        // Pressed: the whole button at 82 %.
        HF_COMPARE_COLOR(host.pixel(pressed, face), hf::test::blend(color(ColorName::Ink), paper(), 0.82));
        hf::test::saveScreenshot(host.picture(), "kit", "ink-buttons");
    }

    void inkButtonGrowsToItsLabel()
    {
        Environment::instance().setTextSize(TextSize::accessibility3);
        KitHost host(260);
        auto* button = host.add(new InkButton(QStringLiteral("Export the cleaned video to a new file")));
        host.settle();
        const QSizeF label = wrappedTextSize(font(TextStyle::body, QFont::DemiBold), button->text(), button->width() - 32);
        QVERIFY(label.height() > 40 - 20);
        QCOMPARE(button->height(), int(std::ceil(label.height() + 20)));
        button->setMinHeight(400);
        host.settle();
        QCOMPARE(button->height(), 400);
    }

    void clicksCountOnlyInsideTheFace()
    {
        KitHost host;
        auto* ink = host.add(new InkButton(QStringLiteral("Export")));
        auto* round = new RoundControl(false, 40);
        host.add(round);
        host.settle();
        QSignalSpy inkClicks(ink, &QAbstractButton::clicked);
        QTest::mouseClick(ink, Qt::LeftButton, {}, QPoint(1, 1)); // outside the rounded corner
        QCOMPARE(inkClicks.count(), 0);
        QTest::mouseClick(ink, Qt::LeftButton, {}, QPoint(3, ink->height() / 2)); // in the label's inset
        QCOMPARE(inkClicks.count(), 1);

        QSignalSpy roundClicks(round, &QAbstractButton::clicked);
        QTest::mouseClick(round, Qt::LeftButton, {}, QPoint(3, 3));
        QCOMPARE(roundClicks.count(), 0);
        QTest::mouseClick(round, Qt::LeftButton, {}, QPoint(20, 2));
        QCOMPARE(roundClicks.count(), 1);
    }

    void quietButtonWidthsAndFaces()
    {
        KitHost host;
        auto* wide = host.add(new QuietButton(QStringLiteral("Choose")));
        auto* hugging = host.add(new QuietButton(QStringLiteral("Choose")));
        hugging->setFillsWidth(false);
        auto* disabled = host.add(new QuietButton(QStringLiteral("Choose")));
        disabled->setEnabled(false);
        disabled->setDown(true);
        host.settle();
        QCOMPARE(wide->width(), host.width() - 20);
        const double label = QFontMetricsF(font(TextStyle::body, QFont::DemiBold)).horizontalAdvance(QStringLiteral("Choose"));
        QVERIFY(std::abs(hugging->width() - (label + 28)) <= 1.5);
        const QPointF face(6, wide->height() / 2.0);
        HF_COMPARE_COLOR(host.pixel(wide, face), color(ColorName::ControlFill));
        // Disabled keeps its face (and the pressed fill); only the title turns "DisabledText".
        HF_COMPARE_COLOR(host.pixel(disabled, face), color(ColorName::ControlSelected));
    }

    // The outline exists only at increased contrast, inside the face, and comes and goes at once.
    void contrastEdge()
    {
        Environment& env = Environment::instance();
        KitHost host;
        auto* quiet = host.add(new QuietButton(QStringLiteral("Choose")));
        auto* round = new RoundControl(false, 40);
        auto* floating = new RoundControl(true, 40);
        host.add(round);
        host.add(floating);
        auto* plain = host.add(new QWidget);
        plain->setFixedHeight(30);
        attachContrastEdge(plain, 6);
        host.settle();

        const auto edges = [&] {
            return std::array{host.pixel(quiet, QPointF(quiet->width() / 2.0, 0)),
                              host.pixel(round, QPointF(20, 0)), host.pixel(floating, QPointF(20, 0)),
                              host.pixel(plain, QPointF(plain->width() / 2.0, 0))};
        };
        auto standard = edges();
        HF_COMPARE_COLOR(standard[0], color(ColorName::ControlFill));
        HF_COMPARE_COLOR(standard[3], paper());

        env.setIncreasedContrast(true);
        const QColor stroke = color(ColorName::ControlStroke);
        auto increased = edges();
        HF_COMPARE_COLOR(increased[0], stroke);
        HF_COMPARE_COLOR(increased[1], stroke);
        QVERIFY(!hf::test::near(increased[2], stroke)); // floating controls never show it
        HF_COMPARE_COLOR(increased[3], stroke);
        // 1.5 px wide: the third row is the face again.
        HF_COMPARE_COLOR(host.pixel(quiet, QPointF(quiet->width() / 2.0, 2)), color(ColorName::ControlFill));
        hf::test::saveScreenshot(host.picture(), "kit", "contrast-edges");

        env.setIncreasedContrast(false);
        auto back = edges();
        HF_COMPARE_COLOR(back[0], color(ColorName::ControlFill));
        HF_COMPARE_COLOR(back[3], paper());
    }

    void roundControl()
    {
        Environment& env = Environment::instance();
        KitHost host;
        auto* round = new RoundControl(false, 36);
        round->setText(QStringLiteral("+"));
        host.add(round);
        host.settle();
        round->setDown(true);
        HF_COMPARE_COLOR(host.pixel(round, QPointF(18, 4)), color(ColorName::ControlSelected));
        round->setFloating(true);
        HF_COMPARE_COLOR(host.pixel(round, QPointF(18, 4)), color(ColorName::ControlFill));

        // The circle keeps its diameter at every text size.
        env.setTextSize(TextSize::accessibility5);
        host.settle();
        QCOMPARE(round->size(), QSize(36, 36));
    }

    void providerButtonLook()
    {
        Environment& env = Environment::instance();
        KitHost host(420);
        auto* apple = host.add(new ProviderSignInButton(SignInProvider::apple));
        auto* google = host.add(new ProviderSignInButton(SignInProvider::google));
        auto* disabled = host.add(new ProviderSignInButton(SignInProvider::google));
        disabled->setEnabled(false);
        host.settle();

        QCOMPARE(apple->objectName(), QStringLiteral("signIn.apple"));
        QCOMPARE(google->objectName(), QStringLiteral("signIn.google"));
        QCOMPARE(QAccessible::queryAccessibleInterface(apple)->text(QAccessible::Name),
                 QStringLiteral("Sign in with Apple"));
        QCOMPARE(QAccessible::queryAccessibleInterface(google)->text(QAccessible::Name),
                 QStringLiteral("Sign in with Google"));
        QCOMPARE(apple->height(), 36 + 2 * ProviderSignInButton::ringMargin);

        const QRectF face = apple->faceRect();
        const QPointF inside(face.center().x(), face.top() + 3);
        const QPointF border(face.center().x(), face.top());
        const QPointF ring(1, face.center().y());
        HF_COMPARE_COLOR(host.pixel(apple, inside), Qt::white);
        HF_COMPARE_COLOR(host.pixel(apple, border), QColor(116, 119, 117));
        HF_COMPARE_COLOR(host.pixel(disabled, inside), hf::test::blend(Qt::white, paper(), 0.7));

        // Keyboard focus: the "Ink" ring stands outside the face; nothing without focus.
        google->setFocus(Qt::TabFocusReason);
        QVERIFY(google->hasFocus());
        HF_COMPARE_COLOR(host.pixel(apple, ring), paper());
        HF_COMPARE_COLOR(host.pixel(google, ring), color(ColorName::Ink));
        HF_COMPARE_COLOR(host.pixel(google, inside), Qt::white);

        // White in dark mode too; a black 1.5 px border at increased contrast.
        env.setAppearance(Appearance::dark);
        env.setIncreasedContrast(true);
        HF_COMPARE_COLOR(host.pixel(apple, inside), Qt::white);
        HF_COMPARE_COLOR(host.pixel(apple, border), Qt::black);
        // 1.5 px: the second row is half covered.
        HF_COMPARE_COLOR(host.pixel(apple, QPointF(face.center().x(), face.top() + 1)),
                         hf::test::blend(Qt::black, Qt::white, 0.5));
        HF_COMPARE_COLOR(host.pixel(google, ring), color(ColorName::Ink, Appearance::dark));
        hf::test::saveScreenshot(host.picture(), "kit", "provider-dark-contrast");

        // Clicks in the ring's margin do not reach the button.
        QSignalSpy clicks(apple, &QAbstractButton::clicked);
        QTest::mouseClick(apple, Qt::LeftButton, {}, QPoint(1, apple->height() / 2));
        QCOMPARE(clicks.count(), 0);
        QTest::mouseClick(apple, Qt::LeftButton, {}, QPoint(apple->width() / 2, apple->height() / 2));
        QCOMPARE(clicks.count(), 1);
    }

    // A title too long for the centred layout moves beside the logo and wraps, and the button grows.
    void providerButtonSwitchesLayoutAtAWidth()
    {
        Environment& env = Environment::instance();
        ProviderSignInButton button(SignInProvider::google);
        const double h = ProviderSignInButton::labelHeight();
        const double title = QFontMetricsF(providerTitleFont(h)).horizontalAdvance(button.text());
        const int fits = int(std::ceil(2 * h * 12 / 11 + title)) + 2 * ProviderSignInButton::ringMargin;
        QVERIFY(button.usesCentredLayout(fits));
        QVERIFY(!button.usesCentredLayout(fits - 1));
        QCOMPARE(button.heightForWidth(fits - 1), button.heightForWidth(fits)); // one line still fits
        QVERIFY(button.heightForWidth(140) > button.heightForWidth(fits));

        // At the largest text size every length follows h.
        env.setTextSize(TextSize::accessibility5);
        const double big = ProviderSignInButton::labelHeight();
        QVERIFY(big > 100);
        QCOMPARE(providerTitleFont(big).pixelSize(), qRound(big * 0.43));
        QVERIFY(!button.usesCentredLayout(400));

        KitHost host(300);
        host.add(new ProviderSignInButton(SignInProvider::apple));
        host.add(new ProviderSignInButton(SignInProvider::google));
        host.settle();
        hf::test::saveScreenshot(host.picture(), "kit", "provider-wrapped");
    }

    void providerTitleFontFallsBackToTheMediumSystemFont()
    {
        QVERIFY(!providerTitleFontRegistered()); // the font file is not shipped
        const QFont title = providerTitleFont(36);
        QCOMPARE(title.pixelSize(), qRound(36 * 0.43));
        QCOMPARE(title.weight(), QFont::Medium);
        QCOMPARE(title.family(), fontFamily());
    }
};

QTEST_MAIN(KitButtons)
#include "test_kit_buttons.moc"
