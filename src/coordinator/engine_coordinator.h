#pragma once

// The coordinator of the one open video: the video itself, the progress of a running clean, the
// current result with its waveforms, envelopes and picture, the processing settings, the
// user-facing error, the flags that present sheets, and the tasks that do the long work.
//
// Main thread only. Every observed field is a property that signals only on a real change, except
// `pendingReplacement` (every write signals) and the in-place changes made through
// modifyCurrentResult() and modifySettings() (always signal). `settings` is stored in the user
// defaults on every write, equal or not.
//
// The operations are spread over several files: engine_coordinator.cpp (state and construction),
// coordinator_open.cpp (opening, importing, clearing), coordinator_processing.cpp (requesting,
// running and cancelling a clean), coordinator_apply.cpp (applying a result, the analysis of an
// opened video), coordinator_promotion.cpp (promoting a preview to the full clean),
// coordinator_song_check.cpp (requesting and following the song check), coordinator_remix.cpp
// (re-mixing at a new ambience level), coordinator_export.cpp (the files of an export) and
// coordinator_replace.cpp (replacing the open video, reopening a recent one).

#include "backend/account_store.h"
#include "backend/job_records.h"
#include "player/audio_player_service.h"
#include "coordinator/coordinator_media.h"
#include "coordinator/copyright_check_card.h"
#include "coordinator/export_bundle.h"
#include "coordinator/recent_videos.h"
#include "coordinator/review_prompter.h"
#include "pipeline/cloud_separation_engine.h"
#include "pipeline/processing.h"
#include "pipeline/separation_result.h"
#include "pipeline/separation_settings.h"
#include "pipeline/soundtrack_envelope.h"
#include "pipeline/video_demuxer_muxer.h"
#include "platform/async.h"
#include "platform/logging.h"
#include "platform/settings_store.h"

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QSize>
#include <QString>
#include <QUrl>
#include <QUuid>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

