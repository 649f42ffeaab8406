#include "ui_kit/provider_sign_in_button.h"

#include "platform/texts.h"
#include "ui_kit/buttons.h"
#include "ui_kit/environment.h"
#include "ui_kit/palette.h"
#include "ui_kit/text_styles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QPaintEngine>
#include <QPainter>
#include <QPixmap>

#include <cmath>
#include <mutex>

namespace hf::ui {

namespace {

constexpr double baseHeight = 36;
constexpr double faceRadius = 12;
constexpr double ringRadius = 15;
constexpr double ringWidth = 2;

QString titleFontFamily; // set once by the registration

bool registerProviderFont()
{
    const QString fileName = QStringLiteral("GoogleSans-Medium.ttf");
    const QStringList candidates = {
        QStringLiteral(":/fonts/") + fileName,
        QCoreApplication::applicationDirPath() + QStringLiteral("/../share/hushframe/fonts/") + fileName,
        QCoreApplication::applicationDirPath() + QStringLiteral("/fonts/") + fileName,
    };
    for (const QString& path : candidates) {
        if (!QFile::exists(path))
            continue;
        const int id = QFontDatabase::addApplicationFont(path);
        if (id < 0)
            return false;
        const QStringList families = QFontDatabase::applicationFontFamilies(id);
        if (families.isEmpty())
            return false;
        titleFontFamily = families.first();
        return true;
    }
    return false;
}

QColor titleColor(SignInProvider provider)
{
    return provider == SignInProvider::apple ? QColor(0, 0, 0) : QColor(31, 31, 31);
}

QColor borderColor()
{
    return QColor(116, 119, 117);
}

QPainterPath annularSector(const QPointF& centre, double outer, double inner, double startDeg, double sweepDeg)
{
    QPainterPath path;
    const QRectF outerBox(centre - QPointF(outer, outer), QSizeF(2 * outer, 2 * outer));
    const QRectF innerBox(centre - QPointF(inner, inner), QSizeF(2 * inner, 2 * inner));
    path.arcMoveTo(outerBox, startDeg);
    path.arcTo(outerBox, startDeg, sweepDeg);
    path.arcTo(innerBox, startDeg + sweepDeg, -sweepDeg);
    path.closeSubpath();
    return path;
}

// The apple, in a glyph box 82 wide and 100 tall.
QPainterPath appleGlyph()
{
    QPainterPath body;
    body.moveTo(41, 29);
    body.cubicTo(36, 26, 29, 23, 22, 24);
    body.cubicTo(8, 26, 0, 38, 0, 53);
    body.cubicTo(0, 72, 10, 96, 20, 100);
    body.cubicTo(27, 103, 32, 97, 41, 97);
    body.cubicTo(50, 97, 55, 103, 62, 100);
    body.cubicTo(70, 96, 78, 84, 82, 72);
    body.cubicTo(72, 67, 68, 58, 68, 50);
    body.cubicTo(68, 42, 72, 37, 77, 35);
    body.cubicTo(72, 27, 64, 24, 59, 24);
    body.cubicTo(52, 24, 46, 28, 41, 29);
    body.closeSubpath();
    QPainterPath leaf;
    leaf.moveTo(41, 22);
    leaf.cubicTo(41, 12, 48, 3, 58, 0);
    leaf.cubicTo(59, 10, 52, 20, 41, 22);
    leaf.closeSubpath();
    return body.united(leaf);
}

} // namespace

QString signInProviderTitle(SignInProvider provider)
{
    return provider == SignInProvider::apple ? text("ui.signIn.apple", "Sign in with Apple")
                                             : text("ui.signIn.google", "Sign in with Google");
}

QString signInProviderIdentifier(SignInProvider provider)
{
    return provider == SignInProvider::apple ? QStringLiteral("signIn.apple") : QStringLiteral("signIn.google");
}

bool providerTitleFontRegistered()
{
    static bool registered = false;
    static std::once_flag once;
    std::call_once(once, [] { registered = registerProviderFont(); });
    return registered;
}

QFont providerTitleFont(double h)
{
    const double size = h * 0.43;
    if (providerTitleFontRegistered()) {
        QFont f(titleFontFamily);
        f.setPixelSize(std::max(1, qRound(size)));
        return f;
    }
    return fontOfSize(size, QFont::Medium);
}

void paintProviderLogo(QPainter& painter, SignInProvider provider, const QRectF& box)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    if (provider == SignInProvider::apple) {
        // The glyph takes the middle of its frame, like the provider's own artwork.
        const double glyphHeight = box.height() * 0.42;
        const double scale = glyphHeight / 100.0;
        const QPointF origin(box.center().x() - 41 * scale, box.center().y() - glyphHeight / 2.0 - 2 * scale);
        QTransform t;
        t.translate(origin.x(), origin.y());
        t.scale(scale, scale);
        painter.fillPath(t.map(appleGlyph()), QColor(0, 0, 0));
    } else {
        const double side = std::min(box.width(), box.height());
        const QPointF c = box.center();
        const double outer = side / 2.0;
        const double thickness = side * 0.2;
        const double inner = outer - thickness;
        painter.fillPath(annularSector(c, outer, inner, 42, 110), QColor(0xEA, 0x43, 0x35));
        painter.fillPath(annularSector(c, outer, inner, 150, 62), QColor(0xFB, 0xBC, 0x05));
        painter.fillPath(annularSector(c, outer, inner, 210, 106), QColor(0x34, 0xA8, 0x53));
        QPainterPath blue = annularSector(c, outer, inner, 314, 46.5);
        QPainterPath bar;
        bar.addRect(QRectF(c.x() - side * 0.02, c.y() - thickness / 2.0, outer + side * 0.02 - 0.0, thickness));
        QPainterPath clip;
        clip.addEllipse(c, outer, outer);
        blue = blue.united(bar.intersected(clip));
        painter.fillPath(blue, QColor(0x42, 0x85, 0xF4));
    }
    painter.restore();
}

