#pragma once

// A label for running text that has to read whole at any width and any text size: it wraps at
// word boundaries and breaks a word only when the word alone is wider than the line, then after
// its joining marks where it has them ("support@" / "example.dev"). A word-wrapped QLabel cannot
// break such a word: it makes its holder at least that wide, or runs past the edge.
//
//     auto* detail = new hf::ui::WrappedLabel(text("ui.help.unavailable.detail", "..."));
//     detail->setAlignment(Qt::AlignHCenter);
//     hf::ui::setTextStyle(detail, hf::ui::TextStyle::body);
//
// Plain text, drawn in the palette's window text colour; not selectable. It is a QLabel, so
// assistive technologies read it as static text.

#include <QLabel>

namespace hf::ui {

class WrappedLabel : public QLabel {
    Q_OBJECT
public:
    explicit WrappedLabel(const QString& text = {}, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace hf::ui
