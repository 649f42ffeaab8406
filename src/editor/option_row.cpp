#include "editor/option_row.h"

#include "ui_kit/accessibility.h"
#include "ui_kit/buttons.h"
#include "ui_kit/environment.h"
#include "ui_kit/marks.h"
#include "ui_kit/palette.h"
#include "ui_kit/text_styles.h"

#include <QBoxLayout>
#include <QEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QPainter>

#include <cmath>

namespace hf {

OptionRow::OptionRow(Kind kind, const QString& title, const QString& detail, QWidget* parent)
    : QAbstractButton(parent), m_kind(kind)
{
    setCheckable(true);
    setAutoExclusive(false);
    setFocusPolicy(Qt::StrongFocus);
    ui::presentAsOne(this, kind == Kind::radio ? QAccessible::RadioButton : QAccessible::CheckBox);
    setAccessibleName(title);
    ui::setAccessibleValue(this, detail);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(10);
    m_mark = new QWidget(this);
    m_mark->setFixedSize(markSize(), markSize());
    m_mark->setAttribute(Qt::WA_TransparentForMouseEvents);
    ui::hideFromAccessibility(m_mark);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    m_title = new QLabel(title, this);
    m_detail = new QLabel(detail, this);
    for (QLabel* label : {m_title, m_detail}) {
        label->setWordWrap(true);
        label->setAttribute(Qt::WA_TransparentForMouseEvents);
        texts->addWidget(label);
    }
    ui::setTextStyle(m_title, ui::TextStyle::body);
    ui::setTextStyle(m_detail, ui::TextStyle::callout);
    row->addWidget(m_mark, 0, Qt::AlignTop);
    row->addLayout(texts, 1);
    setMinimumHeight(44);
    applyColours();
    sizeMark();
    connect(&ui::Environment::instance(), &ui::Environment::changed, this, [this] { sizeMark(); });
}

void OptionRow::setOn(bool on)
{
    setChecked(on);
    update();
}

void OptionRow::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const double size = markSize();
    const QRectF mark(m_mark->x(), m_mark->y() + m_markTop, size, size);
    if (m_kind == Kind::radio)
        ui::RadioMark::paint(p, mark, isChecked(), isEnabled());
    else
        ui::CheckMark::paint(p, mark, isChecked(), isEnabled());
    if (hasFocus())
        ui::paintFocusRing(p, QRectF(rect()), 6);
}

void OptionRow::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::EnabledChange)
        applyColours();
    QAbstractButton::changeEvent(event);
}

void OptionRow::sizeMark()
{
    m_markTop = std::max(0, (QFontMetrics(ui::font(ui::TextStyle::body)).height() - markSize()) / 2);
    m_mark->setFixedSize(markSize(), markSize() + m_markTop);
    update();
}

int OptionRow::markSize() const
{
    return int(std::round(ui::RadioMark::side()));
}

void OptionRow::applyColours()
{
    ui::setForeground(m_title, isEnabled() ? ui::ColorName::Ink : ui::ColorName::DisabledText);
    ui::setForeground(m_detail, isEnabled() ? ui::ColorName::Muted : ui::ColorName::DisabledText);
}

} // namespace hf
