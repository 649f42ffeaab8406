#include "sidebar/replace_confirmation.h"

#include "coordinator/engine_coordinator.h"
#include "platform/texts.h"
#include "ui_kit/buttons.h"

#include <QLabel>

namespace hf {

ReplaceConfirmation::ReplaceConfirmation(EngineCoordinator* coordinator, QWidget* window)
    : ui::QuestionCard(window, text("ui.replace.title", "Replace the current video?")), m_coordinator(coordinator)
{
    setObjectName(QStringLiteral("replace.confirmation"));
    card()->setObjectName(QStringLiteral("replace.card"));
    messageLabel()->setObjectName(QStringLiteral("replace.message"));

    m_exportFirst = new ui::InkButton(text("ui.replace.exportFirst", "Export First"));
    m_exportFirst->setObjectName(QStringLiteral("replace.exportFirst"));
    m_exportFirst->setMinHeight(34);
    m_replace = new ui::QuietButton(text("ui.replace.replace", "Replace"));
    m_replace->setObjectName(QStringLiteral("replace.replace"));
    m_replace->setMinHeight(34);
    m_cancel = new ui::QuietButton(text("ui.common.cancel", "Cancel"));
    m_cancel->setObjectName(QStringLiteral("replace.cancel"));
    m_cancel->setMinHeight(34);
    addAnswer(m_exportFirst);
    addAnswer(m_replace);
    addAnswer(m_cancel);
    setAnswers(m_exportFirst, m_cancel);

    // Each answer acts while the replacement is still pending; then the question closes.
    connect(m_exportFirst, &QAbstractButton::clicked, this, [this] {
        if (m_coordinator)
            m_coordinator->exportBeforeReplacing();
        dismiss();
    });
    connect(m_replace, &QAbstractButton::clicked, this, [this] {
        if (m_coordinator)
            m_coordinator->confirmReplacement();
        dismiss();
    });
    connect(m_cancel, &QAbstractButton::clicked, this, &ReplaceConfirmation::dismiss);
    connect(coordinator, &EngineCoordinator::pendingReplacementChanged, this, &ReplaceConfirmation::follow);
    follow();
}

void ReplaceConfirmation::follow()
{
    const bool pending = m_coordinator && m_coordinator->pendingReplacement();
    if (!pending) {
        hide();
        return;
    }
    const EngineCoordinator::PendingReplacement& asked = *m_coordinator->pendingReplacement();
    // A clean still running has nothing to export yet: the question is only whether to stop it.
    if (asked.cleanRunning)
        setMessage(text("ui.replace.message.running",
                        "%@ is still being cleaned. Replacing it stops the full clean.", {asked.videoName}));
    else
        setMessage(text("ui.replace.message", "The cleaned result for %@ hasn't been exported.", {asked.videoName}));
    m_exportFirst->setVisible(!asked.cleanRunning);
    present();
    if (asked.cleanRunning)
        m_cancel->setFocus();
    else
        m_exportFirst->setFocus();
}

void ReplaceConfirmation::dismiss()
{
    hide();
    if (m_coordinator && m_coordinator->pendingReplacement())
        m_coordinator->setPendingReplacement(std::nullopt);
}

} // namespace hf
