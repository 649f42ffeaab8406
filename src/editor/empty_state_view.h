#pragma once

// What the main window's detail column shows while no video is open: the invitation to drop a
// video (or, while items are dragged over the window, how many would be added), one sentence on
// what is uploaded, "Choose Video..." which opens the main window's file importer for the editor,
// a row saying a picked file is being opened, and below it an idle picture of the stem lanes, all
// on the "Paper" colour with a faint grain along the bottom.
//
// Needs: the coordinator, by pointer (not owned; it must outlive the view). The main window's
// drop handling calls setDropCount() while items are dragged over the window and
// setDropCount(std::nullopt) when the drag leaves or drops. Follows the kit's text size: at the
// accessibility sizes the lanes are stacked and inset further.

#include "editor/lanes_geometry.h"

#include <QImage>
#include <QPointer>
#include <QWidget>

#include <optional>

class QLabel;
class QScrollArea;
class QSpacerItem;
class QVBoxLayout;

namespace hf {

// "Release to add 3 videos": what a drop of `count` videos would do.
QString releaseToAddText(qint64 count);

class EngineCoordinator;
class GrainOverlay;
class LanesView;

namespace ui {
class InkButton;
}

// The grain bitmap: 128 by 128 RGBA pixels, premultiplied, from a 32-bit xorshift (13, 17, 5)
// seeded with 0x9E3779B9; a pixel whose top state byte t exceeds 150 gets 2t - 300 in all four
// channels, the others stay transparent. Made once and kept.
const QImage& grainImage();

// Paints the grain tiled over `rect` (one tile covers 64 by 64 px) at 3.5 % opacity, adding light.
void paintGrain(class QPainter& painter, const QRectF& rect);

class EmptyStateView : public QWidget {
    Q_OBJECT

public:
    explicit EmptyStateView(EngineCoordinator* coordinator, QWidget* parent = nullptr);

    std::optional<int> dropCount() const { return m_dropCount; }
    void setDropCount(std::optional<int> count);

    // The pieces, for the screen's tests.
    QLabel* headline() const { return m_headline; }
    ui::InkButton* chooseButton() const { return m_choose; }
    QWidget* openingRow() const { return m_openingRow; }
    QWidget* chooseRow() const { return m_chooseRow; }
    LanesView* lanes() const { return m_lanes; }
    QScrollArea* scrollArea() const { return m_scroll; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void refreshTexts();
    void refreshImporting();
    void refreshLayout();
    void placeSpacers();

    QPointer<EngineCoordinator> m_coordinator;
    std::optional<int> m_dropCount;

    QScrollArea* m_scroll = nullptr;
    QWidget* m_column = nullptr;
    QVBoxLayout* m_columnLayout = nullptr;
    QSpacerItem* m_topSpacer = nullptr;
    QLabel* m_headline = nullptr;
    QLabel* m_detail = nullptr;
    QWidget* m_chooseRow = nullptr;
    ui::InkButton* m_choose = nullptr;
    QLabel* m_dragSeveral = nullptr;
    QWidget* m_openingRow = nullptr;
    QLabel* m_opening = nullptr;
    QWidget* m_lanesBox = nullptr;
    LanesView* m_lanes = nullptr;
    GrainOverlay* m_grain = nullptr;
};

} // namespace hf
