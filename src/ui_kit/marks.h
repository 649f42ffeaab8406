#pragma once

// Check and radio marks: drawn only, they take no input (the row showing them handles the
// click and carries the accessible name; the marks are hidden from assistive technologies).
//
//     auto* mark = new hf::ui::CheckMark;        // 18 px at the default text size, scaled like body text
//     mark->setOn(true);                        // setEnabled(false) gives the disabled look
//     hf::ui::CheckMark::paint(painter, rect, on, enabled);   // the same drawing, e.g. in a delegate

#include <QWidget>

namespace hf::ui {

// What the two marks share: the on state, a side that follows the text size, and a repaint when
// the enabled state changes. Each mark draws itself with its own paint().
class Mark : public QWidget {
    Q_OBJECT
public:
    bool isOn() const { return m_on; }
    void setOn(bool on);
    // The side at the current text size (18 at the default size).
    static double side();

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    Mark(bool on, QWidget* parent);
    virtual void paintMark(QPainter& painter, const QRectF& square) const = 0;
    void paintEvent(QPaintEvent* event) override;

private:
    bool m_on;
};

class CheckMark : public Mark {
    Q_OBJECT
public:
    explicit CheckMark(bool on = false, QWidget* parent = nullptr);
    static void paint(QPainter& painter, const QRectF& square, bool on, bool enabled);

protected:
    void paintMark(QPainter& painter, const QRectF& square) const override;
};

class RadioMark : public Mark {
    Q_OBJECT
public:
    explicit RadioMark(bool on = false, QWidget* parent = nullptr);
    static void paint(QPainter& painter, const QRectF& square, bool on, bool enabled);

protected:
    void paintMark(QPainter& painter, const QRectF& square) const override;
};

} // namespace hf::ui
