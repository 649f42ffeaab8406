#pragma once

// The exporter's status line in the inspector: nothing while idle; a spinner, "Preparing your
// clean video", its percentage and a bar while an export renders; "Saved <name>" with "Show in Folder" and "Open Next
// Video..." after a save; the failure text after a failure, with "Clean Again" when the video
// changed on disk since it was cleaned. Needs the exporter and the
// coordinator (neither owned).

#include "ui_kit/question_card.h"

#include <QWidget>

class QLabel;

namespace hf {

class EngineCoordinator;
class Exporter;
class ProcessingBar;
namespace ui { class QuietButton; }

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
    QLabel* m_percent;
    ProcessingBar* m_bar;
    QWidget* m_saved;
    QLabel* m_savedText;
    QLabel* m_failedText;
    ui::QuietButton* m_show;
    ui::QuietButton* m_openNext;
    QWidget* m_cleanAgainRow;
    ui::QuietButton* m_cleanAgain;
};

// Over the main window while an export's files are prepared, before its save dialog opens: says
// so and how far it has come, and holds the window's keys, so that a name and Return typed ahead
// of the dialog act on nothing. Escape, or its Cancel, stops the export. Needs the exporter (not
// owned, must outlive it); a child of `window`.
class ExportPreparationCard : public ui::QuestionCard {
    Q_OBJECT

public:
    ExportPreparationCard(Exporter* exporter, QWidget* window);

private:
    void follow();

    Exporter* m_exporter;
};

} // namespace hf
