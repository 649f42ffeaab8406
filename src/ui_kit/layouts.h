#pragma once

// Two layout containers.
//
// FlowLayout places its items left to right and wraps onto further lines when a line is full;
// lines are packed from the left and aligned at their top, each as tall as its tallest item.
//     auto* flow = new hf::ui::FlowLayout(/*spacing*/ 8, /*lineSpacing*/ 6, container);
//     flow->addWidget(chip);
// It answers height-for-width, so a parent layout gives it the height its width needs.
//
// AdaptiveStack lays its widgets out in a row (vertically centred) at ordinary text sizes and in
// a column (left aligned) at the accessibility text sizes, switching as the setting changes
// without re-creating its children.
//     auto* stack = new hf::ui::AdaptiveStack(/*spacing*/ 8);
//     stack->addWidget(icon); stack->addWidget(label);

#include <QLayout>
#include <QList>
#include <QWidget>

class QBoxLayout;

namespace hf::ui {

class FlowLayout : public QLayout {
    Q_OBJECT
public:
    explicit FlowLayout(double spacing = 8, double lineSpacing = 8, QWidget* parent = nullptr);
    ~FlowLayout() override;

    double horizontalSpacing() const { return m_spacing; }
    double lineSpacing() const { return m_lineSpacing; }
    void setHorizontalSpacing(double spacing);
    void setLineSpacing(double spacing);

    // The size the items need when offered `width` (no limit when negative): the width offered
    // (or, without a limit, the widest line) and the height of all lines.
    QSize sizeForWidth(int width) const;

    void addItem(QLayoutItem* item) override;
    QLayoutItem* itemAt(int index) const override;
    QLayoutItem* takeAt(int index) override;
    int count() const override;
    QSize sizeHint() const override;
    QSize minimumSize() const override;
    Qt::Orientations expandingDirections() const override { return {}; }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    void setGeometry(const QRect& rect) override;

private:
    // Lays the items out within `rect`; places them when `apply`. Returns the used size.
    QSize doLayout(const QRect& rect, bool limitWidth, bool apply) const;

    QList<QLayoutItem*> m_items;
    double m_spacing;
    double m_lineSpacing;
};

class AdaptiveStack : public QWidget {
    Q_OBJECT
public:
    explicit AdaptiveStack(double spacing = 8, QWidget* parent = nullptr);

    void addWidget(QWidget* widget, int stretch = 0);
    // Whether the items currently stand in a column.
    bool isColumn() const;
    QBoxLayout* boxLayout() const { return m_layout; }

private:
    void arrange();

    QBoxLayout* m_layout;
};

} // namespace hf::ui