ProviderSignInButton::ProviderSignInButton(SignInProvider provider, QWidget* parent)
    : QAbstractButton(parent), m_provider(provider)
{
    setText(signInProviderTitle(provider));
    setAccessibleName(text());
    setObjectName(signInProviderIdentifier(provider));
    // Keyboard focus only: a click does not leave the ring behind.
    setFocusPolicy(Qt::TabFocus);
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

double ProviderSignInButton::labelHeight()
{
    return Environment::instance().scaled(baseHeight);
}

namespace {

// The title's font for a line `width` wide: the provider size, made smaller only as far as the
// longest word needs to fit on one line, so a word is never broken at the largest text sizes.
QFont fittedTitleFont(double h, const QString& title, double width)
{
    QFont font = providerTitleFont(h);
    const QFontMetricsF metrics(font);
    double longest = 0;
    for (const QString& word : title.split(u' ', Qt::SkipEmptyParts))
        longest = std::max(longest, metrics.horizontalAdvance(word));
    if (width > 0 && longest > width)
        font.setPixelSize(std::max(1, int(std::floor(font.pixelSize() * width / longest))));
    return font;
}

} // namespace

QSizeF ProviderSignInButton::titleSize(double width) const
{
    const QFont font = width < 0 ? providerTitleFont(labelHeight())
                                 : fittedTitleFont(labelHeight(), text(), std::max(1.0, width));
    if (width < 0) {
        const QFontMetricsF metrics(font);
        return QSizeF(metrics.horizontalAdvance(text()), metrics.height());
    }
    return wrappedTextSize(font, text(), std::max(1.0, width));
}

bool ProviderSignInButton::usesCentredLayout(int width) const
{
    const double h = labelHeight();
    const double s = h * 12.0 / 11.0;
    const double face = width - 2 * ringMargin;
    return s + titleSize(-1).width() + s <= face;
}

bool ProviderSignInButton::usesCentredLayout() const
{
    return usesCentredLayout(width());
}

QRectF ProviderSignInButton::faceRect() const
{
    return QRectF(rect()).adjusted(ringMargin, ringMargin, -ringMargin, -ringMargin);
}

QSize ProviderSignInButton::sizeHint() const
{
    const double h = labelHeight();
    const double s = h * 12.0 / 11.0;
    return QSize(int(std::ceil(2 * s + titleSize(-1).width())) + 2 * ringMargin,
                 int(std::ceil(h)) + 2 * ringMargin);
}

QSize ProviderSignInButton::minimumSizeHint() const
{
    const double h = labelHeight();
    return QSize(int(std::ceil(h * 12.0 / 11.0 + h * 4.0 / 11.0)) + 2 * ringMargin + 20,
                 int(std::ceil(h)) + 2 * ringMargin);
}

int ProviderSignInButton::heightForWidth(int width) const
{
    const double h = labelHeight();
    if (usesCentredLayout(width))
        return int(std::ceil(h)) + 2 * ringMargin;
    const double s = h * 12.0 / 11.0;
    const double titleWidth = width - 2 * ringMargin - s - h * 4.0 / 11.0;
    const double rowHeight = std::max(h, titleSize(titleWidth).height() + 2 * h * 0.2);
    return int(std::ceil(rowHeight)) + 2 * ringMargin;
}

void ProviderSignInButton::paintEvent(QPaintEvent*)
{
    const double h = labelHeight();
    const double s = h * 12.0 / 11.0;
    const QRectF face = faceRect();
    QPainter painter(this);
    const QPaintDevice* target = painter.paintEngine() ? painter.paintEngine()->paintDevice() : nullptr;
    const double dpr = target ? target->devicePixelRatioF() : devicePixelRatioF();

    // The face is drawn into a layer so that the disabled look fades it as a whole.
    QPixmap layer((size() * dpr));
    layer.setDevicePixelRatio(dpr);
    layer.fill(Qt::transparent);
    {
        QPainter p(&layer);
        p.setRenderHint(QPainter::Antialiasing);
        const QPainterPath shape = roundedRectPath(face, faceRadius);
        p.fillPath(shape, Qt::white);

        // Logo slot at the face's leading edge, vertically centred.
        QRectF logo;
        if (m_provider == SignInProvider::apple) {
            const double w = h * 31.0 / 44.0;
            logo = QRectF(face.left() + h * 21.0 / 88.0, face.center().y() - h / 2.0, w, h);
        } else {
            const double side = h * 5.0 / 11.0;
            logo = QRectF(face.left() + h * 4.0 / 11.0, face.center().y() - side / 2.0, side, side);
        }
        paintProviderLogo(p, m_provider, logo);

        p.setFont(providerTitleFont(h));
        p.setPen(titleColor(m_provider));
        if (usesCentredLayout()) {
            p.drawText(QRectF(face.left() + s, face.top(), face.width() - 2 * s, face.height()),
                       Qt::AlignCenter | Qt::TextSingleLine, text());
        } else {
            const QRectF title(face.left() + s, face.top() + h * 0.2, face.width() - s - h * 4.0 / 11.0,
                               face.height() - 2 * h * 0.2);
            drawWrappedText(p, title, fittedTitleFont(h, text(), title.width()), text(),
                            Qt::AlignLeft | Qt::AlignVCenter);
        }

        if (isDown())
            p.fillPath(shape, QColor(0, 0, 0, qRound(0.08 * 255)));
        if (Environment::instance().increasedContrast())
            strokeInside(p, face, faceRadius, 1.5, Qt::black);
        else
            strokeInside(p, face, faceRadius, 1.0, borderColor());
    }

    painter.setOpacity(isEnabled() ? 1.0 : 0.7);
    painter.drawPixmap(0, 0, layer);
    painter.setOpacity(1.0);
    if (hasFocus())
        strokeInside(painter, face.adjusted(-ringMargin, -ringMargin, ringMargin, ringMargin), ringRadius,
                     ringWidth, color(ColorName::Ink));
}

bool ProviderSignInButton::hitButton(const QPoint& pos) const
{
    return roundedRectPath(faceRect(), faceRadius).contains(QPointF(pos) + QPointF(0.5, 0.5));
}

} // namespace hf::ui
