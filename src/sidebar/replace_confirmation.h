#pragma once

// The question asked before the open video is replaced while its full clean has not been
// exported: "Replace the current video?" with "Export First", "Replace" and "Cancel" (while the
// full clean is still running there is nothing to export, and "Export First" is left out). It shows
// over the whole window while the coordinator holds a pending replacement, keeps the window
// underneath out of reach, and never runs an event loop of its own: the answers are the
// coordinator's operations. Escape answers "Cancel".
//
//     new hf::ReplaceConfirmation(&coordinator, mainWindow);   // once per main window

#include "ui_kit/question_card.h"

#include <QPointer>
#include <QWidget>

namespace hf {

class EngineCoordinator;

namespace ui {
class InkButton;
class QuietButton;
} // namespace ui

class ReplaceConfirmation : public ui::QuestionCard {
    Q_OBJECT

public:
    // Covers `window` (its parent) while a replacement is pending.
    ReplaceConfirmation(EngineCoordinator* coordinator, QWidget* window);

    bool isPresented() const { return isVisible(); }
    ui::InkButton* exportFirstButton() const { return m_exportFirst; }
    ui::QuietButton* replaceButton() const { return m_replace; }
    ui::QuietButton* cancelButton() const { return m_cancel; }

protected:
    // Escape answers "Cancel".
    void escapePressed() override { dismiss(); }

private:
    void follow();
    // Closing by any route leaves nothing pending.
    void dismiss();

    QPointer<EngineCoordinator> m_coordinator;
    ui::InkButton* m_exportFirst;
    ui::QuietButton* m_replace;
    ui::QuietButton* m_cancel;
};

} // namespace hf
