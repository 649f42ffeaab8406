#include "pipeline/media_error.h"

#include "platform/texts.h"

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

} // namespace hf
