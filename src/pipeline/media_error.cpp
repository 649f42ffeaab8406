#include "pipeline/media_error.h"

#include "platform/texts.h"

#include <cerrno>
#include <cstring>

namespace hf {

QString MediaError::localizedDescription() const
{
    switch (m_case) {
    case Case::exportFailed:
        return text("error.media.exportFailed", "Exporting failed: %@", {m_message});
    case Case::unreadable:
        return text("error.media.unreadable", "Hushframe can't read this file. Try a video in MP4 or MOV format.");
    case Case::noAudioTrack:
        return text("error.media.noAudioTrack", "This video has no soundtrack, so there's no music to remove.");
    case Case::noVideoTrack:
        return text("error.media.noVideoTrack", "This file has no video track.");
    case Case::tooLong:
        return text("error.media.tooLong", "Videos can be up to 3 hours long.");
    case Case::sourceChanged:
        return text("error.media.sourceChanged",
                    "\u201c%@\u201d has changed since it was cleaned, so its clean soundtrack no longer fits it. "
                    "Clean it again to export it.",
                    {m_message});
    case Case::sourceMissing:
        return text("error.media.sourceMissing",
                    "\u201c%@\u201d isn't where it was when it was cleaned. It may have been moved or deleted.",
                    {m_message});
    case Case::emptyFile:
        return text("error.media.emptyFile", "\u201c%@\u201d is empty: the file holds no video.", {m_message});
    case Case::verificationFailed:
        return text("verify.export.failed",
                    "Hushframe checked the exported video and it did not come out as expected, so it was "
                    "not saved. Please try again.");
    }
    return {};
}

QString MediaError::audioExportUnavailableMessage()
{
    return text("error.media.audioExportUnavailable", "Audio export is not available for this file.");
}

QString MediaError::addVideoTrackMessage()
{
    return text("error.media.addVideoTrack", "Could not add a video track.");
}

QString MediaError::addAudioTrackMessage()
{
    return text("error.media.addAudioTrack", "Could not add the audio track.");
}

QString MediaError::needsReencodingMessage(const QString& fileExtension)
{
    return text("error.media.needsReencoding", "This video's format can't be saved as .%@ without re-encoding.",
                {fileExtension});
}

QString MediaError::truncatedMessage()
{
    return text("error.media.truncated", "The file ends before its stated length; it may be incomplete.");
}

// ---- FileSystemError

bool FileSystemError::isDestinationError(int errorNumber)
{
    switch (errorNumber) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
    case EACCES:
    case EPERM:
    case EROFS:
    case EIO:
    case EISDIR:
    case ENOTDIR:
    case ENAMETOOLONG:
        return true;
    default:
        return false;
    }
}

FileSystemError FileSystemError::writing(const QString& fileName, int errorNumber)
{
    QString message;
    switch (errorNumber) {
    case ENOSPC:
    case EDQUOT:
        message = text("error.file.noSpace", "There isn't enough space on the disk to save \u201c%@\u201d.", {fileName});
        break;
    case EFBIG:
        message = text("error.file.tooLarge", "\u201c%@\u201d is larger than the disk can hold in one file.", {fileName});
        break;
    case EACCES:
    case EPERM:
        message = text("error.file.noPermission",
                       "You don't have permission to save \u201c%@\u201d in that folder.", {fileName});
        break;
    case EROFS:
        message = text("error.file.readOnly", "\u201c%@\u201d can't be saved: the disk is read-only.", {fileName});
        break;
    case ENOENT:
    case ENOTDIR:
        message = text("error.file.noFolder", "The folder for \u201c%@\u201d isn't there anymore.", {fileName});
        break;
    case EISDIR:
        message = text("error.file.folderInTheWay",
                       "\u201c%@\u201d can't be saved: a folder of that name is in the way.", {fileName});
        break;
    case EIO:
        message = text("error.file.diskError", "The disk reported an error while saving \u201c%@\u201d.", {fileName});
        break;
    case ENAMETOOLONG:
        message = text("error.file.nameTooLong", "The name \u201c%@\u201d is too long for the disk.", {fileName});
        break;
    default:
        message = text("error.file.write", "Couldn't save \u201c%@\u201d: %@.",
                       {fileName, QString::fromLocal8Bit(std::strerror(errorNumber))});
        break;
    }
    return FileSystemError(message, errorNumber);
}

FileSystemError FileSystemError::reading(const QString& fileName, int errorNumber)
{
    QString message;
    switch (errorNumber) {
    case ENOENT:
    case ENOTDIR:
        message = text("error.file.missing", "\u201c%@\u201d can't be found. It may have been moved or deleted.",
                       {fileName});
        break;
    case EACCES:
    case EPERM:
        message = text("error.file.noReadPermission", "You don't have permission to read \u201c%@\u201d.", {fileName});
        break;
    case EIO:
        message = text("error.file.readDiskError", "The disk reported an error while reading \u201c%@\u201d.",
                       {fileName});
        break;
    default:
        message = text("error.file.read", "Couldn't read \u201c%@\u201d: %@.",
                       {fileName, QString::fromLocal8Bit(std::strerror(errorNumber))});
        break;
    }
    return FileSystemError(message, errorNumber);
}

} // namespace hf
