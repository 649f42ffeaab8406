#pragma once

// Pixel probes and a host window for the kit's widget tests.

#include "ui_kit/palette.h"

#include <QColor>
#include <QImage>
#include <QWidget>

class QVBoxLayout;

namespace hf::test {

// A top-level window on the "Paper" colour holding widgets in a column, shown and exposed.
class KitHost : public QWidget {
public:
    explicit KitHost(int width = 400);
    QVBoxLayout* column() const { return m_column; }
    // Adds, lays out, shows; returns the widget.
    template<class W>
    W* add(W* widget)
    {
        addWidget(widget);
        return widget;
    }
    void addWidget(QWidget* widget);
    // Lays out again and waits for the window to be exposed.
    void settle();
    // The window's picture; pixels of a child are read at the child's own coordinates.
    QImage picture() const;
    QColor pixel(const QWidget* child, QPointF at) const;

private:
    QVBoxLayout* m_column;
};

// Whether two colours match within `tolerance` on each channel.
bool near(const QColor& a, const QColor& b, int tolerance = 6);
// `over` drawn at `opacity` on `under`.
QColor blend(const QColor& over, const QColor& under, double opacity);
// Whether the picture holds a pixel near `colour` inside `area`.
bool contains(const QImage& picture, const QRect& area, const QColor& colour, int tolerance = 6);

} // namespace hf::test

// Compares colours with a readable failure message.
#define HF_COMPARE_COLOR(actual, expected)                                                                  \
    do {                                                                                                    \
        const QColor hfActual = (actual);                                                                   \
        const QColor hfExpected = (expected);                                                               \
        if (!hf::test::near(hfActual, hfExpected))                                                          \
            QFAIL(qPrintable(QStringLiteral("colour %1, expected %2").arg(hfActual.name(), hfExpected.name()))); \
    } while (false)
