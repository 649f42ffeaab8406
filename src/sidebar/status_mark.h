#pragma once

// The two small drawings of every sidebar row: the thumbnail at its leading edge and the status
// mark at its trailing edge. Both only draw: they take no input and are hidden from assistive
// technologies (the rows describe their videos in text).
//
//     auto* mark = new hf::StatusMark;
//     mark->setState({.progress = 0.4, .waiting = true});   // the ring: progress wins over waiting
//     auto* thumb = new hf::Thumb;
//     thumb->setImage(image);                               // a null image shows the placeholder

#include <QImage>
#include <QWidget>

#include <optional>

class QPainter;

namespace hf {

// What a mark shows, by precedence: done (a filled circle with a check), failed (a circle with an
// exclamation mark), progress (a ring filled clockwise from the top), waiting (a dashed circle),
// else nothing (the mark still takes its width).
struct StatusMarkState {
    std::optional<double> progress;   // 0...1 while work runs
    bool done = false;
    bool failed = false;
    bool waiting = false;

    bool operator==(const StatusMarkState&) const = default;
};

class StatusMark : public QWidget {
    Q_OBJECT

public:
    explicit StatusMark(QWidget* parent = nullptr);

    const StatusMarkState& state() const { return m_state; }
    void setState(StatusMarkState state);

    // The mark's width; its height follows the body text.
    static constexpr int width = 22;
    // The side of the ring and the dashed circle.
    static constexpr double ringSide = 16;
    // The side of the two symbols: the body text's size.
    static double symbolSide();

    // Draws the mark centred in `frame`.
    static void paint(QPainter& painter, const QRectF& frame, const StatusMarkState& state);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    StatusMarkState m_state;
};

class Thumb : public QWidget {
    Q_OBJECT

public:
    explicit Thumb(QWidget* parent = nullptr);

    const QImage& image() const { return m_image; }
    void setImage(QImage image);

    static constexpr QSize size{56, 32};
    static constexpr double cornerRadius = 4;

    // The "Picture" colour in a rounded frame with the image fitted whole and centred on it.
    static void paint(QPainter& painter, const QRectF& frame, const QImage& image);

    QSize sizeHint() const override { return size; }
    QSize minimumSizeHint() const override { return size; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage m_image;
};

} // namespace hf
