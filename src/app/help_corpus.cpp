#include "app/help_corpus.h"

#include "platform/texts.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace hf {

namespace {

const QStringList kWellKnown = {
    QStringLiteral("overview"),        QStringLiteral("gettingStarted"), QStringLiteral("privacy"),
    QStringLiteral("troubleshooting"), QStringLiteral("contact"),
};

std::optional<QString> requiredString(const QJsonObject& object, const char* key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

std::optional<HelpTopic> decodeTopic(const QJsonValue& value)
{
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject object = value.toObject();
    auto id = requiredString(object, "id");
    auto title = requiredString(object, "title");
    auto category = requiredString(object, "category");
    auto body = requiredString(object, "body");
    const QJsonValue keywords = object.value(QLatin1String("keywords"));
    if (!id || !title || !category || !body || !keywords.isArray())
        return std::nullopt;
    HelpTopic topic{*id, *title, *category, {}, *body};
    for (const QJsonValue& keyword : keywords.toArray()) {
        if (!keyword.isString())
            return std::nullopt;
        topic.keywords << keyword.toString();
    }
    return topic;
}

// Lower-cases the same way for the query and the searched texts, whatever the user's locale.
QString folded(const QString& text)
{
    return text.toLower();
}

} // namespace

int HelpTopic::sortRank() const
{
    const qsizetype index = kWellKnown.indexOf(id);
    return index < 0 ? std::numeric_limits<int>::max() : int(index);
}

int HelpTopic::score(const QString& query) const
{
    int total = 0;
    if (folded(title).contains(query))
        total += 10;
    for (const QString& keyword : keywords) {
        if (folded(keyword).contains(query)) {
            total += 5;
            break;
        }
    }
    if (folded(body).contains(query))
        total += 1;
    return total;
}

bool helpTopicBefore(const HelpTopic& a, const HelpTopic& b)
{
    const int rankA = a.sortRank();
    const int rankB = b.sortRank();
    if (rankA != rankB)
        return rankA < rankB;
    // Plain code-point order after canonical normalization, independent of the locale.
    const QString titleA = a.title.normalized(QString::NormalizationForm_C);
    const QString titleB = b.title.normalized(QString::NormalizationForm_C);
    return titleA.toUcs4() < titleB.toUcs4();
}

std::optional<HelpCorpus> HelpCorpus::decode(const QByteArray& json)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject root = document.object();
    auto app = requiredString(root, "app");
    const QJsonValue topics = root.value(QLatin1String("topics"));
    if (!app || !topics.isArray())
        return std::nullopt;
    HelpCorpus corpus{*app, {}};
    for (const QJsonValue& value : topics.toArray()) {
        auto topic = decodeTopic(value);
        if (!topic)
            return std::nullopt;
        corpus.topics << std::move(*topic);
    }
    return corpus;
}

std::optional<HelpCorpus> HelpCorpus::load(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return decode(file.readAll());
}

QList<HelpTopic> HelpCorpus::search(const QString& typed) const
{
    QList<HelpTopic> ordered = topics;
    std::stable_sort(ordered.begin(), ordered.end(), helpTopicBefore);
    const QString query = folded(typed.trimmed());
    if (query.isEmpty())
        return ordered;

    QList<std::pair<int, HelpTopic>> scored;
    for (HelpTopic& topic : ordered) {
        const int score = topic.score(query);
        if (score > 0)
            scored.append({score, std::move(topic)});
    }
    std::stable_sort(scored.begin(), scored.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    QList<HelpTopic> found;
    found.reserve(scored.size());
    for (auto& entry : scored)
        found << std::move(entry.second);
    return found;
}

QString HelpCorpus::categoryTitle(const QString& category)
{
    if (category == QLatin1String("basics"))
        return text("help.category.basics", "Basics");
    if (category == QLatin1String("help"))
        return text("help.category.help", "Problems and support");
    // Every word with an initial capital and the rest in lower case.
    QString title = category.toLower();
    bool wordStart = true;
    for (QChar& c : title) {
        if (c.isSpace()) {
            wordStart = true;
        } else if (wordStart) {
            c = c.toUpper();
            wordStart = false;
        }
    }
    return title;
}

QList<HelpSection> helpSections(const QList<HelpTopic>& topics)
{
    QList<HelpSection> sections;
    for (const HelpTopic& topic : topics) {
        auto it = std::find_if(sections.begin(), sections.end(),
                               [&](const HelpSection& s) { return s.category == topic.category; });
        if (it == sections.end())
            sections.append({topic.category, {topic}});
        else
            it->topics << topic;
    }
    return sections;
}

} // namespace hf
