#include "app/fine_print_link_style.h"

#include "ui_kit/buttons.h"
#include "ui_kit/environment.h"
#include "ui_kit/palette.h"
#include "ui_kit/text_styles.h"

#include <QEvent>
#include <QPainter>

namespace hf {

namespace {

// Room on either side of the text for the focus ring.
constexpr int ringRoom = 5;

} // namespace

QFont FinePrintLinkStyle::font()
{
    QFont font = ui::font(ui::TextStyle::callout, QFont::Medium);
    font.setUnderline(true);
    return font;
}

QSize FinePrintLinkStyle::sizeFor(const QString& label)
{
    const QFontMetrics metrics(font());
    // Room above and below the text for the ring too, whatever the text size.
    return {metrics.horizontalAdvance(label) + 2 + 2 * ringRoom, std::max(minHeight, metrics.height() + 2 * ringRoom)};
}

void FinePrintLinkStyle::paint(QPainter& painter, const QAbstractButton& button)
{
    painter.save();
    painter.setOpacity(button.isDown() ? 0.7 : 1.0);
    painter.setFont(font());
    // The underline is drawn with the font, in the text's own colour.
    painter.setPen(ui::color(ui::ColorName::Ink));
    painter.drawText(button.rect().adjusted(ringRoom, 0, -ringRoom, 0), Qt::AlignLeft | Qt::AlignVCenter, button.text());
    painter.restore();
    // Reached with Tab, the link shows the kit's focus ring around its text.
    if (button.hasFocus()) {
        const QFontMetrics metrics(font());
        const int textHeight = metrics.height();
        const QRectF around(0, (button.height() - textHeight) / 2.0 - ringRoom, button.width(), textHeight + 2 * ringRoom);
        ui::paintFocusRing(painter, around.intersected(QRectF(button.rect())), 6);
    }
}

FinePrintLink::FinePrintLink(const QString& title, QUrl url, URLOpener opener, QWidget* parent)
    : QAbstractButton(parent), m_url(std::move(url)), m_opener(std::move(opener))
{
    setText(title);
    setAccessibleName(title);
    setAccessibleDescription(m_url.toString());
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    // The text size and appearance follow the desktop's settings.
    connect(&ui::Environment::instance(), &ui::Environment::changed, this, [this] {
        updateGeometry();
        update();
    });
    connect(this, &QAbstractButton::clicked, this, [this] {
        if (m_opener)
            m_opener(m_url);
    });
}

QSize FinePrintLink::sizeHint() const
{
    return FinePrintLinkStyle::sizeFor(text());
}

void FinePrintLink::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    FinePrintLinkStyle::paint(painter, *this);
}

} // namespace hf
