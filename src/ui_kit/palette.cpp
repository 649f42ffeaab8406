#include "ui_kit/palette.h"

#include "platform/texts.h"
#include "ui_kit/environment.h"

#include <QPainter>

#include <algorithm>

namespace hf::ui {

namespace {

struct Entry {
    ColorName name;
    const char* text;
    QRgb light;
    QRgb dark;
};

// The palette. Light values sit on a warm paper ground; dark values keep the same roles with
// the ink inverted. Stem colours are chosen to stay apart from each other and from the grey
// of an unseparated lane in both appearances.
constexpr Entry palette[] = {
    {ColorName::ControlFill, "ControlFill", 0xFFECE9E2, 0xFF353430},
    {ColorName::ControlSelected, "ControlSelected", 0xFFD9D5CB, 0xFF4A4843},
    {ColorName::ControlStroke, "ControlStroke", 0xFF8A867D, 0xFF8F8C84},
    {ColorName::Dialogue, "Dialogue", 0xFF2F74D0, 0xFF5B9CF0},
    {ColorName::DisabledText, "DisabledText", 0xFFA9A59C, 0xFF6F6C65},
    {ColorName::Effects, "Effects", 0xFF2A9466, 0xFF47BF88},
    {ColorName::Ink, "Ink", 0xFF1D1C1A, 0xFFF2F0EB},
    {ColorName::InkOnInk, "InkOnInk", 0xFFFFFFFF, 0xFF1D1C1A},
    {ColorName::InkSecondary, "InkSecondary", 0xFF4B4944, 0xFFC6C3BB},
    {ColorName::Music, "Music", 0xFFD24A2C, 0xFFF0704F},
    {ColorName::Muted, "Muted", 0xFF77746C, 0xFF9D9A91},
    {ColorName::Paper, "Paper", 0xFFF7F5F0, 0xFF1B1A18},
    {ColorName::Picture, "Picture", 0xFF151413, 0xFF050505},
    {ColorName::Rule, "Rule", 0xFFE1DDD4, 0xFF3A3935},
    {ColorName::SecondaryText, "SecondaryText", 0xFF6A675F, 0xFFAAA79E},
    {ColorName::SliderTrack, "SliderTrack", 0xFFD8D4CA, 0xFF46443F},
    {ColorName::Surface, "Surface", 0xFFFFFFFF, 0xFF262523},
    {ColorName::Unseparated, "Unseparated", 0xFF8E8B84, 0xFF7C7A74},
};

const Entry& entry(ColorName name)
{
    return palette[static_cast<int>(name)];
}

} // namespace

ColorValues colorValues(ColorName name)
{
    const Entry& e = entry(name);
    return {QColor::fromRgba(e.light), QColor::fromRgba(e.dark)};
}

QColor color(ColorName name, Appearance appearance)
{
    return colorValues(name).in(appearance);
}

QColor color(ColorName name)
{
    return color(name, appearanceInForce());
}

QString colorNameText(ColorName name)
{
    return QString::fromLatin1(entry(name).text);
}

std::optional<ColorName> colorByName(QStringView name)
{
    for (const Entry& e : palette)
        if (name == QLatin1String(e.text))
            return e.name;
    return std::nullopt;
}

QString stemDisplayName(Stem stem)
{
    switch (stem) {
    case Stem::dialogue:
        return text("ui.stem.dialogue", "Dialogue");
    case Stem::music:
        return text("ui.stem.music", "Music");
    case Stem::effects:
        return text("ui.stem.effects", "Effects and ambience");
    }
    return {};
}

ColorName stemColorName(Stem stem)
{
    switch (stem) {
    case Stem::dialogue:
        return ColorName::Dialogue;
    case Stem::music:
        return ColorName::Music;
    case Stem::effects:
        return ColorName::Effects;
    }
    return ColorName::Unseparated;
}

QColor stemColor(Stem stem)
{
    return color(stemColorName(stem));
}

QPainterPath roundedRectPath(const QRectF& rect, double radius)
{
    QPainterPath path;
    const double half = std::min(rect.width(), rect.height()) / 2.0;
    radius = std::clamp(radius, 0.0, half);
    if (radius <= 0.0) {
        path.addRect(rect);
        return path;
    }
    // Smooth corners: each corner starts further along its edges than a circular arc would
    // (up to 1.28 × radius) and bends with control points near the corner, so the curvature
    // eases in instead of jumping. Where the sides are too short for that, the extension
    // shrinks towards a plain circular arc (a capsule or circle stays exact).
    const double extent = std::min(radius * 1.28, half);
    const double k = extent / radius;                 // 1 .. 1.28
    const double c = 0.4477 - (k - 1.0) * 0.35;       // control point distance from the corner, in radii
    const double e = extent;
    const double d = c * radius;
    const double l = rect.left(), t = rect.top(), r = rect.right(), b = rect.bottom();
    path.moveTo(l + e, t);
    path.lineTo(r - e, t);
    path.cubicTo(r - d, t, r, t + d, r, t + e);
    path.lineTo(r, b - e);
    path.cubicTo(r, b - d, r - d, b, r - e, b);
    path.lineTo(l + e, b);
    path.cubicTo(l + d, b, l, b - d, l, b - e);
    path.lineTo(l, t + e);
    path.cubicTo(l, t + d, l + d, t, l + e, t);
    path.closeSubpath();
    return path;
}

void paintGlassBackground(QPainter& painter, const QPainterPath& shape)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(shape, color(ColorName::ControlFill));
    painter.restore();
}

} // namespace hf::ui
