#pragma once

// The batch queue's jobs: one queued video each, with where it stands.

#include "pipeline/processing.h"

#include <QDateTime>
#include <QString>
#include <QUrl>
#include <QUuid>

namespace hf {

// Where a queued video stands: waiting, being cleaned (with the last progress report), done (with
// the verified output video) or failed (with the error's user-visible description).
class BatchJobStatus {
public:
    enum class Kind { pending, working, completed, failed };

    BatchJobStatus() = default;
    static BatchJobStatus pending() { return {}; }
    static BatchJobStatus working(ProcessingProgress progress)
    {
        BatchJobStatus s(Kind::working);
        s.m_progress = std::move(progress);
        return s;
    }
    static BatchJobStatus completed(QUrl videoURL)
    {
        BatchJobStatus s(Kind::completed);
        s.m_videoURL = std::move(videoURL);
        return s;
    }
    static BatchJobStatus failed(QString error)
    {
        BatchJobStatus s(Kind::failed);
        s.m_error = std::move(error);
        return s;
    }

    Kind kind() const { return m_kind; }
    bool isPending() const { return m_kind == Kind::pending; }
    bool isWorking() const { return m_kind == Kind::working; }
    bool isCompleted() const { return m_kind == Kind::completed; }
    bool isFailed() const { return m_kind == Kind::failed; }

    // The last report while working; the idle progress otherwise.
    const ProcessingProgress& progress() const { return m_progress; }
    // The output video when completed; empty otherwise.
    const QUrl& videoURL() const { return m_videoURL; }
    // The failure's message when failed; empty otherwise.
    const QString& error() const { return m_error; }

    // Same case and equal payloads.
    bool operator==(const BatchJobStatus&) const = default;

private:
    explicit BatchJobStatus(Kind kind) : m_kind(kind) {}

    Kind m_kind = Kind::pending;
    ProcessingProgress m_progress;
    QUrl m_videoURL;
    QString m_error;
};

struct BatchJob {
    QUuid id;                  // also names the job's working folder
    QUrl sourceVideoURL;
    double duration = 0;       // seconds; 0 until the file's duration is known
    BatchJobStatus status;
    QDateTime addedAt;

    bool operator==(const BatchJob&) const = default;
};

} // namespace hf
