// The help corpus: strict decoding, topic order, search scores and sections, and the shipped file.

#include "app/help_corpus.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace hf;

namespace {

HelpTopic topic(QString id, QString title, QString category = QStringLiteral("basics"),
                QStringList keywords = {}, QString body = {})
{
    return HelpTopic{std::move(id), std::move(title), std::move(category), std::move(keywords), std::move(body)};
}

QStringList ids(const QList<HelpTopic>& topics)
{
    QStringList out;
    for (const auto& t : topics)
        out << t.id;
    return out;
}

QByteArray corpusJson(const QJsonArray& topics)
{
    return QJsonDocument(QJsonObject{{"app", "Hushframe"}, {"topics", topics}}).toJson();
}

QJsonObject topicJson(const QString& id)
{
    return QJsonObject{{"id", id}, {"title", "T " + id}, {"category", "basics"},
                       {"keywords", QJsonArray{"k"}}, {"body", "b"}};
}

} // namespace

class TestHelpCorpus : public QObject {
    Q_OBJECT

private slots:
    void decodesOnlyWholeCorpora()
    {
        auto ok = HelpCorpus::decode(corpusJson({topicJson("a"), topicJson("b")}));
        QVERIFY(ok);
        QCOMPARE(ids(ok->topics), (QStringList{"a", "b"}));
        QCOMPARE(ok->topics[0].keywords, QStringList{"k"});

        auto empty = HelpCorpus::decode(corpusJson({}));
        QVERIFY(empty);
        QVERIFY(empty->search(QString()).isEmpty());
        QVERIFY(helpSections(empty->search(QString())).isEmpty());

        // One topic without keywords, a keyword of the wrong type, a number for a title, a missing
        // "app", malformed JSON: nothing loads at all.
        QJsonObject noKeywords = topicJson("c");
        noKeywords.remove("keywords");
        QVERIFY(!HelpCorpus::decode(corpusJson({topicJson("a"), noKeywords})));
        QJsonObject badKeyword = topicJson("c");
        badKeyword["keywords"] = QJsonArray{"x", 3};
        QVERIFY(!HelpCorpus::decode(corpusJson({badKeyword})));
        QJsonObject numberTitle = topicJson("c");
        numberTitle["title"] = 5;
        QVERIFY(!HelpCorpus::decode(corpusJson({numberTitle})));
        QVERIFY(!HelpCorpus::decode(QJsonDocument(QJsonObject{{"topics", QJsonArray{}}}).toJson()));
        QVERIFY(!HelpCorpus::decode("{\"app\": \"x\", \"topics\": ["));
        QVERIFY(!HelpCorpus::load(QStringLiteral("/nonexistent/help.json")));

        // Empty texts are valid; unknown keys are ignored.
        QJsonObject sparse{{"id", ""}, {"title", ""}, {"category", ""}, {"keywords", QJsonArray{}},
                           {"body", ""}, {"extra", 1}};
        QVERIFY(HelpCorpus::decode(corpusJson({sparse})));
    }

    void ordersWellKnownTopicsFirstThenByCodePoint()
    {
        HelpCorpus corpus{"x", {topic("zeta", "Zebra"), topic("contact", "Aardvark"), topic("other", "apple"),
                                topic("overview", "Zoo"), topic("Overview", "Able"),
                                topic("same1", "Same"), topic("same2", "Same")}};
        // Upper-case titles sort before lower-case ones; an identifier that differs only in case
        // ranks with the others; equal titles keep file order.
        QCOMPARE(ids(corpus.search(QStringLiteral("  \n "))),
                 (QStringList{"overview", "contact", "Overview", "same1", "same2", "zeta", "other"}));
    }

    void scoresTitleKeywordsAndBody()
    {
        const HelpTopic all = topic("a", "Export video", "basics", {"export", "exporting"}, "How to export.");
        QCOMPARE(all.score("export"), 16);
        const HelpTopic keywordsAndBody = topic("b", "Saving", "basics", {"export", "export again"}, "export");
        QCOMPARE(keywordsAndBody.score("export"), 6);
        QCOMPARE(topic("c", "Queue", "basics", {}, "").score("basics"), 0); // category is never searched
        QCOMPARE(topic("queue", "Batch", "basics", {}, "").score("queue"), 0); // nor the identifier

        HelpCorpus corpus{"x", {keywordsAndBody, topic("t", "Export", "help")}};
        // The title match outranks two keywords and the body; the query is trimmed and case-folded.
        QCOMPARE(ids(corpus.search(QStringLiteral("EXPORT "))), (QStringList{"t", "b"}));
        QVERIFY(corpus.search(QStringLiteral("export  video")).isEmpty());
    }

    void groupsSectionsByFirstAppearance()
    {
        HelpCorpus corpus{"x", {topic("overview", "Overview", "basics"), topic("m", "Middle", "help", {"mix"}),
                                topic("z", "Mixing", "zeta words")}};
        // With a query, the category whose best match scores 10 comes before one whose best scores 5.
        const QList<HelpSection> sections = helpSections(corpus.search(QStringLiteral("mix")));
        QCOMPARE(sections.size(), 2);
        QCOMPARE(sections[0].category, QStringLiteral("zeta words"));
        QCOMPARE(sections[1].category, QStringLiteral("help"));

        const QList<HelpSection> all = helpSections(corpus.search(QString()));
        QCOMPARE(all.size(), 3);
        QCOMPARE(all[0].category, QStringLiteral("basics"));

        QCOMPARE(HelpCorpus::categoryTitle("basics"), QStringLiteral("Basics"));
        QCOMPARE(HelpCorpus::categoryTitle("help"), QStringLiteral("Problems and support"));
        QCOMPARE(HelpCorpus::categoryTitle("zeta words"), QStringLiteral("Zeta Words"));
        QCOMPARE(HelpCorpus::categoryTitle("FAQ"), QStringLiteral("Faq"));
        QCOMPARE(HelpCorpus::categoryTitle(""), QString());
    }

    void shipsAWellFormedCorpus()
    {
        const auto corpus = HelpCorpus::load();
        QVERIFY2(corpus, "the shipped help.json does not decode");
        QStringList seen;
        for (const HelpTopic& t : corpus->topics) {
            QVERIFY2(!seen.contains(t.id), qPrintable("duplicate topic " + t.id));
            seen << t.id;
            QVERIFY(!t.title.isEmpty() && !t.body.isEmpty());
        }
        for (const char* id : {"overview", "gettingStarted", "privacy", "troubleshooting", "contact"})
            QVERIFY2(seen.contains(QLatin1String(id)), id);
        QCOMPARE(corpus->search(QString()).first().id, QStringLiteral("overview"));
    }
};

QTEST_GUILESS_MAIN(TestHelpCorpus)
#include "test_help_corpus.moc"
