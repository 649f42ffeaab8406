#include "Tellu/tellu_survey_view.h"

#include "Tellu/tellu_controls.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QFocusEvent>
#include <QLocale>
#include <QPainter>
#include <QStackedLayout>
#include <QVBoxLayout>

namespace {

// One numbered circle of a rating row.
class RatingChip : public QAbstractButton {
public:
    RatingChip(int value, QWidget* parent) : QAbstractButton(parent)
    {
        setText(QLocale().toString(value));
        setAccessibleName(text());
        setCheckable(true);
        setFixedSize(36, 36);
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::StrongFocus);
        QFont face = font();
        face.setWeight(QFont::DemiBold);
        setFont(face);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QColor fill = palette().color(QPalette::Highlight);
        QColor ink = Qt::white;
        if (!isChecked()) {
            fill = palette().color(QPalette::WindowText);
            fill.setAlphaF(0.12f);
            ink = palette().color(QPalette::WindowText);
        }
        if (isDown())
            fill = fill.darker(110);
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawEllipse(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
        if (hasFocus() && m_keyboardFocus)
            TelluLook::paintFocusRing(painter, QRectF(rect()), width() / 2.0, this, std::nullopt);
        painter.setPen(ink);
        painter.drawText(rect(), Qt::AlignCenter, text());
    }

    // The focus ring shows only when the focus came from the keyboard, so the first chip of a
    // newly shown survey does not look chosen.
    void focusInEvent(QFocusEvent* event) override
    {
        m_keyboardFocus = event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason;
        QAbstractButton::focusInEvent(event);
    }

private:
    bool m_keyboardFocus = false;
};

// A rating or choice question must be answered; a rating without any number to choose cannot be,
// so it does not hold the survey back.
bool isRequired(const TelluSurveyQuestion& question)
{
    if (const auto* rating = std::get_if<TelluSurveyQuestion::Rating>(&question.kind))
        return rating->max >= 1;
    return std::holds_alternative<TelluSurveyQuestion::Choice>(question.kind);
}

} // namespace

// ---- rating row

TelluRatingRow::TelluRatingRow(int max, QWidget* parent) : QWidget(parent)
{
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    const int count = std::clamp(max, 0, largestMax);
    for (int value = 1; value <= count; ++value) {
        auto* chip = new RatingChip(value, this);
        chip->setObjectName(QStringLiteral("tellu.survey.rating.%1").arg(value));
        connect(chip, &QAbstractButton::clicked, this, [this, value] {
            // The chosen number again clears the choice.
            const std::optional<int> next = m_selected == value ? std::nullopt : std::optional(value);
            setSelected(next);
            Q_EMIT selectedChanged(next);
        });
        row->addWidget(chip);
        m_chips.push_back(chip);
    }
    row->addStretch(1);
}

QAbstractButton* TelluRatingRow::chip(int value) const
{
    return value >= 1 && value <= chipCount() ? m_chips[value - 1] : nullptr;
}

void TelluRatingRow::setSelected(std::optional<int> value)
{
    m_selected = value;
    for (int i = 0; i < chipCount(); ++i)
        m_chips[i]->setChecked(value == i + 1);
}

// ---- survey

TelluSurveyView::TelluSurveyView(TelluConfig config, std::vector<TelluSurveyQuestion> questions,
                                 std::function<void()> onDismiss, QWidget* parent)
    : TelluSurveyView(std::move(config), TelluStrings::defaultSurveyTitle(), std::move(questions),
                      std::move(onDismiss), parent)
{
}

TelluSurveyView::TelluSurveyView(TelluConfig config, QString title, std::vector<TelluSurveyQuestion> questions,
                                 std::function<void()> onDismiss, QWidget* parent)
    : QWidget(parent), m_config(std::move(config)), m_title(std::move(title)), m_questions(std::move(questions)),
      m_onDismiss(std::move(onDismiss))
{
    setObjectName(QStringLiteral("tellu.survey"));
    QWidget* form = nullptr;
    QVBoxLayout* column = nullptr;
    m_pages = makeTelluPages(this, m_config.tintColor, m_onDismiss, &form, &column);
    column->setSpacing(20);

    auto* heading = new QLabel(m_title, form);
    heading->setObjectName(QStringLiteral("tellu.survey.title"));
    heading->setFont(TelluLook::headline(font()));
    heading->setWordWrap(true);
    column->addWidget(heading);

    for (int i = 0; i < int(m_questions.size()); ++i)
        column->addWidget(makeQuestionRow(i, m_questions[i], form));

    m_error = makeTelluErrorLabel(QStringLiteral("tellu.survey.error"), form);
    column->addWidget(m_error);

    m_spinner = new TelluSpinner(form);
    m_submit = new TelluProminentButton(telluText("tellu.survey.submit", "Submit"), m_config.tintColor, form);
    m_submit->setObjectName(QStringLiteral("tellu.survey.submit"));
    connect(m_submit, &QAbstractButton::clicked, this, &TelluSurveyView::submit);
    column->addLayout(makeTelluSendRow(m_spinner, m_submit));
    column->addStretch(1);
    showAnswers();
    refresh();
}

