#include "sidebar/replace_confirmation.h"

#include "coordinator/engine_coordinator.h"
#include "platform/texts.h"
#include "ui_kit/buttons.h"
#include "ui_kit/palette.h"
#include "ui_kit/text_styles.h"

#include <QLabel>
#include <QVBoxLayout>

#include <algorithm>

namespace hf {

namespace {

constexpr int cardWidth = 380;
constexpr int cardPadding = 22;

} // namespace

ReplaceConfirmation::ReplaceConfirmation(EngineCoordinator* coordinator, QWidget* window)
    : ui::CardOverlay(window), m_coordinator(coordinator)
{
    setObjectName(QStringLiteral("replace.confirmation"));

    m_card = new QWidget(this);
    m_card->setObjectName(QStringLiteral("replace.card"));
    auto* column = new QVBoxLayout(m_card);
    column->setContentsMargins(cardPadding, cardPadding, cardPadding, cardPadding);
    column->setSpacing(8);
    m_title = new QLabel(text("ui.replace.title", "Replace the current video?"));
    m_title->setWordWrap(true);
    m_title->setAlignment(Qt::AlignHCenter);
    ui::applyHeadingStyle(m_title, ui::TextStyle::headline);
    ui::setForeground(m_title, ui::ColorName::Ink);
    m_message = new QLabel;
    m_message->setObjectName(QStringLiteral("replace.message"));
    m_message->setWordWrap(true);
    m_message->setTextFormat(Qt::PlainText);
    m_message->setAlignment(Qt::AlignHCenter);
    ui::setTextStyle(m_message, ui::TextStyle::callout);
    ui::setForeground(m_message, ui::ColorName::SecondaryText);

    m_exportFirst = new ui::InkButton(text("ui.replace.exportFirst", "Export First"));
    m_exportFirst->setObjectName(QStringLiteral("replace.exportFirst"));
    m_exportFirst->setMinHeight(34);
    m_replace = new ui::QuietButton(text("ui.replace.replace", "Replace"));
    m_replace->setObjectName(QStringLiteral("replace.replace"));
    m_replace->setMinHeight(34);
    m_cancel = new ui::QuietButton(text("ui.common.cancel", "Cancel"));
    m_cancel->setObjectName(QStringLiteral("replace.cancel"));
    m_cancel->setMinHeight(34);
    for (QAbstractButton* button : std::initializer_list<QAbstractButton*>{m_exportFirst, m_replace, m_cancel})
        button->setFocusPolicy(Qt::StrongFocus);
    setAnswers(m_exportFirst, m_cancel);

    column->addWidget(m_title);
    column->addWidget(m_message);
    column->addSpacing(10);
    column->addWidget(m_exportFirst);
    column->addWidget(m_replace);
    column->addWidget(m_cancel);

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

QString ReplaceConfirmation::title() const
{
    return m_title->text();
}

QString ReplaceConfirmation::message() const
{
    return m_message->text();
}

void ReplaceConfirmation::follow()
{
    const bool pending = m_coordinator && m_coordinator->pendingReplacement();
    if (!pending) {
        hide();
        return;
    }
    m_message->setText(text("ui.replace.message", "The cleaned result for %@ hasn't been exported.",
                            {m_coordinator->pendingReplacement()->videoName}));
    layOut();
    show();
    raise();
    m_exportFirst->setFocus();
}

void ReplaceConfirmation::dismiss()
{
    hide();
    if (m_coordinator && m_coordinator->pendingReplacement())
        m_coordinator->setPendingReplacement(std::nullopt);
}

QRect ReplaceConfirmation::cardRect() const
{
    const int width = std::min(cardWidth, this->width() - 40);
    const int wrapped = m_card->heightForWidth(width);
    const int height = std::min(wrapped > 0 ? wrapped : m_card->sizeHint().height(), this->height() - 40);
    return QRect((this->width() - width) / 2, std::max(20, (this->height() - height) / 3), width, height);
}

void ReplaceConfirmation::layOut()
{
    ui::CardOverlay::layOut();
    m_card->setGeometry(cardRect());
}

} // namespace hf
