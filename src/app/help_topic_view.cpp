#include "app/help_topic_view.h"

#include "platform/texts.h"
#include "ui_kit/accessibility.h"
#include "ui_kit/palette.h"
#include "ui_kit/text_styles.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QHBoxLayout>
#include <QLabel>
#include <QRegularExpression>
#include <QScrollBar>
#include <QVBoxLayout>

#include <mutex>

namespace hf {

namespace {

const QString kBullet = QStringLiteral("\u2022");

// Trims spaces and tabs only (an item's text keeps nothing else to trim: it is one line).
QString trimSpacesAndTabs(const QString& s)
{
    qsizetype start = 0, end = s.size();
    while (start < end && (s[start] == u' ' || s[start] == u'\t'))
        ++start;
    while (end > start && (s[end - 1] == u' ' || s[end - 1] == u'\t'))
        --end;
    return s.mid(start, end - start);
}

// A topic heading, announced as a heading.
// A block's heading, announced as a heading.
QLabel* makeHelpHeading(const QString& text, QWidget* parent)
{
    auto* heading = new QLabel(text, parent);
    ui::presentAsHeading(heading);
    return heading;
}

// A list item's marker; a class of its own so that its accessibility follows the kit's rules
// before QLabel's.
class ItemMarker : public QLabel {
    Q_OBJECT

public:
    ItemMarker(const QString& text, QWidget* parent) : QLabel(text, parent) {}
};

} // namespace

QList<HelpBlock> helpTopicBlocks(const QString& body)
{
    static const QRegularExpression numbered(QStringLiteral("^\\d+\\. "));
    QList<HelpBlock> blocks;
    for (const QString& raw : body.split(QStringLiteral("\n\n"))) {
        const QString piece = raw.trimmed();
        if (piece.isEmpty())
            continue;
        if (piece.startsWith(QLatin1String("## "))) {
            blocks << HelpBlock::heading(piece.mid(3));
        } else if (piece.startsWith(QLatin1String("- ")) || numbered.match(piece).hasMatch()) {
            for (const QString& line : piece.split(u'\n')) {
                if (line.startsWith(QLatin1String("- "))) {
                    blocks << HelpBlock::listItem(kBullet, line.mid(2));
                } else if (const qsizetype stop = line.indexOf(u'.'); stop >= 0) {
                    blocks << HelpBlock::listItem(line.left(stop + 1), trimSpacesAndTabs(line.mid(stop + 1)));
                }
            }
        } else {
            blocks << HelpBlock::paragraph(piece);
        }
    }
    return blocks;
}

QString inlineMarkdownToHtml(const QString& markdown)
{
    // Backslash escapes become character references first, so no rule below sees them.
    static const QRegularExpression escaped(QStringLiteral("\\\\([\\\\`*_\\[\\]()#+\\-.!])"));
    static const QRegularExpression code(QStringLiteral("`([^`]+)`"));
    static const QRegularExpression link(QStringLiteral("\\[([^\\]]+)\\]\\(([^)\\s]+)\\)"));
    static const QRegularExpression strong(QStringLiteral("\\*\\*(.+?)\\*\\*|__(.+?)__"));
    static const QRegularExpression emphasis(QStringLiteral("\\*([^*\\s](?:[^*]*[^*\\s])?)\\*|(?<![\\w])_([^_\\s](?:[^_]*[^_\\s])?)_(?![\\w])"));

    QString source;
    source.reserve(markdown.size());
    qsizetype from = 0;
    for (auto it = escaped.globalMatch(markdown); it.hasNext();) {
        const auto m = it.next();
        source += markdown.mid(from, m.capturedStart() - from).toHtmlEscaped();
        source += QStringLiteral("&#%1;").arg(m.captured(1).at(0).unicode());
        from = m.capturedEnd();
    }
    source += markdown.mid(from).toHtmlEscaped();

    // Links, strong and emphasis; code spans (below) are taken as they are.
    auto inlineRules = [](QString text) {
        QString withLinks;
        qsizetype at = 0;
        for (auto it = link.globalMatch(text); it.hasNext();) {
            const auto m = it.next();
            withLinks += text.mid(at, m.capturedStart() - at);
            const QString target = m.captured(2);
            const QString scheme = target.section(u':', 0, 0).toLower();
            if (target.contains(u':') && (scheme == u"http" || scheme == u"https" || scheme == u"mailto"))
                withLinks += QStringLiteral("<a href=\"%1\">%2</a>").arg(target, m.captured(1));
            else
                withLinks += m.captured(1);
            at = m.capturedEnd();
        }
        withLinks += text.mid(at);
        withLinks.replace(strong, QStringLiteral("<b>\\1\\2</b>"));
        withLinks.replace(emphasis, QStringLiteral("<i>\\1\\2</i>"));
        return withLinks;
    };

    QString html;
    qsizetype at = 0;
    for (auto it = code.globalMatch(source); it.hasNext();) {
        const auto m = it.next();
        html += inlineRules(source.mid(at, m.capturedStart() - at));
        html += QStringLiteral("<code>%1</code>").arg(m.captured(1));
        at = m.capturedEnd();
    }
    html += inlineRules(source.mid(at));
    html.replace(u'\n', QStringLiteral("<br>"));
    return html;
}

HelpTopicView::HelpTopicView(HelpTopic topic, URLOpener opener, QWidget* parent)
    : QScrollArea(parent), m_topic(std::move(topic)), m_blocks(helpTopicBlocks(m_topic.body)), m_opener(std::move(opener))
{
    setObjectName(QStringLiteral("help.topic"));
    setWindowTitle(m_topic.title);
    setAccessibleName(m_topic.title);
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ui::setBackground(this, ui::ColorName::Surface);
    ui::setBackground(viewport(), ui::ColorName::Surface);

    auto* content = new QWidget;
    ui::setBackground(content, ui::ColorName::Surface);
    auto* outer = new QHBoxLayout(content);
    outer->setContentsMargins(20, 20, 20, 20);
    m_column = new QWidget(content);
    m_column->setObjectName(QStringLiteral("help.topic.column"));
    m_column->setMaximumWidth(640);
    auto* stack = new QVBoxLayout(m_column);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(12);
    for (const HelpBlock& block : m_blocks)
        stack->addWidget(viewFor(block, m_column));
    outer->addWidget(m_column, 1, Qt::AlignTop);
    outer->addStretch(0);
    auto* wrapper = new QWidget;
    ui::setBackground(wrapper, ui::ColorName::Surface);
    auto* wrapperLayout = new QVBoxLayout(wrapper);
    wrapperLayout->setContentsMargins(0, 0, 0, 0);
    wrapperLayout->addWidget(content);
    wrapperLayout->addStretch(1);
    setWidget(wrapper);
}

QWidget* HelpTopicView::viewFor(const HelpBlock& block, QWidget* parent)
{
    auto paragraph = [this](const QString& source, QWidget* owner) {
        // The paragraph is its own lookup key, so a translation can replace it whole.
        const QByteArray key = source.toUtf8();
        auto* label = new QLabel(inlineMarkdownToHtml(text(key.constData(), key.constData())), owner);
        label->setTextFormat(Qt::RichText);
        label->setWordWrap(true);
        label->setTextInteractionFlags(Qt::TextBrowserInteraction);
        label->setOpenExternalLinks(false);
        label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
        ui::setTextStyle(label, ui::TextStyle::body);
        ui::setForeground(label, ui::ColorName::Ink);
        connect(label, &QLabel::linkActivated, this, [this](const QString& link) {
            if (m_opener)
                m_opener(QUrl(link));
        });
        return label;
    };

    switch (block.kind) {
    case HelpBlock::Kind::heading: {
        auto* heading = makeHelpHeading(block.text, parent);
        heading->setObjectName(QStringLiteral("help.topic.heading"));
        heading->setTextFormat(Qt::PlainText);
        heading->setWordWrap(true);
        heading->setContentsMargins(0, 6, 0, 0);
        ui::applyHeadingStyle(heading, ui::TextStyle::title3);
        ui::setForeground(heading, ui::ColorName::Ink);
        return heading;
    }
    case HelpBlock::Kind::paragraph: {
        QLabel* label = paragraph(block.text, parent);
        label->setObjectName(QStringLiteral("help.topic.paragraph"));
        return label;
    }
    case HelpBlock::Kind::listItem:
        break;
    }

    auto* row = new QWidget(parent);
    row->setObjectName(QStringLiteral("help.topic.item"));
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(8);
    auto* marker = new ItemMarker(block.marker, row);
    // A bullet says nothing; a number tells the step.
    if (block.marker == kBullet)
        ui::hideFromAccessibility(marker);
    marker->setObjectName(QStringLiteral("help.topic.marker"));
    marker->setTextFormat(Qt::PlainText);
    ui::setTextStyle(marker, ui::TextStyle::body);
    ui::setForeground(marker, ui::ColorName::SecondaryText);
    QLabel* body = paragraph(block.text, row);
    body->setObjectName(QStringLiteral("help.topic.itemText"));
    // Both in the body font and top-aligned, so their first baselines meet.
    line->addWidget(marker, 0, Qt::AlignTop);
    line->addWidget(body, 1, Qt::AlignTop);
    return row;
}

} // namespace hf

#include "help_topic_view.moc"