namespace hf {

class APIClient;

HF_DECLARE_LOGGING_CATEGORY(lcEngineCoordinator)

// Where the files picked in the main window's file importer go.
enum class ImportTarget { editor, queue };

class EngineCoordinator : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::optional<hf::SourceVideo> source READ source NOTIFY sourceChanged)
    Q_PROPERTY(hf::ProcessingProgress progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(bool isProcessing READ isProcessing NOTIFY isProcessingChanged)
    Q_PROPERTY(std::optional<hf::JobKind> processingKind READ processingKind NOTIFY processingKindChanged)
    Q_PROPERTY(bool isImporting READ isImporting WRITE setImporting NOTIFY isImportingChanged)
    Q_PROPERTY(std::optional<hf::SeparationResult> currentResult READ currentResult NOTIFY currentResultChanged)
    Q_PROPERTY(std::vector<float> originalWaveform READ originalWaveform NOTIFY originalWaveformChanged)
    Q_PROPERTY(std::vector<float> cleanWaveform READ cleanWaveform NOTIFY cleanWaveformChanged)
    Q_PROPERTY(std::optional<hf::SoundtrackEnvelope> originalEnvelope READ originalEnvelope NOTIFY originalEnvelopeChanged)
    Q_PROPERTY(std::optional<hf::StemEnvelopes> stemEnvelopes READ stemEnvelopes NOTIFY stemEnvelopesChanged)
    Q_PROPERTY(QImage thumbnail READ thumbnail NOTIFY thumbnailChanged)
    Q_PROPERTY(bool isRemixing READ isRemixing NOTIFY isRemixingChanged)
    Q_PROPERTY(double remixProgress READ remixProgress NOTIFY remixProgressChanged)
    Q_PROPERTY(bool isPromoting READ isPromoting NOTIFY isPromotingChanged)
    Q_PROPERTY(bool isRequestingSongCheck READ isRequestingSongCheck NOTIFY isRequestingSongCheckChanged)
    Q_PROPERTY(std::optional<QUuid> songCheckRefusedResultID READ songCheckRefusedResultID NOTIFY
                   songCheckRefusedResultIDChanged)
    Q_PROPERTY(hf::SeparationSettings settings READ settings WRITE setSettings NOTIFY settingsChanged)
    Q_PROPERTY(std::optional<QString> errorMessage READ errorMessage WRITE setErrorMessage NOTIFY errorMessageChanged)
    Q_PROPERTY(hf::ImportTarget importTarget READ importTarget WRITE setImportTarget NOTIFY importTargetChanged)
    Q_PROPERTY(bool isQueuePresented READ isQueuePresented WRITE setQueuePresented NOTIFY isQueuePresentedChanged)
    Q_PROPERTY(bool showExportSheet READ showExportSheet WRITE setShowExportSheet NOTIFY showExportSheetChanged)
    Q_PROPERTY(bool isFileImporterPresented READ isFileImporterPresented WRITE setFileImporterPresented NOTIFY
                   isFileImporterPresentedChanged)
    Q_PROPERTY(bool hasPendingReplacement READ hasPendingReplacement NOTIFY pendingReplacementChanged)
    Q_PROPERTY(std::optional<QUuid> exportedResultID READ exportedResultID NOTIFY exportedResultIDChanged)
    Q_PROPERTY(bool verifiedExportAwaitingReview READ verifiedExportAwaitingReview WRITE
                   setVerifiedExportAwaitingReview NOTIFY verifiedExportAwaitingReviewChanged)
    Q_PROPERTY(bool hasPreviewResult READ hasPreviewResult NOTIFY currentResultChanged)
    Q_PROPERTY(bool hasFullResult READ hasFullResult NOTIFY currentResultChanged)
    Q_PROPERTY(bool hasUnexportedFullResult READ hasUnexportedFullResult NOTIFY hasUnexportedFullResultChanged)
    Q_PROPERTY(hf::CopyrightCheckCard copyrightCheckCard READ copyrightCheckCard NOTIFY copyrightCheckCardChanged)

public:
    // A replacement of the open video waiting for the user's confirmation.
    struct PendingReplacement {
        QString videoName;             // the open video's display name, the one that would go
        std::function<void()> perform; // carries out the replacement
        // What would go is a full clean still running, not a finished result: there is
        // nothing to export first.
        bool cleanRunning = false;
        // What the question is about (see replacementStake()); once that changes (the result
        // exported, the clean finished, another video open) the question is dropped unanswered.
        std::optional<QString> stake;
    };

    // What an extraction operation yields: the extracted soundtrack and the job folder it is in.
    struct Extraction {
        ExtractedAudio audio;
        QUrl jobFolder;
    };

    // Produces the video an import opens.
    using Loader = std::function<QCoro::Task<SourceVideo>()>;
    // Makes a job folder and extracts the soundtrack a run cleans.
    using ExtractionOperation = std::function<QCoro::Task<Extraction>(std::stop_token)>;

    // The longest video that opens: 3 hours (exactly 3 hours opens).
    static constexpr double maximumDuration = 10800;
    static constexpr int waveformBarCount = 100;
    static constexpr QSize thumbnailMaxSize{1600, 1600};
    // A finished full clean, whether run or promoted, raises showExportSheet.
    static constexpr bool presentsExportAfterFullClean = true;

    // None of the pointers is owned; `media` may be null for the real media functions.
    // `defaults` is where `settings` is stored ("hf_separation_settings"); `workingDirectory` is
    // the folder under which every job folder of the open video is made (the cache's "Work").
    // `api` is the backend client the separation engine uses, through which the song check is
    // requested and followed; without one the song check cannot be requested.
    EngineCoordinator(SeparationEngineProtocol* engine, RecentVideos* recents, ReviewPrompter* reviewPrompter,
                      AccountStore* account, AudioPlayerService* player, QString workingDirectory,
                      SeparationSettings settings, SettingsStore* defaults, CoordinatorMedia* media = nullptr,
                      APIClient* api = nullptr, QObject* parent = nullptr);
    ~EngineCoordinator() override;

    // ---- Observed state

    const std::optional<SourceVideo>& source() const { return m_source; }
    const ProcessingProgress& progress() const { return m_progress; }
    bool isProcessing() const { return m_isProcessing; }
    std::optional<JobKind> processingKind() const { return m_processingKind; }
    bool isImporting() const { return m_isImporting; }
    const std::optional<SeparationResult>& currentResult() const { return m_currentResult; }
    const std::vector<float>& originalWaveform() const { return m_originalWaveform; }
    const std::vector<float>& cleanWaveform() const { return m_cleanWaveform; }
    const std::optional<SoundtrackEnvelope>& originalEnvelope() const { return m_originalEnvelope; }
    const std::optional<StemEnvelopes>& stemEnvelopes() const { return m_stemEnvelopes; }
    // A picture of the open video; null for none.
    const QImage& thumbnail() const { return m_thumbnail; }
    bool isRemixing() const { return m_isRemixing; }
    // How far the latest re-mix has come, 0...1, only forward; 0 when none runs.
    double remixProgress() const { return m_remixProgress; }
    bool isPromoting() const { return m_isPromoting; }
    bool isRequestingSongCheck() const { return m_isRequestingSongCheck; }
    const std::optional<QUuid>& songCheckRefusedResultID() const { return m_songCheckRefusedResultID; }
    const SeparationSettings& settings() const { return m_settings; }
    const std::optional<QString>& errorMessage() const { return m_errorMessage; }
    ImportTarget importTarget() const { return m_importTarget; }
    bool isQueuePresented() const { return m_isQueuePresented; }
    bool showExportSheet() const { return m_showExportSheet; }
    bool isFileImporterPresented() const { return m_isFileImporterPresented; }
    const std::optional<PendingReplacement>& pendingReplacement() const { return m_pendingReplacement; }
    bool hasPendingReplacement() const { return m_pendingReplacement.has_value(); }
    const std::optional<QUuid>& exportedResultID() const { return m_exportedResultID; }
    bool verifiedExportAwaitingReview() const { return m_verifiedExportAwaitingReview; }

    // Setters signal only on a real change (pendingReplacement: on every write).
    void setSource(std::optional<SourceVideo> source);
    void setProgress(ProcessingProgress progress);
    void setProcessing(bool processing);
    void setProcessingKind(std::optional<JobKind> kind);
    void setImporting(bool importing);
    void setCurrentResult(std::optional<SeparationResult> result);
    void setOriginalWaveform(std::vector<float> bars);
    void setCleanWaveform(std::vector<float> bars);
    void setOriginalEnvelope(std::optional<SoundtrackEnvelope> envelope);
    void setStemEnvelopes(std::optional<StemEnvelopes> envelopes);
    void setThumbnail(QImage image);
    void setRemixing(bool remixing);
    void setRemixProgress(double fraction);
    void setPromoting(bool promoting);
    void setRequestingSongCheck(bool requesting);
    void setSongCheckRefusedResultID(std::optional<QUuid> id);
    // Stores the settings on every call; signals only when they changed.
    void setSettings(SeparationSettings settings);
    void setErrorMessage(std::optional<QString> message);
    void setImportTarget(ImportTarget target);
    void setQueuePresented(bool presented);
    void setShowExportSheet(bool show);
    void setFileImporterPresented(bool presented);
    void setPendingReplacement(std::optional<PendingReplacement> replacement);
    void setExportedResultID(std::optional<QUuid> id);
    void setVerifiedExportAwaitingReview(bool awaiting);

    // Changes a part of the current result in place and always signals; nothing without a result.
    void modifyCurrentResult(const std::function<void(SeparationResult&)>& change);
    // Changes a part of the settings in place, stores them and always signals.
    void modifySettings(const std::function<void(SeparationSettings&)>& change);

    // ---- Derived flags

    bool hasPreviewResult() const;
    bool hasFullResult() const;
    // A full result whose id is not the exported one: work that replacing the video would lose.
    bool hasUnexportedFullResult() const;
    // True once per source video per run of the application, for its first preview result.
    bool claimSplitMoment();

    // ---- Held services and constants

    SeparationEngineProtocol& engine() const { return *m_engine; }
    RecentVideos& recents() const { return *m_recents; }
    ReviewPrompter& reviewPrompter() const { return *m_reviewPrompter; }
    AccountStore& account() const { return *m_account; }
    AudioPlayerService& player() const { return *m_player; }
    CoordinatorMedia& media() const { return *m_media; }
    const QString& workingDirectory() const { return m_workingDirectory; }

    // Seconds of soundtrack a preview cleans (30); tests shorten it.
    double previewSeconds() const { return m_previewSeconds; }
    void setPreviewSeconds(double seconds) { m_previewSeconds = seconds; }
    // How a clean that lost the servers waits for them before it tries again, and the clock of
    // those waits.
    void setOutageWait(OutageBackoff backoff, WaitClock clock = WaitClock::system())
    {
        m_outageBackoff = backoff;
        m_waitClock = std::move(clock);
    }
    std::chrono::milliseconds songCheckPollInterval() const { return m_songCheckPollInterval; }
    std::chrono::milliseconds songCheckPollLimit() const { return m_songCheckPollLimit; }
    // Tests shorten the song check's pace and bound.
    void setSongCheckPolling(std::chrono::milliseconds interval, std::chrono::milliseconds limit)
    {
        m_songCheckPollInterval = interval;
        m_songCheckPollLimit = limit;
    }

    // ---- Opening, importing and clearing (coordinator_open.cpp)

    // Opens a file the user chose or dropped; a file that is not a movie only sets the message.
    void openVideo(const QUrl& url);
    // Opens the video `loader` produces (in a task of its own) in place of the open one, which is
    // closed only once the new one has been read: a failed opening leaves it as it was.
    void beginImport(Loader loader);
    // The loader of a movie copied into the imports folder.
    QCoro::Task<SourceVideo> sourceVideo(PickedMovie movie);
    // Closes the open video and drops everything derived from it; deletes no file.
    void clearSource();
    // Starts the picture and the original soundtrack's envelope of a newly opened video.
    void startSourceAnalysis(const SourceVideo& video);

    // ---- Requesting, running and cancelling a clean (coordinator_processing.cpp)

    void startAutomaticPreview();
    void startProcessing(JobKind kind, ExtractionOperation operation);
    QCoro::Task<Extraction> extractPreview(SourceVideo video, std::stop_token stop = {});
    QCoro::Task<Extraction> extractFullSoundtrack(SourceVideo video, std::stop_token stop = {});
    // A new folder named by a new UUID inside the working folder. Throws FileSystemError.
    QUrl makeJobDirectory();
    // The current result when it is a preview covering the whole open video.
    std::optional<SeparationResult> promotablePreview() const;
    // The user's request for the full clean; ignored when it does not apply.
    void cleanFullVideo();
    // Stops the running clean and the song-check follow and returns to idle.
    void cancelProcessing();
    // Whether a processing task is going (not stopped, not ended).
    bool hasActiveTask() const { return m_activeTask.isRunning(); }

    // ---- Promotion (coordinator_promotion.cpp)

    QCoro::Task<void> promotePreview(SeparationResult preview, double videoDuration);

    // ---- Applying a result (coordinator_apply.cpp)

    // Makes the result current, remembers it, loads the audition player and starts its graphics.
    void applyResult(const SeparationResult& result);
    // Cancels the running song-check follow; the follow of a full result still being checked.
    void startSongCheckFollow(const SeparationResult& result);

    // ---- Song check (coordinator_song_check.cpp)

    // The card of the current result at the current ambience.
    CopyrightCheckCard copyrightCheckCard() const;
    // Asks the service to check the current full result; ignored without one, or while a request
    // is on its way.
    void requestSongCheck();
    // Stores a check in the current result when it is still the one with `resultID`.
    void updateClaimCheck(std::optional<ClaimCheck> check, const QUuid& resultID);

    // ---- Ambience re-mix (coordinator_remix.cpp)

    // Clamps the level to 0...1 (NaN gives 0), stores it in the settings and re-mixes the current
    // result when its level differs by more than 0.001. The latest level wins.
    void setAmbience(double level);
    // Re-mixes the current result at the ambience setting after 0.25 s, unless it is within 0.001.
    void scheduleRemix();

    // ---- Export preparation (coordinator_export.cpp)

    // Renders and verifies one export of the current full result: a fresh clean soundtrack in
    // `quality` at the ambience level of the settings (the one on screen, even while its re-mix
    // is pending), the source video remuxed with it, and the result's stems, all in a new
    // working folder that a failure removes. Throws MediaError exportFailed without a full
    // result, sourceMissing or sourceChanged when the video's file is gone or no longer the one
    // opened, the file system's, mixer's or remuxer's error, MediaError verificationFailed, or
    // hf::Cancelled when `stop` is requested. `progress` hears on the main thread how far the
    // preparation has come, 0...1, in order, from its start to its end.
    QCoro::Task<ExportBundle> prepareExport(AudioQuality quality, std::stop_token stop = {},
                                            std::function<void(double)> progress = {});
    // Removes the working copies of an export that has ended (saved, failed, cancelled or
    // dismissed): every file of its folder but those in `keep` (a video saved onto its own
    // working copy), and the folder when nothing is kept. Safe on any thread and after the
    // coordinator is gone.
    static void discardExportFiles(const ExportBundle& bundle, const QStringList& keep = {});
    // Opens the open video's file anew, so that content that changed on disk since it was
    // cleaned is cleaned again.
    void cleanChangedSourceAgain();
    // Counts a verified export, once per result per process.
    void noteVerifiedExport(const QUuid& resultID);
    // The exporter saved the export: the current full result no longer counts as unexported.
    void noteExported();

    // ---- Replacing the open video, reopening a recent one (coordinator_replace.cpp)

    // When replacing the open video would lose an unexported full clean, or a full clean that is
    // still running, parks `perform` in pendingReplacement and returns true; otherwise returns
    // false and does nothing.
    bool askBeforeReplacing(std::function<void()> perform);
    // A full clean of the open video is running or being promoted.
    bool isFullCleanRunning() const;
    // Shows the file importer for the editor, asking first when a full clean would go.
    void presentFileImporter();
    // Opens a file picked in the importer that presentFileImporter() showed. The question was
    // asked before the importer opened; it is asked again only when the work at stake changed
    // meanwhile (a clean finished while the user was choosing).
    void openPickedVideo(const QUrl& url);
    // The confirmation's replace answer: runs the pending replacement 0.35 s later.
    void confirmReplacement();
    // The confirmation's export-first answer: drops the pending replacement, opens the export sheet.
    void exportBeforeReplacing();
    // Reopens a recent video: with its stored result and no processing when its files are all
    // there, else as a newly chosen file; a video that is gone leaves the list with a message.
    void openRecent(const RecentVideos::Entry& entry);

Q_SIGNALS:
    void sourceChanged();
    void progressChanged();
    void isProcessingChanged();
    void processingKindChanged();
    void isImportingChanged();
    void currentResultChanged();
    void originalWaveformChanged();
    void cleanWaveformChanged();
    void originalEnvelopeChanged();
    void stemEnvelopesChanged();
    void thumbnailChanged();
    void isRemixingChanged();
    void remixProgressChanged();
    void isPromotingChanged();
    void isRequestingSongCheckChanged();
    void songCheckRefusedResultIDChanged();
    void settingsChanged();
    void errorMessageChanged();
    void importTargetChanged();
    void isQueuePresentedChanged();
    void showExportSheetChanged();
    void isFileImporterPresentedChanged();
    void pendingReplacementChanged();
    void exportedResultIDChanged();
    void verifiedExportAwaitingReviewChanged();
    void hasUnexportedFullResultChanged();
    // Any of the fields the card is derived from changed.
    void copyrightCheckCardChanged();

private:
    // What replacing the open video would throw away, as a key that changes with the work: the
    // unexported full result, or the running full clean; none when nothing would be lost.
    std::optional<QString> replacementStake() const;
    // Drops a pending replacement whose stake is no longer what it was asked about.
    void dropStaleReplacement();
    // The bodies of the untracked tasks and the processing run. Each receives the token it checks
    // after every suspension: the coordinator's lifetime token for untracked tasks, the slot's
    // token for kept ones.
    QCoro::Task<void> runImport(Loader loader, quint64 generation, std::stop_token alive);
    QCoro::Task<SourceVideo> loadOpenedVideo(QUrl url, std::stop_token alive);
    QCoro::Task<void> makeThumbnail(SourceVideo video, std::stop_token alive);
    QCoro::Task<void> computeOriginalEnvelope(SourceVideo video, std::stop_token stop);
    QCoro::Task<void> computeResultGraphics(SeparationResult result, std::stop_token alive);
    QCoro::Task<void> requestFullClean(SourceVideo video, std::stop_token alive);
    QCoro::Task<void> runProcessing(JobKind kind, ExtractionOperation operation, std::stop_token stop);
    // What the tries of one clean share: its soundtrack, extracted once, and one bound on the time
    // the servers may stay out of reach.
    struct CleanTries {
        std::optional<Extraction> extraction;
        std::shared_ptr<OutageBound> bound = std::make_shared<OutageBound>();
    };
    QCoro::Task<void> performProcessing(JobKind kind, ExtractionOperation operation, std::shared_ptr<CleanTries> tries,
                                        bool retriesAfterSignIn, std::stop_token stop);
    QCoro::Task<void> loadOriginalWaveform(SeparationResult result, std::stop_token alive);
    // Records a failed clean: the log line, the failed progress and the message.
    void handleProcessingFailure(const QString& description, JobKind kind);
    void finishProcessing(const std::stop_token& stop);
    void startUsageRefresh();
    // (completed, 1.0, "Done")
    static ProcessingProgress doneProgress();
    void noteUnexportedChange(bool before);
    QCoro::Task<void> runSongCheckRequest(SeparationResult result, std::stop_token alive);
    QCoro::Task<void> followSongCheck(SeparationResult result, std::chrono::steady_clock::time_point deadline,
                                      std::stop_token stop, std::stop_token alive);
    QCoro::Task<void> runRemix(SeparationResult result, double target, std::stop_token stop, std::stop_token alive);
    // Shows `message` once the import under way has opened `location` (nothing when it opens
    // another video or fails).
    void tellOnceOpened(const QUrl& location, const QString& message);
    // Throws MediaError sourceMissing or sourceChanged when the result's video is gone or no
    // longer the file that was opened.
    void checkSourceUnchanged(const SeparationResult& result) const;
    QCoro::Task<void> runReplacement(std::function<void()> perform, std::stop_token alive);
    QCoro::Task<void> restoreRecent(SeparationResult result, bool exported, QUrl url, quint64 generation,
                                    std::stop_token alive);

    SeparationEngineProtocol* m_engine;
    RecentVideos* m_recents;
    ReviewPrompter* m_reviewPrompter;
    AccountStore* m_account;
    AudioPlayerService* m_player;
    QString m_workingDirectory;
    SettingsStore* m_defaults;
    std::unique_ptr<CoordinatorMedia> m_ownMedia;
    CoordinatorMedia* m_media;
    QPointer<APIClient> m_api;

    std::optional<SourceVideo> m_source;
    ProcessingProgress m_progress;
    bool m_isProcessing = false;
    std::optional<JobKind> m_processingKind;
    bool m_isImporting = false;
    std::optional<SeparationResult> m_currentResult;
    // A clean whose job may still give its stems (its stems did not all arrive, or the servers
    // went away while it ran): a retry of the same kind for the same video hands the engine the
    // same soundtrack, and the engine resumes that job instead of separating again.
    struct InterruptedDownload {
        QUrl sourceURL;
        JobKind kind;
        Extraction extraction;
        QString jobID;
    };
    std::optional<InterruptedDownload> m_interruptedDownload;
    std::vector<float> m_originalWaveform;
    std::vector<float> m_cleanWaveform;
    std::optional<SoundtrackEnvelope> m_originalEnvelope;
    std::optional<StemEnvelopes> m_stemEnvelopes;
    QImage m_thumbnail;
    bool m_isRemixing = false;
    double m_remixProgress = 0;
    bool m_isPromoting = false;
    bool m_isRequestingSongCheck = false;
    std::optional<QUuid> m_songCheckRefusedResultID;
    SeparationSettings m_settings;
    std::optional<QString> m_errorMessage;
    ImportTarget m_importTarget = ImportTarget::editor;
    bool m_isQueuePresented = false;
    bool m_showExportSheet = false;
    bool m_isFileImporterPresented = false;
    std::optional<PendingReplacement> m_pendingReplacement;
    // What the user agreed to lose when presentFileImporter() showed the importer (none inside:
    // nothing was at stake); empty when no importer shown that way is waiting for its pick.
    std::optional<std::optional<QString>> m_importerApproval;
    std::optional<QUuid> m_exportedResultID;
    bool m_verifiedExportAwaitingReview = false;
    std::optional<QUuid> m_lastVerifiedResultID;
    QSet<QString> m_splitMomentSources;   // source video URLs, as text

    double m_previewSeconds = 30;
    OutageBackoff m_outageBackoff;
    WaitClock m_waitClock = WaitClock::system();
    std::chrono::milliseconds m_songCheckPollInterval{std::chrono::seconds(3)};
    std::chrono::milliseconds m_songCheckPollLimit{std::chrono::seconds(1200)};

    // Counts imports, so that only the latest one opens its video and ends isImporting.
    quint64 m_importGeneration = 0;
    // Re-mixes rendering now: a stopped one may still be finishing while its successor renders.
    int m_remixesRendering = 0;

    // Stopped when the coordinator goes: the untracked tasks end at their next check.
    std::stop_source m_alive;

    // The task slots, one task of each kind at a time.
    TaskSlot m_activeTask;
    TaskSlot m_remixTask;
    TaskSlot m_envelopeTask;
    TaskSlot m_songCheckTask;
};

} // namespace hf
