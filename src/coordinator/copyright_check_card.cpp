#include "coordinator/copyright_check_card.h"

#include "pipeline/formatting.h"
#include "platform/texts.h"

namespace hf {

namespace {

// Spaces and tabs go; line breaks stay.
bool isBlank(QChar c)
{
    return c == u'\t' || c.category() == QChar::Separator_Space;
}

QString trimmed(const QString& s)
{
    qsizetype from = 0;
    qsizetype to = s.size();
    while (from < to && isBlank(s[from]))
        ++from;
    while (to > from && isBlank(s[to - 1]))
        --to;
    return s.mid(from, to - from);
}

std::optional<QString> trimmedArtist(const std::optional<QString>& artist)
{
    if (!artist)
        return std::nullopt;
    QString t = trimmed(*artist);
    if (t.isEmpty())
        return std::nullopt;
    return t;
}

} // namespace

std::vector<CopyrightCheckCard::Song> CopyrightCheckCard::songs(const ClaimCheck& check, double ambience)
{
    const Verdict applied = ambience <= 0.001 ? Verdict::ambienceZeroApplied : Verdict::ambienceZero;
    std::vector<Song> list;

    if (check.songs) {
        for (size_t i = 0; i < check.songs->size(); ++i) {
            const ClaimCheckSong& found = (*check.songs)[i];
            Song song;
            song.title = trimmed(found.title);
            if (song.title.isEmpty())
                continue;
            song.id = int(i);
            song.artist = trimmedArtist(found.artist);
            for (const ClaimCheckRange& range : found.ranges)
                if (range.start <= range.end)
                    song.ranges.push_back(range);
            switch (found.verdict) {
            case ClaimCheckVerdict::gone:
                song.verdict = Verdict::gone;
                break;
            case ClaimCheckVerdict::ambienceZero:
                song.verdict = applied;
                break;
            case ClaimCheckVerdict::stillThere:
            case ClaimCheckVerdict::unknown:
                song.verdict = Verdict::stillThere;
                break;
            }
            list.push_back(std::move(song));
        }
        return list;
    }

    // An older check: only its matches, and only when it reports a match.
    if (check.status != ClaimCheckStatus::match || !check.matches)
        return list;
    const Verdict verdict = check.clearWithoutAmbience.value_or(false) ? applied : Verdict::stillThere;
    for (size_t i = 0; i < check.matches->size(); ++i) {
        const ClaimCheckMatch& match = (*check.matches)[i];
        Song song;
        song.title = trimmed(match.title);
        if (song.title.isEmpty())
            continue;
        song.id = int(i);
        song.artist = trimmedArtist(match.artist);
        if (match.offsetSeconds)
            song.ranges.push_back(ClaimCheckRange{*match.offsetSeconds, *match.offsetSeconds + 12.0});
        song.verdict = verdict;
        list.push_back(std::move(song));
    }
    return list;
}

QString CopyrightCheckCard::label(Verdict verdict)
{
    switch (verdict) {
    case Verdict::gone:
        return text("ui.copyright.verdict.gone", "Not detected after cleaning");
    case Verdict::ambienceZero:
        return text("ui.copyright.verdict.ambienceZero", "Set Ambience to 0 to remove");
    case Verdict::ambienceZeroApplied:
        return text("ui.copyright.verdict.ambienceZeroApplied", "Not detected with Ambience at 0");
    case Verdict::stillThere:
        return text("ui.copyright.verdict.stillThere", "Still detectable in the dialogue");
    }
    return {};
}

QString CopyrightCheckCard::rangeLabel(double start, double end)
{
    return text("ui.copyright.range", "%@\u2013%@", {clockText(start), clockText(end)});
}

QString CopyrightCheckCard::rangeAccessibilityLabel(double start, double end)
{
    return text("ui.copyright.range.a11y", "Play from %@ to %@", {clockText(start), clockText(end)});
}

} // namespace hf