QWidget* TelluSurveyView::makeQuestionRow(int index, const TelluSurveyQuestion& question, QWidget* parent)
{
    auto* row = new QWidget(parent);
    row->setObjectName(QStringLiteral("tellu.survey.question.%1").arg(index));
    auto* column = new QVBoxLayout(row);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);

    // The label, and for questions that need an answer a red "*" after its last word, wrapping
    // together as one text.
    const QString label = question.label();
    auto* caption = new QLabel(row);
    caption->setObjectName(QStringLiteral("tellu.survey.label"));
    QFont captionFont = TelluLook::subheadline(font());
    captionFont.setWeight(QFont::Medium);
    caption->setFont(captionFont);
    caption->setWordWrap(true);
    caption->setTextFormat(Qt::RichText);
    caption->setAccessibleName(label);
    QString html = label.toHtmlEscaped();
    if (!std::holds_alternative<TelluSurveyQuestion::Text>(question.kind)) {
        html += QStringLiteral("&nbsp;<span style=\"color:%1; font-weight:400\">*</span>").arg(TelluLook::red().name());
        caption->setAccessibleDescription(telluText("tellu.survey.required.accessibilityLabel", "Required"));
        caption->setProperty("required", true);
    }
    caption->setText(html);
    column->addWidget(caption);

    if (const auto* rating = std::get_if<TelluSurveyQuestion::Rating>(&question.kind)) {
        auto* chips = new TelluRatingRow(rating->max, row);
        chips->setObjectName(QStringLiteral("tellu.survey.rating"));
        chips->setAccessibleName(label);
        connect(chips, &TelluRatingRow::selectedChanged, this, [this, label](std::optional<int> value) {
            setAnswer(label, value ? QString::number(*value) : QString());
        });
        m_showAnswer.push_back([this, chips, label] {
            // An answer that is not a whole number (a text or choice question of the same label
            // wrote it) shows no chip chosen.
            bool ok = false;
            const int value = answer(label).toInt(&ok, 10);
            chips->setSelected(ok ? std::optional(value) : std::nullopt);
        });
        column->addWidget(chips);
    } else if (const auto* choice = std::get_if<TelluSurveyQuestion::Choice>(&question.kind)) {
        auto* picker = new TelluMenuPicker(row);
        picker->setObjectName(QStringLiteral("tellu.survey.choice"));
        picker->setAccessibleName(label);
        picker->setEntries(QStringList{telluText("tellu.survey.choice.placeholder", "Select…")} + choice->options);
        const QStringList options = choice->options;
        connect(picker, &TelluMenuPicker::chosen, this, [this, label, options](int entry) {
            setAnswer(label, entry == 0 ? QString() : options[entry - 1]);
        });
        m_showAnswer.push_back([this, picker, label, options] {
            const QString current = answer(label);
            const int found = current.isEmpty() ? -1 : int(options.indexOf(current));
            picker->setCurrentIndex(found + 1);
        });
        column->addWidget(picker, 0, Qt::AlignLeft);
    } else {
        const auto& text = std::get<TelluSurveyQuestion::Text>(question.kind);
        auto* field = new QLineEdit(row);
        field->setObjectName(QStringLiteral("tellu.survey.text"));
        field->setPlaceholderText(text.placeholder);
        field->setAccessibleName(label);
        field->setFrame(false);
        // Stored exactly as typed, blanks included.
        connect(field, &QLineEdit::textEdited, this, [this, label](const QString& typed) { setAnswer(label, typed); });
        m_showAnswer.push_back([this, field, label] {
            if (field->text() != answer(label))
                field->setText(answer(label));
        });
        column->addWidget(new TelluFieldFrame(field, 4, row));
    }
    return row;
}

QSize TelluSurveyView::sizeHint() const
{
    return {std::max(400, QWidget::sizeHint().width()), QWidget::sizeHint().height()};
}

QString TelluSurveyView::answer(const QString& label) const
{
    return m_answers.value(label);
}

void TelluSurveyView::setAnswer(const QString& label, const QString& text)
{
    m_answers.insert(label, text);
    showAnswers();
    refresh();
}

void TelluSurveyView::showAnswers()
{
    for (const auto& show : m_showAnswer)
        show();
}

bool TelluSurveyView::canSubmit() const
{
    for (const TelluSurveyQuestion& question : m_questions)
        if (isRequired(question) && answer(question.label()).isEmpty())
            return false;
    return !m_isSubmitting;
}

void TelluSurveyView::refresh()
{
    m_submit->setEnabled(canSubmit());
    m_spinner->setVisible(m_isSubmitting);
    m_error->setVisible(m_errorMessage.has_value());
    m_error->setText(m_errorMessage.value_or(QString()));
    m_pages->setCurrentIndex(m_isSuccess ? 1 : 0);
}

void TelluSurveyView::submit()
{
    if (!canSubmit())
        return;
    m_isSubmitting = true;
    m_errorMessage.reset();
    refresh();
    // The answers as they are now; empty ones are left out, and no answers at all means no
    // metadata rather than an empty one.
    QMap<QString, QString> metadata;
    for (auto it = m_answers.cbegin(); it != m_answers.cend(); ++it)
        if (!it.value().isEmpty())
            metadata.insert(it.key(), it.value());
    const TelluFeedback feedback(m_title, std::nullopt, std::nullopt,
                                 metadata.isEmpty() ? std::nullopt : std::optional(metadata));
    Tellu::send(feedback, this, [this](const std::optional<TelluError>& outcome) { finish(outcome); });
}

void TelluSurveyView::finish(const std::optional<TelluError>& outcome)
{
    if (outcome)
        m_errorMessage = errorText(*outcome);
    else
        m_isSuccess = true;
    m_isSubmitting = false;
    refresh();
}

QString TelluSurveyView::errorText(const TelluError& error)
{
    return TelluStrings::sendError(error,
                                   telluText("tellu.survey.error.encoding", "Failed to send survey. Please try again."));
}
