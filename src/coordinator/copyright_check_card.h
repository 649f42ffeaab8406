#pragma once

// What the editor's song-check card shows for the current result, derived by the coordinator from
// the result's song check and the ambience setting.

#include "backend/song_check_records.h"

#include <QString>

#include <optional>
#include <vector>

namespace hf {

struct CopyrightCheckCard {
    enum class Kind {
        songs,      // the check found songs; `songList` is never empty
        hidden,     // no full result
        checking,   // a request is on its way, or the service is still checking
        noSongs,    // the check is done and found no song worth listing
        failed,     // the check failed on the service, or its answer is not understood
        unavailable, // the service made no check: it has nothing to check against
        available,  // no check yet, and one can be requested
        expired,    // no check, and none can be requested any more
    };

    // Whether a song is still detectable after cleaning.
    enum class Verdict { gone, ambienceZero, ambienceZeroApplied, stillThere };

    struct Song {
        int id = 0;                     // position in the service's list; skipped songs leave gaps
        QString title;                  // trimmed, never empty
        std::optional<QString> artist;  // trimmed; none when absent or blank
        std::vector<ClaimCheckRange> ranges;
        Verdict verdict = Verdict::stillThere;

        bool operator==(const Song&) const = default;
    };

    Kind kind = Kind::hidden;
    std::vector<Song> songList;

    bool operator==(const CopyrightCheckCard&) const = default;

    static CopyrightCheckCard of(Kind kind) { return CopyrightCheckCard{kind, {}}; }

    // The songs of a decided check at an ambience level (possibly none).
    static std::vector<Song> songs(const ClaimCheck& check, double ambience);

    // The verdict's text in the current locale.
    static QString label(Verdict verdict);
    // "1:15–1:02:05"
    static QString rangeLabel(double start, double end);
    // "Play from 1:15 to 1:02:05"
    static QString rangeAccessibilityLabel(double start, double end);
};

} // namespace hf
