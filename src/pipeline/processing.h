#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>

namespace hf {

// Where a clean stands. `failed` carries the user-visible message.
class ProcessingStage {
public:
    enum class Kind {
        idle,
        extractingAudio,
        uploading,
        queued,
        separating,
        downloading,
        mixing,
        remuxingVideo,
        completed,
        failed,
    };

    ProcessingStage() = default;
    ProcessingStage(Kind kind) : m_kind(kind) {}
    static ProcessingStage failed(QString message) { return ProcessingStage(Kind::failed, std::move(message)); }

    Kind kind() const { return m_kind; }
    // The failure's message; empty for every other stage.
    const QString& message() const { return m_message; }

    // The short status shown in the sidebar's rows ("reading audio", "finishing", ...).
    QString shortStatus() const;

    // Same case; two failures are equal only with equal messages.
    bool operator==(const ProcessingStage&) const = default;

private:
    ProcessingStage(Kind kind, QString message) : m_kind(kind), m_message(std::move(message)) {}

    Kind m_kind = Kind::idle;
    QString m_message;
};

// One progress report of running work.
struct ProcessingProgress {
    ProcessingStage stage;
    double fractionCompleted = 0;   // 0...1 of the whole clean; the producer clamps it
    QString currentStatusMessage;   // localized one-line status

    bool operator==(const ProcessingProgress&) const = default;
};

// How long the steps after a separation are expected to take: a mix about a second per 75 s of
// sound; a copy of the picture into a new video about a second per gigabyte of video and one per
// 1000 s of it (its packets).
double expectedMixSeconds(double soundSeconds);
double expectedCopySeconds(qint64 videoBytes, double videoSeconds);

// One bar for the whole of a clean: the separation, the mix and, when a new video is written, the
// copy of its picture each take a share of it by the time they are expected to take, so every
// step moves the bar on from where the one before ended.
class CleanProgressPlan {
public:
    // `soundSeconds` of soundtrack; `videoBytes`, the size of the video copied after the mix (none
    // when nothing is copied), as long as the sound.
    CleanProgressPlan(double soundSeconds, std::optional<qint64> videoBytes);

    // Where a step's own fraction (0...1) lies on the whole bar.
    double separating(double fraction) const;
    double mixing(double fraction) const;
    double copying(double fraction) const;

private:
    double m_separationEnd = 1;
    double m_mixEnd = 1;
};

} // namespace hf
