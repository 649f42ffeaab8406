// A help topic's page: how a body splits into headings, paragraphs and list items, the inline
// Markdown of paragraphs, and the page drawn from the shipped corpus.

#include "app/help_corpus.h"
#include "app/help_topic_view.h"
#include "support/test_support.h"
#include "ui_kit/environment.h"

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QTest>

using namespace hf;
using Block = HelpBlock;

namespace {

const QString kBullet = QStringLiteral("\u2022");

} // namespace

class TestHelpTopic : public QObject {
    Q_OBJECT

private slots:
    // Every window looks as in the application: dark, with the kit's palette and font.
    void initTestCase()
    {
        ui::Environment::instance().setAppearance(ui::Appearance::dark);
        ui::Environment::applyToApplication(*qApp);
    }

    void splitsHeadingsParagraphsAndBullets()
    {
        QCOMPARE(helpTopicBlocks("## Start here\n\nOne sentence.\n\n- first\n- second"),
                 (QList<Block>{Block::heading("Start here"), Block::paragraph("One sentence."),
                               Block::listItem(kBullet, "first"), Block::listItem(kBullet, "second")}));
        // Pieces are trimmed before they are read; inner line breaks stay.
        QCOMPARE(helpTopicBlocks("  \n\nA line\nand its sequel.  \n\n\n\n## Two\nlines"),
                 (QList<Block>{Block::paragraph("A line\nand its sequel."), Block::heading("Two\nlines")}));
        // A bullet's text is the rest of the line as written.
        QCOMPARE(helpTopicBlocks("- two  spaces kept "), (QList<Block>{Block::listItem(kBullet, "two  spaces kept")}));
        QVERIFY(helpTopicBlocks("\n\n \n\n\t\n\n").isEmpty());
        QVERIFY(helpTopicBlocks(QString()).isEmpty());
    }

    void splitsNumberedItemsAtTheirFirstFullStop()
    {
        QCOMPARE(helpTopicBlocks("1. Open a video.\n2.\tPress Space\n12. Export it"),
                 (QList<Block>{Block::listItem("1.", "Open a video."), Block::listItem("2.", "Press Space"),
                               Block::listItem("12.", "Export it")}));
        // Inside a list: a line without a full stop is dropped, one ending in its only full stop
        // is all marker, and "- " lines stay bullets.
        QCOMPARE(helpTopicBlocks("1. First\nno stop here\nAll marker.\n- a bullet"),
                 (QList<Block>{Block::listItem("1.", "First"), Block::listItem("All marker.", ""),
                               Block::listItem(kBullet, "a bullet")}));
    }

    void keepsLookalikesAsParagraphs()
    {
        // Digits without ". ", a number sign pair without its space, a dash without its space.
        for (const QString& body : {QStringLiteral("2024 was a year."), QStringLiteral("3.5 seconds in."),
                                    QStringLiteral("##Heading"), QStringLiteral("-dash"), QStringLiteral("1.")})
            QCOMPARE(helpTopicBlocks(body), (QList<Block>{Block::paragraph(body)}));
    }

    void rendersInlineMarkdownSafely()
    {
        QCOMPARE(inlineMarkdownToHtml("Choose **Export...** then *Save*."),
                 QStringLiteral("Choose <b>Export...</b> then <i>Save</i>."));
        QCOMPARE(inlineMarkdownToHtml("Press `Ctrl+*`, not *this*"),
                 QStringLiteral("Press <code>Ctrl+*</code>, not <i>this</i>"));
        QCOMPARE(inlineMarkdownToHtml("Write to [us](mailto:a@b.dev) or [see](https://x.dev/a_b_c)."),
                 QStringLiteral("Write to <a href=\"mailto:a@b.dev\">us</a> or <a href=\"https://x.dev/a_b_c\">see</a>."));
        // Markup in the text is shown, never run; other link schemes stay plain text.
        QCOMPARE(inlineMarkdownToHtml("<img src=x> & [run](javascript:alert)"),
                 QStringLiteral("&lt;img src=x&gt; &amp; run"));
        QCOMPARE(inlineMarkdownToHtml("2 \\* 3 and snake_case_name\nnext"),
                 QStringLiteral("2 &#42; 3 and snake_case_name<br>next"));
    }

    void drawsATopicPage()
    {
        const auto corpus = HelpCorpus::load();
        QVERIFY(corpus);
        const auto found = std::find_if(corpus->topics.begin(), corpus->topics.end(),
                                        [](const HelpTopic& t) { return t.id == QLatin1String("troubleshooting"); });
        QVERIFY(found != corpus->topics.end());
        QList<QUrl> opened;
        HelpTopicView page(*found, [&](const QUrl& url) {
            opened << url;
            return true;
        });
        page.resize(640, 640);
        page.show();
        QVERIFY(QTest::qWaitForWindowExposed(&page));
        QCOMPARE(page.objectName(), QStringLiteral("help.topic"));
        QCOMPARE(page.windowTitle(), found->title);
        QCOMPARE(page.column()->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly).size(),
                 page.blocks().size());
        QVERIFY(page.column()->width() <= 640);

        // Bullets are silent to assistive technologies; numbers are read.
        const auto markers = page.findChildren<QLabel*>(QStringLiteral("help.topic.marker"));
        QVERIFY(!markers.isEmpty());
        for (QLabel* marker : markers) {
            QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(marker);
            QVERIFY(accessible);
            QCOMPARE(accessible->state().invisible, marker->text() == kBullet);
        }
        hf::test::saveScreenshot(page.grab().toImage(), QStringLiteral("help"), QStringLiteral("topic"));

        HelpTopicView numbered(HelpTopic{"n", "Steps", "basics", {}, "1. One step.\n2. Another one, [linked](https://example.invalid/)."});
        numbered.show();
        QVERIFY(QTest::qWaitForWindowExposed(&numbered));
        const auto numbers = numbered.findChildren<QLabel*>(QStringLiteral("help.topic.marker"));
        QCOMPARE(numbers.size(), 2);
        QVERIFY(!QAccessible::queryAccessibleInterface(numbers[0])->state().invisible);
    }
};

QTEST_MAIN(TestHelpTopic)
#include "test_help_topic.moc"
