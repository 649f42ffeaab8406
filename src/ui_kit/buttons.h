#pragma once

// The kit's buttons and the contrast edge.
//
//     auto* export = new hf::ui::InkButton(hf::text("ui.export", "Export"));   // main action, full width
//     auto* cancel = new hf::ui::QuietButton(hf::text("ui.cancel", "Cancel")); // secondary
//     cancel->setFillsWidth(false);                                            // as wide as its label
//     auto* play = new hf::ui::RoundControl(/*floating*/ false, /*diameter*/ 36);
//     play->setIcon(...) or play->setText(QStringLiteral("▶")); play->setAccessibleName(...);
//
// They are QAbstractButtons: connect to clicked(), use setEnabled(), setObjectName(identifier).
// Icons are tinted with the label colour and drawn as tall as a line of the label's text, so
// they follow the text size. None shows hover; clicks count only inside the drawn face (the
// rounded rectangle or the circle).
//
// Keys: a button reached with Tab (a click does not take the focus from where it is) shows the
// kit's focus ring and takes Space and Return (or Enter) before any window shortcut with the same
// key, so Space presses the focused button instead of playing. From the first kit button on, Return
// and Enter press every other focused button of the application too (rows, choices, links).
//
// The contrast edge is a 1.5 px line inside a shape's outline, drawn only while the desktop asks
// for increased contrast: paintContrastEdge() inside a paintEvent, or attachContrastEdge() on any
// widget to overlay it.

#include "ui_kit/palette.h"

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QIcon>
#include <QRectF>

#include <functional>

class QPainter;

namespace hf::ui {

// Strokes the inside edge of a rounded rectangle (a circle when `radius` reaches half the
// shorter side) with a line of `width` in `color`, whatever the contrast setting.
void strokeInside(QPainter& painter, const QRectF& rect, double radius, double width, const QColor& color);

// The contrast edge: strokeInside() with 1.5 px, only at increased contrast.
void paintContrastEdge(QPainter& painter, const QRectF& rect, double radius, const QColor& color);

// Overlays `target` with its contrast edge (a rounded rectangle of `radius` covering the
// widget, in "ControlStroke" unless another colour is given). Returns the overlay, a child of
// `target` that takes no input and follows its size.
QWidget* attachContrastEdge(QWidget* target, double radius, ColorName colorName = ColorName::ControlStroke);

// An icon for the kit's buttons: `draw` paints it in black, antialiased, on a transparent square of
// `side` (in points), at 1x and 2x; the buttons tint it with their label's colour.
QIcon drawnIcon(int side, const std::function<void(QPainter&)>& draw);

// The kit's focus ring around a face of `radius` that fills `rect`: an "Ink" line 2 wide along
// the face's edge and an "InkOnInk" line 1.5 wide inside it, so it shows on every fill.
void paintFocusRing(QPainter& painter, const QRectF& rect, double radius);

// Overlays `target` with the focus ring (a face of `radius` covering the widget), drawn while
// `target` has the keyboard focus, above its children. Returns the overlay, a child of `target`
// that takes no input and follows its size.
QWidget* attachFocusRing(QWidget* target, double radius);

// Whether a widget with the keyboard focus takes a bare Space itself (a button, a list, a text
// field), so a window shortcut on Space must leave the key to it.
bool focusTakesSpace(const QWidget* focus);

// Common part of the kit's buttons: the label (text and tinted icon) with word wrap, the keys
// and the focus ring.
class KitButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit KitButton(QWidget* parent = nullptr);

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    // The focus ring around a face of `radius` filling `rect`, while the button has the focus.
    void paintFocus(QPainter& painter, const QRectF& rect, double radius) const;

    // The label's size when laid out within `maxWidth` (no limit when negative).
    QSizeF labelSize(const QFont& font, double maxWidth) const;
    void paintLabel(QPainter& painter, const QRectF& box, const QFont& font, const QColor& color) const;
};

// What the ink and quiet buttons share: a rounded face of `radius` around the label, kept
// `padding` from it on each side, at least minHeight() tall, the label wrapping to the width given.
class FaceButton : public KitButton {
    Q_OBJECT
public:
    double minHeight() const { return m_minHeight; }
    void setMinHeight(double height);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    FaceButton(QSizeF padding, double radius, double minHeight, QWidget* parent);

    // The body style, semibold, at the text size that holds for the button.
    QFont labelFont() const;
    // Where the label goes: the widget's rectangle less the padding.
    QRectF labelBox() const;
    double radius() const { return m_radius; }
    bool hitButton(const QPoint& pos) const override;

private:
    QSizeF m_padding;
    double m_radius;
    double m_minHeight;
};

// Main action: a full-width face filled with "Ink", label in "InkOnInk"; disabled: a
// "ControlFill" face with a "DisabledText" label; pressed: the whole button at 82 % opacity.
class InkButton : public FaceButton {
    Q_OBJECT
public:
    explicit InkButton(const QString& text = {}, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

// Secondary action: a "ControlFill" face ("ControlSelected" while pressed), label in "Ink"
// ("DisabledText" when disabled), the contrast edge at increased contrast. Fills the width
// offered, or with setFillsWidth(false) hugs its label (label width plus 28).
class QuietButton : public FaceButton {
    Q_OBJECT
public:
    explicit QuietButton(const QString& text = {}, QWidget* parent = nullptr);

    bool fillsWidth() const { return m_fillsWidth; }
    void setFillsWidth(bool fills);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool m_fillsWidth = true;
};

// A circular icon button of a fixed diameter with the label in "Ink" centred. Not floating:
// a "ControlFill" circle ("ControlSelected" while pressed) with the contrast edge. Floating
// (laid over other content): the glass background, no pressed fill, no contrast edge.
// The label's text size stops growing at xxxLarge.
class RoundControl : public KitButton {
    Q_OBJECT
public:
    explicit RoundControl(bool floating = false, double diameter = 36, QWidget* parent = nullptr);

    bool floating() const { return m_floating; }
    void setFloating(bool floating);
    double diameter() const { return m_diameter; }
    void setDiameter(double diameter);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override;

private:
    bool m_floating;
    double m_diameter;
};

} // namespace hf::ui
