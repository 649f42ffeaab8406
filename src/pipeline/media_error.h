#pragma once

#include "platform/errors.h"

#include <QString>

namespace hf {

// The one error of the media operations (inspection, extraction, remux, verification).
class MediaError : public Error {
public:
    enum class Case {
        exportFailed,
        unreadable,
        noAudioTrack,
        noVideoTrack,
        tooLong,
        verificationFailed,
        sourceChanged,   // the message names the video
        sourceMissing,   // the message names the video
        emptyFile,       // the message names the file
    };

    explicit MediaError(Case c, QString message = {}) : m_case(c), m_message(std::move(message)) {}
    static MediaError exportFailed(QString message) { return MediaError(Case::exportFailed, std::move(message)); }
    // The video at `displayName` is no longer the file that was cleaned: other content, or gone.
    static MediaError sourceChanged(QString displayName) { return MediaError(Case::sourceChanged, std::move(displayName)); }
    static MediaError sourceMissing(QString displayName) { return MediaError(Case::sourceMissing, std::move(displayName)); }
    // The file at `fileName` holds nothing (0 bytes).
    static MediaError emptyFile(QString fileName) { return MediaError(Case::emptyFile, std::move(fileName)); }

    Case errorCase() const { return m_case; }
    // The message of `exportFailed`, the file's name for `sourceChanged`, `sourceMissing` and `emptyFile`;
    // empty for the other cases.
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

// A file-system failure (a folder that cannot be created, a copy that fails), described in words
// that name its cause.
class FileSystemError : public Error {
public:
    explicit FileSystemError(QString message, int errorNumber = 0)
        : m_message(std::move(message)), m_errorNumber(errorNumber) {}
    QString localizedDescription() const override { return m_message; }
    // The system's error number (errno) when known, else 0.
    int errorNumber() const { return m_errorNumber; }

    // Writing `fileName` (a name the user knows) failed with `errorNumber`.
    static FileSystemError writing(const QString& fileName, int errorNumber);
    // Reading `fileName` failed with `errorNumber`.
    static FileSystemError reading(const QString& fileName, int errorNumber);
    // Whether the error number is one of a destination's (no space, no permission, ...), as
    // opposed to one of the data.
    static bool isDestinationError(int errorNumber);

private:
    QString m_message;
    int m_errorNumber = 0;
};

} // namespace hf
