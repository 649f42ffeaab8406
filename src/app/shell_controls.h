#pragma once

// The main window's own controls: the toolbar's primary button and Listen picker, the drop
// highlight, and the host that lays a sheet or an alert over the window.

#include "ui_kit/buttons.h"
#include "ui_kit/card_overlay.h"

#include <QAbstractButton>
#include <QIcon>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <optional>

namespace hf {

namespace ui {
class ScrollColumn;
}

// Toolbar icons drawn by hand so that they look the same on every desktop.
enum class ToolbarGlyph { plus, sidebarLeft, sidebarRight };
QIcon toolbarIcon(ToolbarGlyph glyph);

// The toolbar's primary button: a capsule 32 high filled with "Ink" (a "ControlFill" capsule and
// "DisabledText" when disabled), its semibold label in "InkOnInk", 16 on each side; the whole
// button at 82 % while pressed. Takes the keys and shows the focus ring as the kit's buttons do.
class ToolbarInkButton : public ui::KitButton {
    Q_OBJECT
public:
    explicit ToolbarInkButton(const QString& text = {}, QWidget* parent = nullptr);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override;
    void changeEvent(QEvent* event) override;
};

// A segmented choice of a few titled options, one selected (or none, -1); its accessible value
// is the selected title. Emits `chosen` when the user picks a segment (also the one already selected).
class SegmentedPicker : public QWidget {
    Q_OBJECT
public:
    explicit SegmentedPicker(QStringList titles, QWidget* parent = nullptr);

    int selected() const { return m_selected; }
    void setSelected(int index);
    const QStringList& titles() const { return m_titles; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }
    // The rectangle of segment `index` (tests click it).
    QRect segmentRect(int index) const;

Q_SIGNALS:
    void chosen(int index);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QStringList m_titles;
    int m_selected = 0;
};

// The drop highlight over the whole window: a 3-point "Ink" border inside its edges and, when
// `showsLabel`, the label "Release to add N videos" centred on an "Ink" rounded plate. Takes no
// input, so the drop reaches the window underneath.
class DropEdge : public QWidget {
    Q_OBJECT
public:
    explicit DropEdge(QWidget* parent = nullptr);
    void setState(int count, bool showsLabel);
    int count() const { return m_count; }
    bool showsLabel() const { return m_showsLabel; }
    QString labelText() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int m_count = 1;
    bool m_showsLabel = false;
};

// Lays one card over the window (the rest dimmed and out of reach) and closes it on Escape.
// The card's content is any widget; the host owns it while shown. A card taller than the window
// scrolls its content. A card with a text field opens with the keyboard in the first one.
class SheetHost : public ui::CardOverlay {
    Q_OBJECT
public:
    explicit SheetHost(QWidget* window);

    // Shows `content` on the card; a card already shown is replaced.
    void present(QWidget* content, int width);
    // Removes the card without telling anyone.
    void dismiss();
    bool isPresented() const { return m_content != nullptr; }
    QWidget* content() const { return m_content; }

Q_SIGNALS:
    // The user closed the card (Escape).
    void dismissedByUser();

protected:
    QRect cardRect() const override;
    void layOut() override;
    void escapePressed() override;

private:
    QPointer<QWidget> m_content;
    QPointer<ui::ScrollColumn> m_column;
    int m_width = 420;
};

} // namespace hf
