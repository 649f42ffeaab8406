#pragma once

// A column of content that scrolls up and down when it is taller than the room it is given,
// and never sideways: the content always takes the column's width, so its texts wrap to it.
// For panels, sheets and cards whose texts grow with the desktop's text size.
//
//     auto* column = new hf::ui::ScrollColumn(content);   // takes ownership of `content`
//     layout->addWidget(column);
//     int tall = column->contentHeight(width);              // the content's whole height
//
// Nothing of its own is drawn: no frame, and the background of whatever lies under it shows
// through. The scroll bar shows only while there is something to scroll to; only then does Tab
// stop on the column (the arrow keys scroll it), drawing the kit's focus ring round it.

#include <QScrollArea>

namespace hf::ui {

// Once called, a widget that takes the keyboard focus (by Tab or by the program, not by a click)
// is scrolled into view in every scroll area around it, so the focus never lands out of sight.
// ScrollColumn calls it; calling it again does nothing.
void keepFocusInView();

class ScrollColumn : public QScrollArea {
    Q_OBJECT
public:
    explicit ScrollColumn(QWidget* content, QWidget* parent = nullptr);

    QWidget* content() const { return widget(); }

    // The content's height at `width` (the column's own width, scroll bar not counted), so that
    // a holder can make the column as tall as its content where there is room. Layouts see it
    // only as the preferred height: the least height is none, the rest scrolls.
    int contentHeight(int width) const;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
};

} // namespace hf::ui
