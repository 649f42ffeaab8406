#pragma once

// The inspector column of the main window: the soundtrack section (the ambience control, the
// legend of what happens to each stem, the song check card), the export options once a result
// exists, and, pinned to the bottom while an export or a clean runs, the export status above the
// processing block (at the accessibility text sizes, first in the column and scrolling with it).
//
// Needs the coordinator, the audition player, the exporter and the settings store the export
// preferences live in; none is owned, all must outlive the view. The main window shows it with
// a width between 336 and 380.

#include "pipeline/stem.h"

#include <QWidget>

class QGridLayout;
class QLabel;
class QScrollArea;
class QVBoxLayout;

namespace hf {

class AmbienceControl;
class AudioPlayerService;
class CopyrightCheckCardView;
class EngineCoordinator;
class ExportOptionsView;
class ExportStatusView;
class Exporter;
class ProcessingBlock;
class SettingsStore;

// One line of the stem legend: the stem's swatch, its name and what happens to it.
class LegendRow : public QWidget {
    Q_OBJECT

public:
    LegendRow(Stem stem, QWidget* parent = nullptr);
    void setValue(const QString& value);
    QString value() const;
    // Whether the name stands above the value (at the accessibility text sizes).
    bool isStacked() const { return m_stacked; }

private:
    void arrange();

    Stem m_stem;
    QGridLayout* m_grid;
    QWidget* m_swatch;
    QLabel* m_name;
    class FittingLabel* m_value;
    bool m_stacked = false;
};

class InspectorView : public QWidget {
    Q_OBJECT

public:
    InspectorView(EngineCoordinator* coordinator, AudioPlayerService* player, Exporter* exporter,
                  SettingsStore* defaults, QWidget* parent = nullptr);

    AmbienceControl* ambienceControl() const { return m_ambience; }
    LegendRow* legendRow(Stem stem) const;
    CopyrightCheckCardView* songCheckCard() const { return m_card; }
    ExportOptionsView* exportOptions() const { return m_exportOptions; }
    // The area pinned to the bottom (export status and processing block).
    QWidget* bottomArea() const { return m_bottom; }
    QScrollArea* scrollArea() const { return m_scroll; }

    QSize sizeHint() const override { return QSize(336, 720); }
    // As wide as the widest row needs (with the scroll bar): the column widens to it at the
    // largest text sizes rather than cutting a word.
    QSize minimumSizeHint() const override;

private:
    void refresh();
    // Pins the bottom area below the column, or at the accessibility text sizes puts it first in
    // the column, scrolling with it.
    void placeBottomArea();

    EngineCoordinator* m_coordinator;
    Exporter* m_exporter;
    QScrollArea* m_scroll;
    QVBoxLayout* m_outer;
    QVBoxLayout* m_column;
    AmbienceControl* m_ambience;
    LegendRow* m_legend[3];
    CopyrightCheckCardView* m_card;
    QWidget* m_exportBlock;
    ExportOptionsView* m_exportOptions;
    QWidget* m_bottom;
    ExportStatusView* m_status;
    ProcessingBlock* m_processing;
};

} // namespace hf
