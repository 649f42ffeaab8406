#pragma once

// The processing block of the inspector: while the open video is being cleaned it shows what is
// being made, the percent, an animated bar, the current status line and Cancel (also Escape);
// while nothing runs it is hidden and takes no space. Needs only the coordinator (not owned).

#include <QWidget>

class QBoxLayout;
class QLabel;
class QShortcut;
class QVariantAnimation;

namespace hf {

class EngineCoordinator;
namespace ui { class QuietButton; }

// The bar: a capsule, its filled part scaled to the fraction (at least 3 %), easing over 0.3 s
// to a larger fraction unless the desktop asks for reduced motion; a smaller one is drawn at once.
class ProcessingBar : public QWidget {
    Q_OBJECT

public:
    explicit ProcessingBar(QWidget* parent = nullptr);
    void setFraction(double fraction);
    // The drawn share of the bar, now (0.03 ... 1).
    double drawnFraction() const { return m_drawn; }
    QSize sizeHint() const override { return QSize(100, 6); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double m_drawn = 0.03;
    QVariantAnimation* m_animation;
};

class ProcessingBlock : public QWidget {
    Q_OBJECT

public:
    explicit ProcessingBlock(EngineCoordinator* coordinator, QWidget* parent = nullptr);

    // "Cleaning the full video" for a full clean, else "Making your 30-second preview".
    QString title() const;
    ProcessingBar* bar() const { return m_bar; }
    ui::QuietButton* cancelButton() const { return m_cancel; }

private:
    void refresh();
    void applyLayout();
    // Escape in the window: to the card on top when there is one, else Cancel.
    void escapePressed();

    EngineCoordinator* m_coordinator;
    QLabel* m_title;
    QLabel* m_percent;
    ProcessingBar* m_bar;
    QLabel* m_status;
    ui::QuietButton* m_cancel;
    QBoxLayout* m_titleRow;
    QBoxLayout* m_statusRow;
    QShortcut* m_escape;
};

} // namespace hf
