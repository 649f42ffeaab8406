#pragma once

#include "platform/errors.h"

#include <QString>

namespace hf {

// The one error of the media operations (inspection, extraction, remux, verification).
class MediaError : public Error {
public:
    enum class Case { exportFailed, unreadable, noAudioTrack, noVideoTrack, tooLong, verificationFailed };

    explicit MediaError(Case c, QString message = {}) : m_case(c), m_message(std::move(message)) {}
    static MediaError exportFailed(QString message) { return MediaError(Case::exportFailed, std::move(message)); }

    Case errorCase() const { return m_case; }
    // The message of `exportFailed`; empty for the other cases.
    const QString& message() const { return m_message; }

    QString localizedDescription() const override;
    bool operator==(const MediaError& other) const
    {
        return m_case == other.m_case && m_message == other.m_message;
    }

    // Messages the media operations put into `exportFailed`, localized.
    static QString audioExportUnavailableMessage();
    static QString addVideoTrackMessage();
    static QString addAudioTrackMessage();
    static QString needsReencodingMessage(const QString& fileExtension);
    static QString truncatedMessage();

private:
    Case m_case;
    QString m_message;
};

// A file-system failure (a folder that cannot be created, a copy that fails), with the system's
// description.
class FileSystemError : public Error {
public:
    explicit FileSystemError(QString message) : m_message(std::move(message)) {}
    QString localizedDescription() const override { return m_message; }

private:
    QString m_message;
};

} // namespace hf
