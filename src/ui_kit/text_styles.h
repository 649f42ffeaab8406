#pragma once

// Fonts and text looks of the kit. Every font of the application comes from here, so the
// family is chosen in one place.
//
//     label->setFont(hf::ui::font(hf::ui::TextStyle::body, QFont::DemiBold));
//     hf::ui::setTextStyle(label, hf::ui::TextStyle::callout);      // kept in step with the text size
//     hf::ui::applyHeadingStyle(title, hf::ui::TextStyle::title2);  // semibold, tightened
//     hf::ui::applyDisplayStyle(bigNumber, 32);                      // 32 at the default size
//     hf::ui::setForeground(label, hf::ui::ColorName::Muted);       // kept in step with the appearance
//
// The helpers that take a widget store their choice on it; the kit re-applies it whenever the
// text size or appearance changes, so callers set them once.

#include "ui_kit/environment.h"
#include "ui_kit/palette.h"

#include <QFont>
#include <QRectF>
#include <QString>
#include <QStringList>

#include <optional>

class QPainter;
class QWidget;

namespace hf::ui {

enum class TextStyle {
    largeTitle,
    title,
    title2,
    title3,
    headline,
    subheadline,
    body,
    callout,
    footnote,
    caption,
    caption2,
};

// The family every kit font uses.
QString fontFamily();

// The style's size in pixels at the default text size.
double baseFontSize(TextStyle style);
// How much the style grows (or shrinks) at `size` relative to the default size.
double textScale(TextStyle style, TextSize size);
// The style's size at `size`.
double fontSize(TextStyle style, TextSize size);

// The style's font at the current text size (or at `size`), with a weight. `capAt` limits how
// far the size grows (round controls stop at xxxLarge).
QFont font(TextStyle style, QFont::Weight weight = QFont::Normal);
QFont font(TextStyle style, QFont::Weight weight, TextSize size);
QFont cappedFont(TextStyle style, QFont::Weight weight, TextSize capAt);
// The kit's family at a fixed pixel size.
QFont fontOfSize(double pixelSize, QFont::Weight weight = QFont::Normal);

// A part of a window whose texts stop growing at `cap` (none: they follow the desktop all the
// way), such as the main window's toolbar. The cap holds for `root` and everything under it,
// the kit's styled widgets and buttons included; the nearest cap above a widget wins.
//     hf::ui::setTextSizeCap(toolbar, hf::ui::TextSize::xxxLarge);
void setTextSizeCap(QWidget* root, std::optional<TextSize> cap);
// The text size that holds for `widget`: the desktop's, stopped at its nearest cap.
TextSize textSizeFor(const QWidget* widget);
// The style's font at the text size that holds for `widget`.
QFont font(const QWidget* widget, TextStyle style, QFont::Weight weight = QFont::Normal);

// Heading look: the style's font, semibold, with tracking tightened per style.
double headingTracking(TextStyle style);
QFont headingFont(TextStyle style);
QFont headingFont(TextStyle style, TextSize size);

// Display look: `size` at the default text size, scaled like the large title; semibold with
// tracking of -0.035 × the scaled size.
double displaySize(double size, TextSize textSize);
QFont displayFont(double size);
QFont displayFont(double size, TextSize textSize);

// Text that wraps at word boundaries, and inside a word only where the word alone is wider
// than the line. Sizes are of the laid-out lines (no limit when `width` is negative); drawing
// aligns the block in `box` (horizontal and vertical flags of `alignment`) in the painter's pen.
QSizeF wrappedTextSize(const QFont& font, const QString& text, double width);
// The narrowest width at which `text` wraps without a break between two letters of a word: its
// widest word, or for an address or a file name its widest part between joining marks
// ("support@", "example.", "dev").
double leastTextWidth(const QFont& font, const QString& text);
void drawWrappedText(QPainter& painter, const QRectF& box, const QFont& font, const QString& text,
                     Qt::Alignment alignment);

// Widget helpers: set now and kept in step with the environment.
void setTextStyle(QWidget* widget, TextStyle style, QFont::Weight weight = QFont::Normal);
void applyHeadingStyle(QWidget* widget, TextStyle style);
void applyDisplayStyle(QWidget* widget, double size);
void setForeground(QWidget* widget, ColorName name);
// Fills the widget's background with a named colour.
void setBackground(QWidget* widget, ColorName name);

// Whether texts shown in the first of `preferredLanguages` (locale names such as "ru_RU" or
// "uk") are laid out by English typesetting rules: true for a first entry beginning exactly
// "ru" or "uk".
bool prefersEnglishTypesetting(const QStringList& preferredLanguages);
// Applies that rule to a window's root, reading the user's UI languages: records "en" in the
// root's property "typesettingLanguage" when it applies (Qt has no per-language typesetting).
void localizedTypesetting(QWidget* root);

} // namespace hf::ui

namespace hf::ui {
// Re-applies the kit looks stored on `widget` by the helpers above (the environment calls it
// for every widget when a setting changes).
void refreshStyledWidget(QWidget* widget);
} // namespace hf::ui
