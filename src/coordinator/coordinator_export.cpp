// The files of one export of the current full result, and the bookkeeping after an export.

#include "coordinator/engine_coordinator.h"

#include "platform/texts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace hf {

void EngineCoordinator::checkSourceUnchanged(const SeparationResult& result) const
{
    const QString path = result.sourceVideoURL.toLocalFile();
    const QString name = result.sourceVideoURL.fileName();
    const std::optional<SourceFingerprint> now = SourceFingerprint::of(path);
    if (!now)
        throw MediaError::sourceMissing(name);
    // The open video's file as it was when it was opened, which its result was cleaned from.
    if (m_source && m_source->url == result.sourceVideoURL && m_source->fingerprint
        && !m_source->fingerprint->matches(*now))
        throw MediaError::sourceChanged(name);
}

namespace {

// The shares of an export's preparation the mix and the copy of the picture take, by the time each
// is expected to take.
std::pair<double, double> preparationShares(const SeparationResult& result)
{
    const double mixing = expectedMixSeconds(result.duration);
    const double copying =
        expectedCopySeconds(QFileInfo(result.sourceVideoURL.toLocalFile()).size(), result.duration);
    const double mixShare = mixing / (mixing + copying);
    return {mixShare, 1.0 - mixShare};
}

} // namespace

QCoro::Task<ExportBundle> EngineCoordinator::prepareExport(AudioQuality quality, std::stop_token stop,
                                                           std::function<void(double)> progress)
{
    if (!m_currentResult || m_currentResult->kind == JobKind::preview)
        throw MediaError::exportFailed(text("error.export.needsFullClean", "Clean the full video before exporting."));
    // Later changes of the current result (a re-mix, another video) do not reach this export.
    const SeparationResult result = *m_currentResult;
    // The level on screen: a re-mix to it may still be pending, and the export does not wait
    // for it.
    const double ambience = m_settings.ambience;
    const std::stop_token alive = m_alive.get_token();
    CoordinatorMedia* media = m_media;
    ReviewPrompter* prompter = m_reviewPrompter;

    // Reports in order and only forward, each step's share of the whole; none after a stop.
    const auto [mixShare, copyShare] = preparationShares(result);
    auto reported = std::make_shared<double>(0.0);
    const auto tell = [progress, reported, stop](double fraction) {
        if (!progress || stop.stop_requested() || fraction <= *reported)
            return;
        *reported = fraction;
        progress(fraction);
    };
    const auto mixReports = progressOnThreadOf(this, [tell, mixShare](double f) { tell(mixShare * f); });
    const auto copyReports = progressOnThreadOf(
        this, [tell, mixShare, copyShare](double f) { tell(mixShare + copyShare * f * 0.99); });

    ExportBundle bundle;
    QString folder;
    try {
        tell(0.001);
        checkSourceUnchanged(result);
        folder = QDir(m_workingDirectory)
                     .filePath(QStringLiteral("Export-%1").arg(
                         QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().left(8)));
        if (!QDir().mkpath(folder))
            throw FileSystemError(text("error.file.createFolder", "Couldn't create the folder %@.", {folder}));
        bundle.folderURL = QUrl::fromLocalFile(folder);

        const QString baseName = QFileInfo(result.sourceVideoURL.toLocalFile()).completeBaseName()
                                 + QStringLiteral(" (Hushframe)");
        const QString audioName =
            baseName + (quality == AudioQuality::losslessPCM ? QStringLiteral(".wav") : QStringLiteral(".m4a"));
        const QUrl audioTarget = QUrl::fromLocalFile(QDir(folder).filePath(audioName));
        auto mixing = media->mixSeparated(result.dialogueStemURL, result.effectsStemURL, result.originalAudioURL,
                                          audioTarget, quality, ambience, stop, mixReports);
        const QUrl audio = co_await std::move(mixing);
        throwIfStopped(stop);
        throwIfStopped(alive);

        const VideoDemuxerMuxer::FileType type =
            VideoDemuxerMuxer::outputFileType(result.sourceVideoURL, quality == AudioQuality::losslessPCM);
        const QUrl videoTarget = QUrl::fromLocalFile(
            QDir(folder).filePath(baseName + QLatin1Char('.') + VideoDemuxerMuxer::fileExtension(type)));
        auto remuxing = media->remuxReporting(result.sourceVideoURL, audio, videoTarget, type, stop, copyReports);
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
        // Nothing of an export that did not come about stays in the cache.
        if (!folder.isEmpty())
            QDir(folder).removeRecursively();
        throw;
    } catch (...) {
        if (!folder.isEmpty())
            QDir(folder).removeRecursively();
        // A failure (not a cancellation) keeps the review prompt away for this run. The prompter
        // outlives the coordinator, which may be gone by now.
        if (!stop.stop_requested())
            prompter->sessionIsSuppressed = true;
        throw;
    }
    noteVerifiedExport(result.id);
    tell(1.0);
    co_return bundle;
}

void EngineCoordinator::discardExportFiles(const ExportBundle& bundle, const QStringList& keep)
{
    const QString folder = bundle.folderURL.toLocalFile();
    if (folder.isEmpty())
        return;
    QDir dir(folder);
    const QStringList kept = [&keep] {
        QStringList paths;
        for (const QString& path : keep)
            paths << QFileInfo(path).absoluteFilePath();
        return paths;
    }();
    bool keptAny = false;
    for (const QFileInfo& file : dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::System)) {
        if (kept.contains(file.absoluteFilePath()))
            keptAny = true;
        else
            QFile::remove(file.absoluteFilePath());
    }
    if (!keptAny)
        dir.removeRecursively();
}

void EngineCoordinator::tellOnceOpened(const QUrl& location, const QString& message)
{
    // The import ends by starting the preview, which clears the message; it is said after that.
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection = connect(this, &EngineCoordinator::isImportingChanged, this, [this, connection, location, message] {
        if (m_isImporting)
            return;
        disconnect(*connection);
        if (m_source && m_source->url == location)
            setErrorMessage(message);
    });
}

void EngineCoordinator::cleanChangedSourceAgain()
{
    if (!m_source)
        return;
    // Opened anew, the file is inspected as it is now and cleaned from its start.
    openVideo(m_source->url);
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
