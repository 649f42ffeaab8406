#pragma once

// The exporter's status line in the inspector: nothing while idle; a spinner and "Preparing your
// clean video" while an export renders; "Saved <name>" with "Show in Folder" and "Open Next
// Video..." after a save; the failure text after a failure. Needs the exporter and the
// coordinator (neither owned).

#include <QWidget>

class QLabel;
class QTimer;

namespace hf {

class EngineCoordinator;
class Exporter;
namespace ui { class QuietButton; }

// An indeterminate spinner of twelve fading spokes in "Muted"; hidden from assistive
// technologies. It turns only while shown.
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

class ExportStatusView : public QWidget {
    Q_OBJECT

public:
    ExportStatusView(Exporter* exporter, EngineCoordinator* coordinator, QWidget* parent = nullptr);

    // The text shown now (empty while idle).
    QString message() const;

private:
    void refresh();

    Exporter* m_exporter;
    EngineCoordinator* m_coordinator;
    QWidget* m_rendering;
    QWidget* m_saved;
    QLabel* m_savedText;
    QLabel* m_failedText;
    ui::QuietButton* m_show;
    ui::QuietButton* m_openNext;
};

} // namespace hf
