#pragma once

// What a finished separation hands back: the downloaded stems of one cloud job, and the finished
// clean of one video built from them.

#include "backend/job_records.h"
#include "backend/song_check_records.h"

#include <QDateTime>
#include <QString>
#include <QUrl>
#include <QUuid>

#include <optional>

namespace hf {

// The three stem files that a succeeded job delivered, and the job record whose outputs they are.
struct SeparatedStems {
    QUrl dialogueURL;
    QUrl musicURL;
    QUrl effectsURL;
    CloudJob job;

    bool operator==(const SeparatedStems&) const = default;
};

// The finished clean of one video, a preview or a full clean: everything the editor, the audition
// player and the export need.
struct SeparationResult {
    QUuid id = QUuid::createUuid();  // new for every result
    JobKind kind = JobKind::preview;
    QString jobID;                   // the backend job that produced the stems
    QUrl sourceVideoURL;
    QUrl originalAudioURL;           // the extracted original soundtrack
    QUrl cleanAudioURL;              // dialogue plus effects at `ambience`
    QUrl dialogueStemURL;
    QUrl musicStemURL;
    QUrl effectsStemURL;
    double duration = 0;             // seconds of soundtrack the result covers
    double ambience = 0;             // 0...1, the effects level `cleanAudioURL` was mixed with
    std::optional<ClaimCheck> claimCheck;
    std::optional<QDateTime> expiresAt;
    // Always true for a full clean; for a preview, when it reaches the video's duration.
    bool coversWholeVideo = false;

    bool operator==(const SeparationResult&) const = default;
};

} // namespace hf
