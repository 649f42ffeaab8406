#pragma once

// The help topics shipped with the application (":/help/help.json"): their strict decoding, the
// fixed order of the well-known topics, the search with its scores and the grouping into sections.
// The help browser loads the corpus each time it is shown and keeps it while it exists.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <limits>
#include <optional>

namespace hf {

struct HelpTopic {
    QString id;
    QString title;
    QString category;
    QStringList keywords;
    QString body;

    bool operator==(const HelpTopic&) const = default;

    // The place of `id` among "overview", "gettingStarted", "privacy", "troubleshooting",
    // "contact" (exact, case-sensitive), or the largest integer for any other identifier.
    int sortRank() const;

    // The topic's score for an already trimmed and lower-cased query: 10 for the title, 5 for the
    // first matching keyword, 1 for the body; 0 when nothing matches.
    int score(const QString& query) const;
};

// Whether `a` comes before `b`: rank first, then the title by code point.
bool helpTopicBefore(const HelpTopic& a, const HelpTopic& b);

struct HelpSection {
    QString category;
    QList<HelpTopic> topics;

    bool operator==(const HelpSection&) const = default;
};

struct HelpCorpus {
    QString app;
    QList<HelpTopic> topics;

    bool operator==(const HelpCorpus&) const = default;

    // Decodes the whole resource, or nothing: a missing key or a value of the wrong type anywhere
    // fails the whole corpus.
    static std::optional<HelpCorpus> decode(const QByteArray& json);

    // Loads the corpus shipped with the application (or the file at `path`, for tests); nothing
    // when it is missing, unreadable or not decodable.
    static std::optional<HelpCorpus> load(const QString& path = QStringLiteral(":/help/help.json"));

    // The topics that match the typed text, best first; every topic in topic order for a blank query.
    QList<HelpTopic> search(const QString& typed) const;

    // The display name of a category key.
    static QString categoryTitle(const QString& category);
};

// Groups an ordered list of topics by category, in the order in which the categories first occur.
QList<HelpSection> helpSections(const QList<HelpTopic>& topics);

} // namespace hf
