#include "coordinator/engine_coordinator.h"

namespace hf {

HF_LOGGING_CATEGORY(lcEngineCoordinator, "EngineCoordinator")

namespace {

// Stores `value` and says whether it differed.
template<class T>
bool assign(T& field, T value)
{
    if (field == value)
        return false;
    field = std::move(value);
    return true;
}

} // namespace

EngineCoordinator::EngineCoordinator(SeparationEngineProtocol* engine, RecentVideos* recents,
                                     ReviewPrompter* reviewPrompter, AccountStore* account,
                                     AudioPlayerService* player, QString workingDirectory,
                                     SeparationSettings settings, SettingsStore* defaults, CoordinatorMedia* media,
                                     APIClient* api, QObject* parent)
    : QObject(parent),
      m_engine(engine),
      m_recents(recents),
      m_reviewPrompter(reviewPrompter),
      m_account(account),
      m_player(player),
      m_workingDirectory(std::move(workingDirectory)),
      m_defaults(defaults),
      m_ownMedia(media ? nullptr : std::make_unique<DefaultCoordinatorMedia>()),
      m_media(media ? media : m_ownMedia.get()),
      m_api(api),
      m_settings(settings),
      m_activeTask(lcEngineCoordinator(), QStringLiteral("Processing")),
      m_remixTask(lcEngineCoordinator(), QStringLiteral("Re-mix")),
      m_envelopeTask(lcEngineCoordinator(), QStringLiteral("Original envelope")),
      m_songCheckTask(lcEngineCoordinator(), QStringLiteral("Copyright check follow"))
{
    for (auto changed : {&EngineCoordinator::currentResultChanged, &EngineCoordinator::settingsChanged,
                         &EngineCoordinator::isRequestingSongCheckChanged,
                         &EngineCoordinator::songCheckRefusedResultIDChanged})
        connect(this, changed, this, &EngineCoordinator::copyrightCheckCardChanged);
    // A question about replacing the open video holds only while what it would lose is there.
    for (auto changed : {&EngineCoordinator::sourceChanged, &EngineCoordinator::currentResultChanged,
                         &EngineCoordinator::exportedResultIDChanged, &EngineCoordinator::isProcessingChanged,
                         &EngineCoordinator::isPromotingChanged})
        connect(this, changed, this, &EngineCoordinator::dropStaleReplacement);
    if (player)
        connect(player, &AudioPlayerService::playbackFailed, this,
                [this](const QString& message) { setErrorMessage(message); });
}

EngineCoordinator::~EngineCoordinator()
{
    m_alive.request_stop();
    m_activeTask.cancel();
    m_remixTask.cancel();
    m_envelopeTask.cancel();
    m_songCheckTask.cancel();
}

// ---- Setters

void EngineCoordinator::setSource(std::optional<SourceVideo> source)
{
    // What the file is as it opens, so that a later change on disk is recognised.
    if (source && !source->fingerprint && source->url.isLocalFile())
        source->fingerprint = SourceFingerprint::of(source->url.toLocalFile(), source->duration);
    if (assign(m_source, std::move(source)))
        emit sourceChanged();
}

void EngineCoordinator::setProgress(ProcessingProgress progress)
{
    if (assign(m_progress, std::move(progress)))
        emit progressChanged();
}

void EngineCoordinator::setProcessing(bool processing)
{
    if (assign(m_isProcessing, processing))
        emit isProcessingChanged();
}

void EngineCoordinator::setProcessingKind(std::optional<JobKind> kind)
{
    if (assign(m_processingKind, kind))
        emit processingKindChanged();
}

void EngineCoordinator::setImporting(bool importing)
{
    if (assign(m_isImporting, importing))
        emit isImportingChanged();
}

void EngineCoordinator::setCurrentResult(std::optional<SeparationResult> result)
{
    const bool unexported = hasUnexportedFullResult();
    if (assign(m_currentResult, std::move(result))) {
        emit currentResultChanged();
        noteUnexportedChange(unexported);
    }
}

void EngineCoordinator::setOriginalWaveform(std::vector<float> bars)
{
    if (assign(m_originalWaveform, std::move(bars)))
        emit originalWaveformChanged();
}

void EngineCoordinator::setCleanWaveform(std::vector<float> bars)
{
    if (assign(m_cleanWaveform, std::move(bars)))
        emit cleanWaveformChanged();
}

void EngineCoordinator::setOriginalEnvelope(std::optional<SoundtrackEnvelope> envelope)
{
    if (assign(m_originalEnvelope, std::move(envelope)))
        emit originalEnvelopeChanged();
}

void EngineCoordinator::setStemEnvelopes(std::optional<StemEnvelopes> envelopes)
{
    if (assign(m_stemEnvelopes, std::move(envelopes)))
        emit stemEnvelopesChanged();
}

void EngineCoordinator::setThumbnail(QImage image)
{
    // A null picture equals only another null one.
    if (m_thumbnail.isNull() && image.isNull())
        return;
    if (!m_thumbnail.isNull() && !image.isNull() && m_thumbnail == image)
        return;
    m_thumbnail = std::move(image);
    emit thumbnailChanged();
}

void EngineCoordinator::setRemixing(bool remixing)
{
    if (!remixing)
        setRemixProgress(0);
    if (assign(m_isRemixing, remixing))
        emit isRemixingChanged();
}

void EngineCoordinator::setRemixProgress(double fraction)
{
    if (assign(m_remixProgress, fraction))
        emit remixProgressChanged();
}

void EngineCoordinator::setPromoting(bool promoting)
{
    if (assign(m_isPromoting, promoting))
        emit isPromotingChanged();
}

void EngineCoordinator::setRequestingSongCheck(bool requesting)
{
    if (assign(m_isRequestingSongCheck, requesting))
        emit isRequestingSongCheckChanged();
}

void EngineCoordinator::setSongCheckRefusedResultID(std::optional<QUuid> id)
{
    if (assign(m_songCheckRefusedResultID, id))
        emit songCheckRefusedResultIDChanged();
}

void EngineCoordinator::setSettings(SeparationSettings settings)
{
    settings.save(*m_defaults);
    if (assign(m_settings, settings))
        emit settingsChanged();
}

void EngineCoordinator::setErrorMessage(std::optional<QString> message)
{
    if (assign(m_errorMessage, std::move(message)))
        emit errorMessageChanged();
}

void EngineCoordinator::setImportTarget(ImportTarget target)
{
    if (assign(m_importTarget, target))
        emit importTargetChanged();
}

void EngineCoordinator::setQueuePresented(bool presented)
{
    if (assign(m_isQueuePresented, presented))
        emit isQueuePresentedChanged();
}

void EngineCoordinator::setShowExportSheet(bool show)
{
    if (assign(m_showExportSheet, show))
        emit showExportSheetChanged();
}

void EngineCoordinator::setFileImporterPresented(bool presented)
{
    if (assign(m_isFileImporterPresented, presented))
        emit isFileImporterPresentedChanged();
}

void EngineCoordinator::setPendingReplacement(std::optional<PendingReplacement> replacement)
{
    // An action has no equality: every write counts as a change.
    m_pendingReplacement = std::move(replacement);
    emit pendingReplacementChanged();
}

void EngineCoordinator::setExportedResultID(std::optional<QUuid> id)
{
    const bool unexported = hasUnexportedFullResult();
    if (assign(m_exportedResultID, id)) {
        emit exportedResultIDChanged();
        noteUnexportedChange(unexported);
    }
}

void EngineCoordinator::setVerifiedExportAwaitingReview(bool awaiting)
{
    if (assign(m_verifiedExportAwaitingReview, awaiting))
        emit verifiedExportAwaitingReviewChanged();
}

void EngineCoordinator::modifyCurrentResult(const std::function<void(SeparationResult&)>& change)
{
    if (!m_currentResult)
        return;
    const bool unexported = hasUnexportedFullResult();
    change(*m_currentResult);
    emit currentResultChanged();
    noteUnexportedChange(unexported);
}

void EngineCoordinator::modifySettings(const std::function<void(SeparationSettings&)>& change)
{
    change(m_settings);
    m_settings.save(*m_defaults);
    emit settingsChanged();
}

void EngineCoordinator::noteUnexportedChange(bool before)
{
    if (hasUnexportedFullResult() != before)
        emit hasUnexportedFullResultChanged();
}

// ---- Derived flags

bool EngineCoordinator::hasPreviewResult() const
{
    return m_currentResult && m_currentResult->kind == JobKind::preview;
}

bool EngineCoordinator::hasFullResult() const
{
    return m_currentResult && m_currentResult->kind == JobKind::full;
}

bool EngineCoordinator::hasUnexportedFullResult() const
{
    return hasFullResult() && m_currentResult->id != m_exportedResultID;
}

bool EngineCoordinator::claimSplitMoment()
{
    if (!hasPreviewResult())
        return false;
    const QString key = m_currentResult->sourceVideoURL.toString();
    if (m_splitMomentSources.contains(key))
        return false;
    m_splitMomentSources.insert(key);
    return true;
}

} // namespace hf
