#include "app/feedback_window.h"

#include "Tellu/tellu_view.h"
#include "app/help_view.h"
#include "app/wrapping_label.h"
#include "platform/texts.h"
#include "ui_kit/palette.h"
#include "ui_kit/scroll_column.h"
#include "ui_kit/text_styles.h"

#include <QVBoxLayout>

namespace hf {

FeedbackWindowContent::FeedbackWindowContent(std::optional<TelluConfig> feedback, std::function<void()> close,
                                             QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("feedback.window"));
    setMinimumSize(420, 460);
    ui::setBackground(this, ui::ColorName::Surface);
    auto* column = new QVBoxLayout(this);
    if (feedback) {
        column->setContentsMargins(24, 24, 24, 24);
        auto* form = new TelluView(*feedback, std::move(close), this);
        form->setObjectName(QStringLiteral("feedback.form"));
        // The least size is the child's, so that a window sized by its content keeps it.
        form->setLeastSize(QSize(420 - 48, 460 - 48));
        m_form = form;
        column->addWidget(new ui::ScrollColumn(m_form, this));
    } else {
        column->setContentsMargins(0, 0, 0, 0);
        auto* notice = new ContentUnavailableView(
            text("ui.feedback.unavailable.title", "Feedback is unavailable"),
            QStringLiteral("bubble.left.and.exclamationmark.bubble.right"),
            text("ui.feedback.unavailable.detail", "Please email your feedback to %@ instead.",
                 {QString::fromLatin1(kSupportEmail)}),
            this);
        notice->setObjectName(QStringLiteral("feedback.unavailable"));
        column->addWidget(notice);
    }
    ui::localizedTypesetting(this);
}

QSize FeedbackWindowContent::sizeHint() const
{
    const QMargins margins = layout()->contentsMargins();
    const int width = std::max(420, minimumSizeHint().width());
    int height = 460;
    // The form's column, or the notice's.
    if (const auto* column = findChild<ui::ScrollColumn*>())
        height = std::max(height, column->contentHeight(width - margins.left() - margins.right()) + margins.top()
                                      + margins.bottom());
    return {width, height};
}

} // namespace hf
