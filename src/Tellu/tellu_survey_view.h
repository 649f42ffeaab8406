#pragma once

// The kit's survey form: a title and a list of questions (ratings on a numbered scale, single
// choices, free texts). Rating and choice questions must be answered before Submit is enabled;
// every non-empty answer is sent, keyed by its question's label, as the metadata of one
// submission whose message is the title. Main thread only; sends through the kit's shared client.

#include "Tellu/tellu.h"

#include <QAbstractButton>
#include <QMap>
#include <QWidget>

#include <functional>
#include <optional>
#include <vector>

class QLabel;
class QVBoxLayout;
class QStackedLayout;
class TelluProminentButton;
class TelluSpinner;

// The row of numbered circles of one rating question. Choosing the chosen number again clears it.
class TelluRatingRow : public QWidget {
    Q_OBJECT

public:
    // The most numbers a row shows; a larger maximum is cut to it.
    static constexpr int largestMax = 20;

    TelluRatingRow(int max, QWidget* parent = nullptr);
    // The chips shown: 1 to max, none for a maximum below 1.
    int chipCount() const { return int(m_chips.size()); }
    QAbstractButton* chip(int value) const;
    void setSelected(std::optional<int> value);
    std::optional<int> selected() const { return m_selected; }

Q_SIGNALS:
    // The new choice, or nothing when it was cleared.
    void selectedChanged(std::optional<int> value);

private:
    std::vector<QAbstractButton*> m_chips;
    std::optional<int> m_selected;
};

class TelluSurveyView : public QWidget {
    Q_OBJECT

public:
    TelluSurveyView(TelluConfig config, QString title, std::vector<TelluSurveyQuestion> questions,
                    std::function<void()> onDismiss = {}, QWidget* parent = nullptr);
    // With the default title.
    TelluSurveyView(TelluConfig config, std::vector<TelluSurveyQuestion> questions,
                    std::function<void()> onDismiss = {}, QWidget* parent = nullptr);

    // The answer of a label: the empty string when there is none.
    QString answer(const QString& label) const;
    // Stores `text` under `label` (also an empty text) and shows it in every question of that label.
    void setAnswer(const QString& label, const QString& text);
    const QMap<QString, QString>& answers() const { return m_answers; }

    bool canSubmit() const;
    void submit();
    static QString errorText(const TelluError& error);

    bool isSubmitting() const { return m_isSubmitting; }
    bool isSuccess() const { return m_isSuccess; }
    const std::optional<QString>& errorMessage() const { return m_errorMessage; }
    const QString& title() const { return m_title; }

    QSize sizeHint() const override;

private:
    QWidget* makeQuestionRow(int index, const TelluSurveyQuestion& question, QWidget* parent);
    void showAnswers();
    void finish(const std::optional<TelluError>& outcome);
    void refresh();

    TelluConfig m_config;
    QString m_title;
    std::vector<TelluSurveyQuestion> m_questions;
    std::function<void()> m_onDismiss;
    QMap<QString, QString> m_answers;
    bool m_isSubmitting = false;
    bool m_isSuccess = false;
    std::optional<QString> m_errorMessage;

    // Redraws one question's control from the answers.
    std::vector<std::function<void()>> m_showAnswer;
    QStackedLayout* m_pages;
    QLabel* m_error;
    TelluSpinner* m_spinner;
    TelluProminentButton* m_submit;
};
