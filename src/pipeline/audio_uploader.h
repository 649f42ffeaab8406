#pragma once

// Sends an extracted soundtrack to the storage target that the backend named for a new job.

#include "backend/job_records.h"
#include "platform/errors.h"

#include <QNetworkAccessManager>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <stop_token>

namespace hf {

// The uploader's error. A stopped upload throws hf::Cancelled instead.
class UploadError : public Error {
public:
    enum class Case { rejected, interrupted };

    // The storage target answered outside 200...299 (0: the answer was not HTTP).
    static UploadError rejected(int status) { return UploadError(Case::rejected, status, {}); }
    // The transfer failed: network, time-out, unreadable file.
    static UploadError interrupted(QString message) { return UploadError(Case::interrupted, 0, std::move(message)); }

    Case errorCase() const { return m_case; }
    int status() const { return m_status; }
    const QString& message() const { return m_message; }

    QString localizedDescription() const override;
    bool operator==(const UploadError& other) const
    {
        return m_case == other.m_case && m_status == other.m_status && m_message == other.m_message;
    }

private:
    UploadError(Case c, int status, QString message) : m_case(c), m_status(status), m_message(std::move(message)) {}

    Case m_case;
    int m_status = 0;
    QString m_message;
};

// Performs an upload instruction with a local file as the request body.
class AudioUploading {
public:
    // Called with the fraction sent, 0...1; the last call of a successful upload passes 1.0.
    // Callers must not assume a thread.
    using Progress = std::function<void(double)>;

    virtual ~AudioUploading() = default;

    // Sends `file` as the body of exactly the request `instruction` describes. Throws UploadError,
    // or hf::Cancelled when `stop` is requested.
    virtual QCoro::Task<void> upload(QUrl file, UploadInstruction instruction, Progress progress,
                                     std::stop_token stop = {}) = 0;
};

// The uploader over a network session of its own (never the backend client's): no session token,
// no cookies, no header but the instruction's. The file streams from disk. Progress is reported
// on the main thread. Several uploads may run at once; each sends its body from a worker thread.
class URLSessionUploader final : public AudioUploading {
public:
    // `session` is not owned.
    explicit URLSessionUploader(QNetworkAccessManager* session) : m_session(session) {}

    QCoro::Task<void> upload(QUrl file, UploadInstruction instruction, Progress progress,
                             std::stop_token stop = {}) override;

    // Inactivity limit of one upload (60 seconds by default).
    void setRequestTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }

private:
    QNetworkAccessManager* m_session;
    std::chrono::milliseconds m_timeout{std::chrono::seconds(60)};
};

} // namespace hf
