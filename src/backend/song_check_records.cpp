#include "backend/song_check_records.h"

namespace hf {

ClaimCheckRange ClaimCheckRange::fromJson(const json::ObjectReader& in)
{
    return {
        .start = in.required<double>(QStringLiteral("start")),
        .end = in.required<double>(QStringLiteral("end")),
    };
}

void ClaimCheckRange::toJson(json::ObjectWriter& out) const
{
    out.put(QStringLiteral("start"), start);
    out.put(QStringLiteral("end"), end);
}

ClaimCheckMatch ClaimCheckMatch::fromJson(const json::ObjectReader& in)
{
    return {
        .title = in.required<QString>(QStringLiteral("title")),
        .artist = in.optional<QString>(QStringLiteral("artist")),
        .isrc = in.optional<QString>(QStringLiteral("isrc")),
        .score = in.optional<double>(QStringLiteral("score")),
        .offsetSeconds = in.optional<double>(QStringLiteral("offsetSeconds")),
    };
}

void ClaimCheckMatch::toJson(json::ObjectWriter& out) const
{
    out.put(QStringLiteral("title"), title);
    out.put(QStringLiteral("artist"), artist);
    out.put(QStringLiteral("isrc"), isrc);
    out.put(QStringLiteral("score"), score);
    out.put(QStringLiteral("offsetSeconds"), offsetSeconds);
}

ClaimCheckSong ClaimCheckSong::fromJson(const json::ObjectReader& in)
{
    return {
        .title = in.required<QString>(QStringLiteral("title")),
        .artist = in.optional<QString>(QStringLiteral("artist")),
        .isrc = in.optional<QString>(QStringLiteral("isrc")),
        .score = in.optional<double>(QStringLiteral("score")),
        .ranges = in.optional<std::vector<ClaimCheckRange>>(QStringLiteral("ranges")).value_or(
            std::vector<ClaimCheckRange>{}),
        .verdict = in.optional<ClaimCheckVerdict>(QStringLiteral("verdict"))
                       .value_or(ClaimCheckVerdict::unknown),
    };
}

void ClaimCheckSong::toJson(json::ObjectWriter& out) const
{
    out.put(QStringLiteral("title"), title);
    out.put(QStringLiteral("artist"), artist);
    out.put(QStringLiteral("isrc"), isrc);
    out.put(QStringLiteral("score"), score);
    out.put(QStringLiteral("ranges"), ranges);
    out.put(QStringLiteral("verdict"), verdict);
}

ClaimCheck ClaimCheck::fromJson(const json::ObjectReader& in)
{
    return {
        .status = in.required<ClaimCheckStatus>(QStringLiteral("status")),
        .provider = in.optional<QString>(QStringLiteral("provider")),
        .checkedSegments = in.optional<qint64>(QStringLiteral("checkedSegments")),
        .matches = in.optional<std::vector<ClaimCheckMatch>>(QStringLiteral("matches")),
        .clearWithoutAmbience = in.optional<bool>(QStringLiteral("clearWithoutAmbience")),
        .songs = in.optional<std::vector<ClaimCheckSong>>(QStringLiteral("songs")),
    };
}

void ClaimCheck::toJson(json::ObjectWriter& out) const
{
    out.put(QStringLiteral("status"), status);
    out.put(QStringLiteral("provider"), provider);
    out.put(QStringLiteral("checkedSegments"), checkedSegments);
    out.put(QStringLiteral("matches"), matches);
    out.put(QStringLiteral("clearWithoutAmbience"), clearWithoutAmbience);
    out.put(QStringLiteral("songs"), songs);
}

} // namespace hf
