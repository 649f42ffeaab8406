#pragma once

// Reads a window's geometry the way a person reads the screen: is every text whole, does any
// control sit on another, is anything cut by the edge of what holds it?
//
//     const auto faults = hf::test::auditLayout(window);
//     QVERIFY2(faults.isEmpty(), qPrintable(hf::test::describe(faults)));
//
// Every visible widget under the root is painted on its own into a recording device that keeps
// where each run of text and each outline would land. A fault is:
// - "text cut": a run of text that reaches past its own widget, or past an ancestor that clips
//   it; content inside a scroll area counts as visible wherever the area can scroll to;
// - "outline cut": a stroked shape (an outline, a border) reaching past its own widget;
// - "shortened": a text drawn with an ellipsis character (a text that did not fit);
// - "broken word": a label's or a button's text wrapped inside a word;
// - "overlap": two visible widgets placed by the same layout on top of each other;
// - "outside": a widget placed by a layout past its parent's edge (outside a scroll area);
// - "squeezed": a widget given less than the least size it says it needs, or a wrapping widget
//   given less height than its text needs at its width.
// Widgets hidden from the root, and their children, are skipped.

#include <QList>
#include <QRectF>
#include <QString>

class QWidget;

namespace hf::test {

struct LayoutFault {
    QString kind;     // "text cut", "overlap", ... (above)
    QString widget;   // a path of object names or class names from the root
    QString detail;   // the text or the other widget, and the rectangles
};

// What was drawn by one widget's own painting, in its coordinates.
struct DrawnText {
    QString text;
    QRectF box;   // from the ascent above the baseline to the descent below it
};
struct DrawnWidget {
    QList<DrawnText> texts;
    QList<QRectF> outlines;   // bounds of stroked paths, rectangles and ellipses, pen width included
};

// Paints `widget` alone (no children, no background) and records its texts and outlines.
DrawnWidget recordPainting(QWidget* widget);

// All faults found under `root` (itself included).
QList<LayoutFault> auditLayout(QWidget* root);

// One line per fault, for a test's failure message.
QString describe(const QList<LayoutFault>& faults);

// The visible widget tree under `root`, one widget a line, indented, with its geometry and the
// least size it asks for: what to read when a fault's cause lies further down.
QString describeTree(QWidget* root);

} // namespace hf::test
