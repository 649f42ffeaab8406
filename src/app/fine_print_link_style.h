#pragma once

// The look of the legal links under the sign-in buttons: the label in the callout font at medium
// weight, underlined, in "Ink"; at 70 % opacity while pressed; at least 44 high, and the whole
// frame takes the click, not only the text.
//
//     auto* terms = new FinePrintLink(text("ui.legal.terms", "Terms of use"), termsURL());
//     flow->addWidget(terms);                   // pressing it opens the page in the browser
//
// FinePrintLinkStyle::paint draws any button in this look (the link uses it).

#include "platform/url_opener.h"

#include <QAbstractButton>
#include <QUrl>

class QPainter;

namespace hf {

namespace FinePrintLinkStyle {
inline constexpr int minHeight = 44;
QFont font();
// The label's size, frame included.
QSize sizeFor(const QString& label);
void paint(QPainter& painter, const QAbstractButton& button);
} // namespace FinePrintLinkStyle

// A link in the fine-print look that opens its page outside the application.
class FinePrintLink : public QAbstractButton {
    Q_OBJECT

public:
    FinePrintLink(const QString& title, QUrl url, URLOpener opener = systemURLOpener(), QWidget* parent = nullptr);

    const QUrl& url() const { return m_url; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QUrl m_url;
    URLOpener m_opener;
};

} // namespace hf
