#pragma once

// The ambience control: a horizontal slider over 0...1 that sets how much of the effects and
// ambience stem the clean soundtrack keeps, with detents at 0, 0.5 and 1, a 0.05 grid, a worded
// readout ("75%, most room sound") and a spinner while a re-mix runs, a ring of its progress once
// it reports one, and below the slider a line with the re-mix's percent.
//
// The control holds no level of its own: it draws the value it is given and reports quantized
// new levels through changeRequested(); the caller stores them and passes the new value back with
// setValue(). A disabled control looks the same and only stops taking input. Focused, it takes
// the arrow keys (a step of 0.05), Home (0) and End (1) before any window shortcut.

#include <QString>
#include <QWidget>

#include <array>
#include <optional>

class QTimer;

namespace hf {

namespace ambience {

inline constexpr std::array detents{0.0, 0.5, 1.0};
inline constexpr double gridStep = 0.05;
// How close to a detent a dragged position snaps to it.
inline constexpr double snapRadius = 0.035;
// Changes this small are not reported.
inline constexpr double smallestChange = 0.0001;
inline constexpr double keyStep = 0.05;

// The level a proposed one commits to: on the 0.05 grid (halves away from zero), within 0...1,
// NaN giving 0.
double quantized(double proposed);
// The level to report for a proposed one while `current` is shown; none when it would not change.
std::optional<double> commit(double current, double proposed);
// A dragged fraction of the track: clamped to 0...1, snapped to a detent within the radius
// (tested in the order 0, 0.5, 1), else to the grid.
double snapped(double fraction);
// "75%, most room sound": the truncated percent and the phrase for the level.
QString readout(double value);
// The phrase alone: "voice only", "a little room sound", "some room sound", "most room sound",
// "all room sound".
QString phrase(double value);

} // namespace ambience

class AmbienceControl : public QWidget {
    Q_OBJECT

public:
    // `title` is shown as given and is the accessible name ("Ambience", "Default ambience").
    explicit AmbienceControl(QString title, QWidget* parent = nullptr);
    ~AmbienceControl() override;

    double value() const { return m_value; }
    void setValue(double value);
    bool isWorking() const { return m_working; }
    void setWorking(bool working);
    // How far the re-mix has come (0...1): once it is above 0 the spinner gives way to a ring
    // filled that far. While working, the line below the slider says the percent.
    double workProgress() const { return m_workProgress; }
    void setWorkProgress(double fraction);
    // That line: empty while not working.
    QString workStatus() const;
    const QString& title() const { return m_title; }
    void setTitle(const QString& title);

    // The thumb's diameter: 24 at the default text size, following the text size.
    double thumbDiameter() const;
    // Where the track area lies in the control, and the thumb's centre for a level.
    QRectF trackArea() const;
    double thumbCentre(double level) const;

    // Where the header's parts lie: the title, the spinner (drawn only while working; its room is
    // kept either way) and the readout, at the trailing end of the title's line or, when one line
    // cannot hold them, on lines of their own below it.
    struct Header {
        QRectF title;
        QRectF spinner;
        QRectF readout;
        bool wraps = false;   // the readout on lines of its own
    };
    Header header() const;

    // Runs a proposed level through the commit rule (keys, drags and assistive technologies all
    // come here).
    void propose(double level);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

Q_SIGNALS:
    // A new quantized level, at most once per user action.
    void changeRequested(double level);

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void dragTo(double x);
    // Where the rows go at a width: the header and the end labels each take a second line when
    // one line cannot hold them (at large text sizes).
    struct Rows {
        bool headerWraps = false;
        double title = 0;   // the title's lines: it wraps rather than being cut short
        double header = 0;
        bool labelsWrap = false;
        double labels = 0;
        double status = 0;   // the re-mix's line, while working
        double height = 0;
    };
    Rows rowsFor(double width) const;
    Header headerFor(double width) const;
    double spinnerDiameter() const;

    QString m_title;
    double m_value = 0;
    bool m_working = false;
    double m_workProgress = 0;
    bool m_dragging = false;
    QTimer* m_spin = nullptr;
    int m_spinStep = 0;
};

} // namespace hf
