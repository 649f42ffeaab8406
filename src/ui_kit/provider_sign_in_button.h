#pragma once

// The sign-in buttons of the two providers, drawn in the providers' look: a white face with a
// grey border, the provider's logo at the left and the title centred, or, when the title does
// not fit beside the logo that way, logo then a wrapping title. The face stays white in dark
// mode; a focus ring in "Ink" stands outside the face while the button has keyboard focus (the
// widget keeps a 4 px margin around the face for it).
//
//     auto* apple = new hf::ui::ProviderSignInButton(hf::ui::SignInProvider::apple);
//     connect(apple, &QAbstractButton::clicked, sheet, &SignInSheet::startAppleSignIn);
//
// The object name is "signIn.apple" / "signIn.google"; the accessible name is the title.

#include <QAbstractButton>
#include <QFont>
#include <QString>

namespace hf::ui {

enum class SignInProvider { apple, google };

// The localized title: "Sign in with Apple", "Sign in with Google".
QString signInProviderTitle(SignInProvider provider);
QString signInProviderIdentifier(SignInProvider provider);

// Registers the title font shipped with the application, once per process; whether it is
// available. Without it the titles use the kit's family at medium weight.
bool providerTitleFontRegistered();
// The title font for a label height `h` (h × 0.43 pixels).
QFont providerTitleFont(double h);

class ProviderSignInButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit ProviderSignInButton(SignInProvider provider, QWidget* parent = nullptr);

    SignInProvider provider() const { return m_provider; }

    // The label height at the current text size (36 at the default size).
    static double labelHeight();
    // Space kept around the face for the focus ring.
    static constexpr int ringMargin = 4;

    // Whether the title is centred on the button (true) or follows the logo and wraps (false)
    // at the current width.
    bool usesCentredLayout() const;
    bool usesCentredLayout(int width) const;
    // The face: the widget's rectangle less the ring margin.
    QRectF faceRect() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override;

private:
    // The title's size when wrapped within `width` (unwrapped when negative).
    QSizeF titleSize(double width) const;

    SignInProvider m_provider;
};

// Draws a provider's logo fitted into `box` (the logo's own frame: 31:44 for apple, square for
// google). Exposed for the gallery and tests.
void paintProviderLogo(QPainter& painter, SignInProvider provider, const QRectF& box);

} // namespace hf::ui
