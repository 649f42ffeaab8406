#pragma once

// The kit's feedback form: an optional category, a message and an optional e-mail address, sent
// with one button through the kit's shared client; an accepted send replaces the form with the
// thank-you view. Main thread only. The host configures the kit (Tellu::configure) before it shows
// the form; the form's own configuration only tints its buttons.

#include "Tellu/tellu.h"

#include <QWidget>

#include <functional>
#include <optional>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QStackedLayout;
class TelluMenuPicker;
class TelluProminentButton;
class TelluSpinner;

class TelluView : public QWidget {
    Q_OBJECT

public:
    // Without `onDismiss` the thank-you view has no Done button.
    explicit TelluView(TelluConfig config, std::function<void()> onDismiss = {}, QWidget* parent = nullptr);

    // The Send button's action: sends the trimmed message and e-mail with the chosen category.
    void submit();
    static QString errorText(const TelluError& error);

    bool isSubmitting() const { return m_isSubmitting; }
    bool isSuccess() const { return m_isSuccess; }
    const std::optional<QString>& errorMessage() const { return m_errorMessage; }
    bool canSend() const;

    // The form's least size as the host frames it; the form still takes what its fields need
    // when that is more (at large text sizes), where a plain minimum size would squeeze them.
    void setLeastSize(QSize size);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

private:
    void setSubmitting(bool submitting);
    void setErrorMessage(std::optional<QString> message);
    void finish(const std::optional<TelluError>& outcome);
    void refresh();

    TelluConfig m_config;
    std::function<void()> m_onDismiss;
    QSize m_least;
    std::optional<TelluCategory> m_category;
    bool m_isSubmitting = false;
    bool m_isSuccess = false;
    std::optional<QString> m_errorMessage;

    QStackedLayout* m_pages;
    TelluMenuPicker* m_picker;
    QPlainTextEdit* m_message;
    QLineEdit* m_email;
    QLabel* m_error;
    TelluSpinner* m_spinner;
    TelluProminentButton* m_send;
};
