#pragma once

// One help topic's page: the topic's body split into blocks and drawn top to bottom in a
// scrolling column at most 640 wide.
//
// The body's light markup: blocks are separated by a blank line; a block beginning "## " is a
// heading; a block beginning "- " or "<digits>. " is a list, one item per line ("- " lines give
// bullet items, other lines up to their first full stop give the marker of a numbered item, lines
// without a full stop are dropped); any other block is a paragraph. Paragraphs and item texts
// may carry inline Markdown (**strong**, *emphasis*, `code`, [links](https://...)).

#include "app/help_corpus.h"
#include "platform/url_opener.h"

#include <QList>
#include <QScrollArea>
#include <QString>

namespace hf {

struct HelpBlock {
    enum class Kind { heading, paragraph, listItem };
    Kind kind = Kind::paragraph;
    QString text;
    QString marker;   // list items only: "•" or the number with its full stop

    bool operator==(const HelpBlock&) const = default;

    static HelpBlock heading(QString text) { return {Kind::heading, std::move(text), {}}; }
    static HelpBlock paragraph(QString text) { return {Kind::paragraph, std::move(text), {}}; }
    static HelpBlock listItem(QString marker, QString text) { return {Kind::listItem, std::move(text), std::move(marker)}; }
};

// Splits a topic body into its blocks, in order.
QList<HelpBlock> helpTopicBlocks(const QString& body);

// Inline Markdown of one paragraph as the rich text a label shows: everything else escaped,
// line breaks kept; only http, https and mailto links become links.
QString inlineMarkdownToHtml(const QString& markdown);

class HelpTopicView : public QScrollArea {
    Q_OBJECT

public:
    // Links in the text open through `opener`.
    explicit HelpTopicView(HelpTopic topic, URLOpener opener = systemURLOpener(), QWidget* parent = nullptr);

    const HelpTopic& topic() const { return m_topic; }
    const QList<HelpBlock>& blocks() const { return m_blocks; }

    // The column the blocks stand in, one widget per block.
    QWidget* column() const { return m_column; }

private:
    QWidget* viewFor(const HelpBlock& block, QWidget* parent);

    HelpTopic m_topic;
    QList<HelpBlock> m_blocks;
    URLOpener m_opener;
    QWidget* m_column;
};

} // namespace hf
