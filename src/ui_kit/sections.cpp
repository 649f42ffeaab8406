#include "ui_kit/sections.h"

#include "ui_kit/accessibility.h"
#include "ui_kit/palette.h"
#include "ui_kit/text_styles.h"

#include <QPainter>
#include <QVBoxLayout>

namespace hf::ui {

SectionLabel::SectionLabel(const QString& text, QWidget* parent)
    : QLabel(parent)
{
    presentAsHeading(this);
    setTextFormat(Qt::PlainText);
    setWordWrap(true);
    setText(text);
    setTextStyle(this, TextStyle::callout, QFont::DemiBold);
    setForeground(this, ColorName::Muted);
}

Rule::Rule(QWidget* parent)
    : QWidget(parent)
{
    hideFromAccessibility(this);
    setFixedHeight(1);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFocusPolicy(Qt::NoFocus);
}

void Rule::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), color(ColorName::Rule));
}

// The rounded "Surface" panel behind the rows, with rules between them.
class FrameSection::Panel : public QWidget {
public:
    explicit Panel(FrameSection* section) : QWidget(section), m_section(section) {}

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.fillPath(roundedRectPath(rect(), panelRadius), color(ColorName::Surface));
        const QColor rule = color(ColorName::Rule);
        const auto& rows = m_section->m_rowWidgets;
        for (int i = 1; i < rows.size(); ++i) {
            const QWidget* holder = rows[i]->parentWidget();
            const int y = holder->geometry().top();
            p.fillRect(QRect(rowHorizontalPadding, y, width() - rowHorizontalPadding, 1), rule);
        }
    }

private:
    FrameSection* m_section;
};

FrameSection::FrameSection(const QString& title, QWidget* parent)
    : QWidget(parent)
{
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(6);
    m_panel = new Panel(this);
    m_rows = new QVBoxLayout(m_panel);
    m_rows->setContentsMargins(0, 0, 0, 0);
    m_rows->setSpacing(0);
    outer->addWidget(m_panel);
    setTitle(title);
}

QString FrameSection::title() const
{
    return m_header ? m_header->text() : QString();
}

void FrameSection::setTitle(const QString& title)
{
    if (title.isEmpty()) {
        delete m_header;
        m_header = nullptr;
        return;
    }
    if (!m_header) {
        m_header = new SectionLabel(title, this);
        m_header->setContentsMargins(rowHorizontalPadding / 2, 0, 0, 0);
        static_cast<QVBoxLayout*>(layout())->insertWidget(0, m_header);
        // First among the section's children too: assistive technologies read them in that order.
        m_header->lower();
    }
    m_header->setText(title);
}

SectionLabel* FrameSection::header() const
{
    return m_header;
}

void FrameSection::addRow(QWidget* row)
{
    auto* holder = new QWidget(m_panel);
    auto* layout = new QVBoxLayout(holder);
    layout->setContentsMargins(rowHorizontalPadding, rowVerticalPadding, rowHorizontalPadding, rowVerticalPadding);
    layout->addWidget(row);
    m_rows->addWidget(holder);
    m_rowWidgets.append(row);
    m_panel->update();
}

QWidget* FrameSection::panel() const
{
    return m_panel;
}

int FrameSection::rowCount() const
{
    return int(m_rowWidgets.size());
}

QWidget* FrameSection::row(int index) const
{
    return m_rowWidgets.value(index);
}

} // namespace hf::ui
