#pragma once

// The transport bar between the picture and the stem lanes: go to beginning, play and pause, the
// time readout with tenths, the compare hint, and the zoom controls of the lanes (the range they
// show, zoom out, zoom in).
//
// Needs: the coordinator of the open video and the audition player, by pointer; both must
// outlive the bar. The playback controls, the readout and the hint show only while the
// coordinator holds a result; the zoom controls whenever a video is open.
//
// The zoom index (none = the default zoom) is the LaneZoom shared with the soundtrack band; the
// bar reads it and steps it.

#include "ui_kit/buttons.h"
#include "ui_kit/environment.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLocale>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <optional>

class QBoxLayout;
class QHBoxLayout;

namespace hf {

class AudioPlayerService;
class EngineCoordinator;
class LaneZoom;
struct LaneTimeline;

// The readout's current time: the clock text of the whole seconds (so the shown second never
// runs ahead of the playhead), then, with `showsTenths`, the locale's decimal separator and the
// tenths digit: 75.46 s reads "1:15.4", or "1:15,4" with a decimal comma.
QString currentTimeText(double seconds, bool showsTenths, const QLocale& locale = QLocale());

// A round button with a drawn symbol, 34 px across: the transport's go-to-beginning and
// play/pause controls.
class RoundSymbolButton : public ui::RoundControl {
    Q_OBJECT

public:
    enum class Symbol { play, pause, backwardEnd };

    explicit RoundSymbolButton(Symbol symbol, QWidget* parent = nullptr);
    void setSymbol(Symbol symbol);
    Symbol symbol() const { return m_symbol; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Symbol m_symbol;
};

// Plays or pauses the audition player; its symbol and accessible name follow the player.
class PlayPauseButton : public RoundSymbolButton {
    Q_OBJECT

public:
    explicit PlayPauseButton(AudioPlayerService* player, QWidget* parent = nullptr);

private:
    void refresh();
    QPointer<AudioPlayerService> m_player;
};

// Returns the playhead to 0; while playing, playback restarts from there with every track
// started together.
class GoToBeginningButton : public RoundSymbolButton {
    Q_OBJECT

public:
    explicit GoToBeginningButton(AudioPlayerService* player, QWidget* parent = nullptr);

private:
    QPointer<AudioPlayerService> m_player;
};

// The current time, a slash and the total duration, in semibold body text. Each digit sits in a
// cell of the widest digit's width, so the readout does not jump as the time runs.
class TimeReadout : public QLabel {
    Q_OBJECT

public:
    explicit TimeReadout(AudioPlayerService* player, bool showsTenths, QWidget* parent = nullptr);
    QString currentText() const;
    QString totalText() const;
    // The text size stops growing at `cap`; none follows the desktop's all the way.
    void setTextSizeCap(std::optional<ui::TextSize> cap);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void refresh();
    QFont readoutFont() const;
    double runWidth(const QString& run) const;
    QPointer<AudioPlayerService> m_player;
    bool m_showsTenths;
    std::optional<ui::TextSize> m_cap;
    QSize m_lastHint;
};

// "Hold \ to hear the original", or "Hold to compare" where that does not fit, or nothing.
// It gives up its width before anything else in the bar.
class CompareHint : public QWidget {
    Q_OBJECT

public:
    explicit CompareHint(QWidget* parent = nullptr);
    // The text shown at the current width; empty for none.
    QString shownText() const;
    void setTextSizeCap(std::optional<ui::TextSize> cap);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QFont hintFont() const;
    std::optional<ui::TextSize> m_cap;
};

// The lanes' zoom buttons: a 26 by 24 face with a plus or minus inside a 44 by 44 hit area.
class ZoomButton : public QAbstractButton {
    Q_OBJECT

public:
    explicit ZoomButton(bool zoomsIn, QWidget* parent = nullptr);
    QSize sizeHint() const override { return {44, 44}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool m_zoomsIn;
};

class TransportBar : public QWidget {
    Q_OBJECT

public:
    // None of the pointers is owned; `zoom` may be null (the default zoom, which the buttons
    // cannot change).
    TransportBar(LaneZoom* zoom, EngineCoordinator* coordinator, AudioPlayerService* player,
                 QWidget* parent = nullptr);

    std::optional<int> zoomIndex() const;
    // The bar's texts stop growing at `cap` (the scrolling layout caps them at accessibility2).
    void setTextSizeCap(std::optional<ui::TextSize> cap);

    // The zoom position the buttons step from: the index, or the default zoom's position.
    int zoomPosition() const;
    // "Showing 0:00 to 0:30": the lanes' visible window.
    QString rangeText() const;

    // The pieces, for the screen's tests.
    PlayPauseButton* playPauseButton() const { return m_playPause; }
    GoToBeginningButton* goToBeginningButton() const { return m_goToBeginning; }
    TimeReadout* timeReadout() const { return m_readout; }
    CompareHint* compareHint() const { return m_hint; }
    QLabel* rangeLabel() const { return m_range; }
    ZoomButton* zoomOutButton() const { return m_zoomOut; }
    ZoomButton* zoomInButton() const { return m_zoomIn; }

    // At the accessibility text sizes the bar is never wider than its widest line: when one line
    // cannot hold the zoom controls beside the playback controls, they go to a second line.
    QSize minimumSizeHint() const override;
    bool zoomOnSecondLine() const { return m_zoomWrapped; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    LaneTimeline timeline() const;
    int oneLineWidth() const;
    void placeZoomControls();
    void refresh();
    void zoomOut();
    void zoomIn();

    std::optional<ui::TextSize> m_textSizeCap;
    QPointer<LaneZoom> m_zoom;
    QPointer<EngineCoordinator> m_coordinator;
    QPointer<AudioPlayerService> m_player;

    QBoxLayout* m_lines = nullptr;
    QHBoxLayout* m_firstLine = nullptr;
    QHBoxLayout* m_secondLine = nullptr;
    bool m_zoomWrapped = false;
    QWidget* m_resultGroup = nullptr;
    GoToBeginningButton* m_goToBeginning = nullptr;
    PlayPauseButton* m_playPause = nullptr;
    TimeReadout* m_readout = nullptr;
    CompareHint* m_hint = nullptr;
    QWidget* m_zoomGroup = nullptr;
    QLabel* m_range = nullptr;
    ZoomButton* m_zoomOut = nullptr;
    ZoomButton* m_zoomIn = nullptr;
};

} // namespace hf
