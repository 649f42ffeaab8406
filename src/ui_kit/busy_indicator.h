#pragma once

// An indeterminate spinner of twelve fading spokes in "Muted", hidden from assistive technologies.
// It turns only while shown, and stands still when the desktop asks for reduced motion.

#include <QColor>
#include <QWidget>

class QPainter;
class QPointF;
class QTimer;

namespace hf::ui {

// Paints the spinner's twelve spokes around `centre` in a circle `diameter` wide, the spoke at
// `step` (0 to 11) darkest, in `ink` ("Muted" when not given). For controls that draw a spinner
// inside their own painting.
void paintBusySpokes(QPainter& painter, const QPointF& centre, double diameter, int step, const QColor& ink = {});

class BusyIndicator : public QWidget {
    Q_OBJECT

public:
    explicit BusyIndicator(double diameter, QWidget* parent = nullptr);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    double m_diameter;
    int m_step = 0;
    QTimer* m_timer;
};

} // namespace hf::ui
