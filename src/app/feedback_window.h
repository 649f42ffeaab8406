#pragma once

// The feedback window's content: the feedback kit's form when the kit has a token, whose Done
// button (after a send) closes the window; otherwise a notice asking for an e-mail to support.
// At least 420 wide and 460 high; the window takes the content's size (sizeHint()), and where the
// screen has less room, the content scrolls.

#include "Tellu/tellu.h"

#include <QWidget>

#include <functional>
#include <optional>

namespace hf {

class FeedbackWindowContent : public QWidget {
    Q_OBJECT

public:
    // `feedback`: the form's configuration, absent without a token. `close` closes the window.
    FeedbackWindowContent(std::optional<TelluConfig> feedback, std::function<void()> close, QWidget* parent = nullptr);

    // The kit's form, or null while the notice is shown.
    QWidget* form() const { return m_form; }

    // As wide as the content's least width (420 at least), as tall as the content is at that width.
    QSize sizeHint() const override;

private:
    QWidget* m_form = nullptr;
};

} // namespace hf
