// The files of one export of the current full result, and the bookkeeping after an export.

#include "coordinator/engine_coordinator.h"

#include "platform/texts.h"

#include <QDir>
#include <QFileInfo>

namespace hf {

QCoro::Task<ExportBundle> EngineCoordinator::prepareExport(AudioQuality quality, std::stop_token stop)
{
    if (!m_currentResult || m_currentResult->kind == JobKind::preview)
        throw MediaError::exportFailed(text("error.export.needsFullClean", "Clean the full video before exporting."));
    // Later changes of the current result (a re-mix, another video) do not reach this export.
    const SeparationResult result = *m_currentResult;
    const std::stop_token alive = m_alive.get_token();
    CoordinatorMedia* media = m_media;
    ReviewPrompter* prompter = m_reviewPrompter;

    ExportBundle bundle;
    try {
        const QString folder = QDir(m_workingDirectory)
                                   .filePath(QStringLiteral("Export-%1").arg(
                                       QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().left(8)));
        if (!QDir().mkpath(folder))
            throw FileSystemError(text("error.file.createFolder", "Couldn't create the folder %@.", {folder}));

        const QString baseName = QFileInfo(result.sourceVideoURL.toLocalFile()).completeBaseName()
                                 + QStringLiteral(" (Hushframe)");
        const QString audioName =
            baseName + (quality == AudioQuality::losslessPCM ? QStringLiteral(".wav") : QStringLiteral(".m4a"));
        const QUrl audioTarget = QUrl::fromLocalFile(QDir(folder).filePath(audioName));
        auto mixing = media->mixSeparated(result.dialogueStemURL, result.effectsStemURL, result.originalAudioURL,
                                          audioTarget, quality, result.ambience, stop);
        const QUrl audio = co_await std::move(mixing);
        throwIfStopped(stop);
        throwIfStopped(alive);

        const VideoDemuxerMuxer::FileType type =
            VideoDemuxerMuxer::outputFileType(result.sourceVideoURL, quality == AudioQuality::losslessPCM);
        const QUrl videoTarget = QUrl::fromLocalFile(
            QDir(folder).filePath(baseName + QLatin1Char('.') + VideoDemuxerMuxer::fileExtension(type)));
        auto remuxing = media->remux(result.sourceVideoURL, audio, videoTarget, type, stop);
        const QUrl video = co_await std::move(remuxing);
        throwIfStopped(stop);
        throwIfStopped(alive);

        bundle.videoURL = video;
        bundle.audioURL = audio;
        bundle.stemURLs = {result.dialogueStemURL, result.musicStemURL, result.effectsStemURL};
        bundle.quality = quality;

        auto verifying = media->verifyExport(video, result.sourceVideoURL, audio, stop);
        co_await std::move(verifying);
        throwIfStopped(stop);
        throwIfStopped(alive);
    } catch (const Cancelled&) {
        throw;
    } catch (...) {
        // A failure (not a cancellation) keeps the review prompt away for this run. The prompter
        // outlives the coordinator, which may be gone by now.
        if (!stop.stop_requested())
            prompter->sessionIsSuppressed = true;
        throw;
    }
    noteVerifiedExport(result.id);
    co_return bundle;
}

void EngineCoordinator::noteVerifiedExport(const QUuid& resultID)
{
    if (m_lastVerifiedResultID == resultID)
        return;
    m_lastVerifiedResultID = resultID;
    m_reviewPrompter->incrementSuccessCount();
    setVerifiedExportAwaitingReview(true);
}

void EngineCoordinator::noteExported()
{
    if (!hasFullResult())
        return;
    setExportedResultID(m_currentResult->id);
    m_recents->markExported(m_currentResult->sourceVideoURL);
}

} // namespace hf
