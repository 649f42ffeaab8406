#pragma once

// Check and radio marks: drawn only, they take no input (the row showing them handles the
// click and carries the accessible name; the marks are hidden from assistive technologies).
//
//     auto* mark = new hf::ui::CheckMark;        // 18 px at the default text size, scaled like body text
//     mark->setOn(true);                        // setEnabled(false) gives the disabled look
//     hf::ui::CheckMark::paint(painter, rect, on, enabled);   // the same drawing, e.g. in a delegate

#include <QWidget>

namespace hf::ui {

class CheckMark : public QWidget {
    Q_OBJECT
public:
    explicit CheckMark(bool on = false, QWidget* parent = nullptr);

    bool isOn() const { return m_on; }
    void setOn(bool on);
    // The side at the current text size (18 at the default size).
    static double side();

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }
    static void paint(QPainter& painter, const QRectF& square, bool on, bool enabled);

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    bool m_on;
};

class RadioMark : public QWidget {
    Q_OBJECT
public:
    explicit RadioMark(bool on = false, QWidget* parent = nullptr);

    bool isOn() const { return m_on; }
    void setOn(bool on);
    static double side();

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }
    static void paint(QPainter& painter, const QRectF& square, bool on, bool enabled);

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    bool m_on;
};

} // namespace hf::ui
