#include "Tellu/tellu_view.h"

#include "Tellu/tellu_controls.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QStackedLayout>
#include <QVBoxLayout>

TelluView::TelluView(TelluConfig config, std::function<void()> onDismiss, QWidget* parent)
    : QWidget(parent), m_config(std::move(config)), m_onDismiss(std::move(onDismiss))
{
    setObjectName(QStringLiteral("tellu.feedback"));
    QWidget* form = nullptr;
    QVBoxLayout* column = nullptr;
    m_pages = makeTelluPages(this, m_config.tintColor, m_onDismiss, &form, &column);
    column->setSpacing(14);

    auto* title = new QLabel(telluText("tellu.feedback.title", "Send Feedback"), form);
    title->setObjectName(QStringLiteral("tellu.feedback.title"));
    title->setFont(TelluLook::headline(font()));
    title->setAccessibleName(title->text());
    column->addWidget(title);

    // Category: "None" first, then every category in order.
    auto* categoryRow = new QHBoxLayout;
    categoryRow->setSpacing(8);
    auto* categoryLabel = new QLabel(telluText("tellu.feedback.category", "Category"), form);
    m_picker = new TelluMenuPicker(form);
    m_picker->setObjectName(QStringLiteral("tellu.feedback.category"));
    m_picker->setAccessibleName(categoryLabel->text());
    categoryLabel->setBuddy(m_picker);
    // The picker says "Category" itself; the label beside it is not read a second time.
    markTelluDecoration(categoryLabel);
    QStringList entries{telluText("tellu.feedback.category.none", "None")};
    for (TelluCategory category : TelluCategories::all)
        entries << TelluCategories::displayName(category);
    m_picker->setEntries(entries);
    connect(m_picker, &TelluMenuPicker::chosen, this, [this](int index) {
        m_category = index == 0 ? std::nullopt : std::optional(TelluCategories::all[index - 1]);
    });
    categoryRow->addWidget(categoryLabel);
    categoryRow->addWidget(m_picker, 1);
    column->addLayout(categoryRow);

    m_message = new QPlainTextEdit(form);
    m_message->setObjectName(QStringLiteral("tellu.feedback.message"));
    m_message->setAccessibleName(telluText("tellu.feedback.message.accessibilityLabel", "Feedback"));
    // Shown while the text is empty; a single blank hides it.
    m_message->setPlaceholderText(telluText("tellu.feedback.message.placeholder", "Your feedback…"));
    m_message->setFrameShape(QFrame::NoFrame);
    m_message->setMinimumHeight(100);
    m_message->setTabChangesFocus(true);
    m_message->document()->setDocumentMargin(6);
    // The editor is the element a screen reader reads and finds focused, not the surface it draws on.
    markTelluDecoration(m_message->viewport());
    auto* messageFrame = new TelluFieldFrame(m_message, 2, form);
    column->addWidget(messageFrame, 1);

    m_email = new QLineEdit(form);
    m_email->setObjectName(QStringLiteral("tellu.feedback.email"));
    m_email->setPlaceholderText(telluText("tellu.feedback.email.placeholder", "Email (optional)"));
    m_email->setAccessibleName(m_email->placeholderText());
    m_email->setFrame(false);
    column->addWidget(new TelluFieldFrame(m_email, 4, form));

    m_error = makeTelluErrorLabel(QStringLiteral("tellu.feedback.error"), form);
    column->addWidget(m_error);

    m_spinner = new TelluSpinner(form);
    m_send = new TelluProminentButton(telluText("tellu.feedback.send", "Send"), m_config.tintColor, form);
    m_send->setObjectName(QStringLiteral("tellu.feedback.send"));
    connect(m_send, &QAbstractButton::clicked, this, &TelluView::submit);
    column->addLayout(makeTelluSendRow(m_spinner, m_send));

    connect(m_message, &QPlainTextEdit::textChanged, this, &TelluView::refresh);
    refresh();
}

void TelluView::setLeastSize(QSize size)
{
    m_least = size;
    updateGeometry();
}

QSize TelluView::sizeHint() const
{
    return QSize(400, QWidget::sizeHint().height()).expandedTo(minimumSizeHint());
}

QSize TelluView::minimumSizeHint() const
{
    return QWidget::minimumSizeHint().expandedTo(m_least);
}

bool TelluView::canSend() const
{
    return !m_isSubmitting && !m_message->toPlainText().trimmed().isEmpty();
}

void TelluView::refresh()
{
    m_send->setEnabled(canSend());
    m_spinner->setVisible(m_isSubmitting);
    m_error->setVisible(m_errorMessage.has_value());
    m_error->setText(m_errorMessage.value_or(QString()));
    m_pages->setCurrentIndex(m_isSuccess ? 1 : 0);
}

void TelluView::setSubmitting(bool submitting)
{
    m_isSubmitting = submitting;
    refresh();
}

void TelluView::setErrorMessage(std::optional<QString> message)
{
    m_errorMessage = std::move(message);
    refresh();
}

void TelluView::submit()
{
    if (!canSend())
        return;
    setSubmitting(true);
    setErrorMessage(std::nullopt);
    const QString email = m_email->text().trimmed();
    TelluFeedback feedback(m_message->toPlainText().trimmed(), email.isEmpty() ? std::nullopt : std::optional(email),
                           m_category);
    // The kit's configured client chooses the endpoint and the token, not this form's configuration.
    Tellu::send(feedback, this, [this](const std::optional<TelluError>& outcome) { finish(outcome); });
}

void TelluView::finish(const std::optional<TelluError>& outcome)
{
    if (outcome) {
        m_errorMessage = errorText(*outcome);
    } else {
        m_isSuccess = true;
    }
    setSubmitting(false);
}

QString TelluView::errorText(const TelluError& error)
{
    return TelluStrings::sendError(
        error, telluText("tellu.feedback.error.encoding", "Failed to prepare feedback. Please try again."));
}
