#pragma once

// The picture pane of the editor: the audition player's muted picture while a result is loaded,
// or a still frame of the video before that, fitted into the pane with its aspect ratio kept on
// the "Picture" colour. We paint the frames ourselves (no native video window), so the picture
// shows offscreen and in screenshots.
//
// Over the picture a capsule says what is heard ("Hearing: Clean"). The pane is the surface of
// hold-to-compare: holding the left mouse button on it asks for the original soundtrack until
// the button is released, the pointer moves more than 40 px away, or 60 s pass. The pane plays
// nothing itself: it emits compareRequested(), which the editor screen hands to the audition
// player, and the player's state comes back through setComparing(). Assistive technologies get
// the same comparison as the pane's accessibility action.

#include <QImage>
#include <QPointF>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <optional>

namespace hf {

class PictureView : public QWidget {
    Q_OBJECT

public:
    static constexpr int holdLimitMs = 60000;
    static constexpr double holdDistance = 40.0;

    explicit PictureView(QWidget* parent = nullptr);
    ~PictureView() override;

    // The player's picture: `hasPlayer` while a picture is loaded, `frame` the one at the
    // playhead (null until the first arrives).
    void setPlayerFrame(bool hasPlayer, const QImage& frame);
    // A still frame of the video, shown while there is no player; null for none.
    void setStill(const QImage& still);
    // Whether a result exists that can be compared (the capsule, the press and the action).
    void setCanCompare(bool canCompare);
    // The capsule's text and the shorter one shown when it does not fit.
    void setHearing(const QString& hearing, const std::optional<QString>& shortHearing);
    void setComparing(bool comparing);
    void setShowsHearingLabel(bool shows);

    bool canCompare() const { return m_canCompare; }
    bool isComparing() const { return m_isComparing; }
    QString hearing() const { return m_hearing; }
    std::optional<QString> shortHearing() const { return m_shortHearing; }
    // Whether a press on the pane started a compare that has not ended yet.
    bool isPressComparing() const { return m_pressComparing; }

    // The rectangle of the visible picture in a pane of `pane`: the still's aspect fitted and
    // centred; the whole pane without a usable still or for an empty pane.
    static QRectF contentRect(const QSizeF& pane, const QSize& still);
    // The capsule's text for `maxWidth`: the full text, the short one, or none when neither fits.
    std::optional<QString> hearingLabelText(double maxWidth) const;
    // The capsule's rectangle in the pane; empty when none is drawn.
    QRectF hearingLabelRect() const;

signals:
    // True to start comparing with the original, false to stop.
    void compareRequested(bool comparing);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    struct HearingLabel {
        QRectF rect;
        QString text;
    };
    // The capsule drawn now, if any.
    std::optional<HearingLabel> hearingLabel() const;
    void endPress();
    QSize pictureSizeForLabel() const;
    QFont labelFont() const;
    double capsuleWidth(const QString& text) const;
    void paintCapsule(QPainter& painter, const QRectF& rect, const QString& text) const;

    bool m_hasPlayer = false;
    QImage m_frame;
    QImage m_still;
    bool m_canCompare = false;
    QString m_hearing;
    std::optional<QString> m_shortHearing;
    bool m_isComparing = false;
    bool m_showsHearingLabel = true;

    bool m_pressComparing = false;
    QPointF m_pressOrigin;
    QTimer m_holdLimit{this};
};

} // namespace hf
