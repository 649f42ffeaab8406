#pragma once

// The kit's named colours, the glass background and the stems' names and colours.
//
// Views never write colour values: they ask for a colour by name, e.g.
//     painter.fillRect(r, hf::ui::color(hf::ui::ColorName::Paper));
// which answers in the appearance (light or dark) currently in force (see environment.h).
// colorValues() gives both values of a name; colorByName("Ink") looks a name up by its text.
// Shapes with the kit's rounded corners come from roundedRectPath(); paintGlassBackground()
// fills a shape with the floating controls' background.

#include "pipeline/stem.h"

#include <QColor>
#include <QPainterPath>
#include <QRectF>
#include <QString>

#include <array>
#include <optional>

class QPainter;

namespace hf::ui {

enum class Appearance { light, dark };

enum class ColorName {
    ControlFill,
    ControlSelected,
    ControlStroke,
    Dialogue,
    DisabledText,
    Effects,
    Ink,
    InkOnInk,
    InkSecondary,
    Music,
    Muted,
    Paper,
    Picture,
    Rule,
    SecondaryText,
    SliderTrack,
    Surface,
    Unseparated,
};

inline constexpr std::array allColorNames{
    ColorName::ControlFill, ColorName::ControlSelected, ColorName::ControlStroke,
    ColorName::Dialogue,    ColorName::DisabledText,    ColorName::Effects,
    ColorName::Ink,         ColorName::InkOnInk,        ColorName::InkSecondary,
    ColorName::Music,       ColorName::Muted,           ColorName::Paper,
    ColorName::Picture,     ColorName::Rule,            ColorName::SecondaryText,
    ColorName::SliderTrack, ColorName::Surface,         ColorName::Unseparated,
};

struct ColorValues {
    QColor light;
    QColor dark;
    QColor in(Appearance appearance) const { return appearance == Appearance::dark ? dark : light; }
};

// Both values of a named colour.
ColorValues colorValues(ColorName name);
// The colour in the given appearance, or in the one currently in force.
QColor color(ColorName name, Appearance appearance);
QColor color(ColorName name);
// "Ink", "Paper", ... (the name as written in the enumeration).
QString colorNameText(ColorName name);
std::optional<ColorName> colorByName(QStringView name);

// The localized display name of a stem: "Dialogue", "Music", "Effects and ambience".
QString stemDisplayName(Stem stem);
// The stem's named colour: Dialogue, Music or Effects.
ColorName stemColorName(Stem stem);
QColor stemColor(Stem stem);

// A rounded rectangle with the kit's smooth ("continuous") corners. The radius is clamped to
// half the shorter side.
QPainterPath roundedRectPath(const QRectF& rect, double radius);

// Fills `shape` with the background of floating controls: a flat "ControlFill" (there is no
// platform glass material to draw here).
void paintGlassBackground(QPainter& painter, const QPainterPath& shape);

} // namespace hf::ui
