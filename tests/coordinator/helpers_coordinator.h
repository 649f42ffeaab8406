#pragma once

// Scripted stand-ins for the coordinator's separation engine and media work, shared by the
// coordinator's tests.

#include "coordinator/engine_coordinator.h"

#include "backend/api_client.h"
#include "backend/session_token_store.h"
#include "platform/audio_output.h"

#include <QHash>
#include <QNetworkAccessManager>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace hf::test {

using Gate = std::shared_ptr<SharedResult<bool>>;
inline Gate makeGate() { return std::make_shared<SharedResult<bool>>(); }

// Writes a short silent stereo WAV file that the audio decoders read; false when it cannot.
bool writeSilentWav(const QString& path);

// The engine: records each call, reports one progress step, and answers with stems of a counted
// job id ("job-N" folders), an error, or (while `gate` is set) waits to be released. With
// `stemsFolder` the stems are written there as real files; otherwise they are paths under
// "/stems" that do not exist.
class FakeEngine final : public SeparationEngineProtocol {
public:
    struct Call {
        QUrl audio;
        double duration;
        JobKind kind;
        bool claimCheck;
        std::stop_token stop;
    };
    std::vector<Call> calls;
    ProgressCallback lastProgress;
    Gate gate;
    int accountLimitAnswers = 0;                 // separate() fails this often with accountLimitReached
    std::optional<QString> failure;              // ...then with a failed job
    std::optional<ClaimCheck> claimCheck;        // carried by the finished job
    std::optional<QString> stemsFolder;
    int jobs = 0;

    struct Promotion {
        QString jobID;
        double duration;
        bool claimCheck;
    };
    std::vector<Promotion> promotions;
    Gate promoteGate;
    std::optional<APIError> promoteError;
    std::optional<ClaimCheck> promotedClaimCheck;
    std::optional<QDateTime> promotedExpiry;

    QCoro::Task<SeparatedStems> separate(QUrl audioFile, double duration, JobKind kind, bool wantsCheck,
                                         ProgressCallback progress, std::stop_token stop,
                                         std::shared_ptr<OutageBound> bound) override;
    QCoro::Task<CloudJob> promote(QString jobID, double duration, bool wantsCheck, std::stop_token stop) override;
    QCoro::Task<void> cancel(QString) override { co_return; }
};

// The media work: durations by file name; an extraction and a mix that write short silent WAV
// files (a mix may be held, ignoring its stop token as a mix that has just finished would, or
// fail); a remux and a verification that only record; fixed graphics.
class FakeMedia final : public CoordinatorMedia {
public:
    QHash<QString, double> durations;   // by file name; 20 s otherwise
    std::optional<MediaError> inspectError;
    std::vector<std::optional<double>> extractions;
    Gate extractGate;
    Gate mixGate;
    std::vector<double> mixAmbiences;
    std::vector<QUrl> mixOutputs;
    std::vector<AudioQuality> mixQualities;
    bool mixWritesAudio = true;          // false: the mix writes a file no decoder reads
    std::optional<MediaError> mixError;
    // The progress callback of the latest mix of separated stems, which the test may call; and
    // the shares each such mix reports at once when it starts.
    MediaProgress mixProgress;
    std::vector<double> mixReports;
    struct Remux {
        QUrl video;
        QUrl soundtrack;
        QUrl destination;
        VideoDemuxerMuxer::FileType type;
    };
    std::vector<Remux> remuxes;
    std::optional<MediaError> verifyError;
    Gate verifyGate;
    int thumbnails = 0;

    QCoro::Task<double> inspect(QUrl video, std::stop_token stop) override;
    QCoro::Task<ExtractedAudio> extractSoundtrack(QUrl video, QUrl folder, std::optional<double> maxDuration,
                                                  std::stop_token stop) override;
    QCoro::Task<QUrl> mix(QUrl, QUrl, QUrl output, AudioQuality quality, double ambience, std::stop_token) override;
    QCoro::Task<QUrl> mixSeparated(QUrl dialogue, QUrl effects, QUrl, QUrl output, AudioQuality quality,
                                   double ambience, std::stop_token stop, MediaProgress progress) override
    {
        mixProgress = progress;
        for (double share : mixReports)
            if (progress)
                progress(share);
        return mix(std::move(dialogue), std::move(effects), std::move(output), quality, ambience, std::move(stop));
    }
    QCoro::Task<QUrl> remux(QUrl video, QUrl soundtrack, QUrl destination, VideoDemuxerMuxer::FileType type,
                            std::stop_token) override;
    QCoro::Task<void> verifyExport(QUrl, QUrl, QUrl, std::stop_token stop) override;
    QCoro::Task<std::vector<float>> waveformBars(QUrl file, int count) override;
    QCoro::Task<std::optional<SoundtrackEnvelope>> soundtrackEnvelope(QUrl, std::stop_token stop) override;
    QCoro::Task<std::optional<StemEnvelopes>> stemEnvelopes(QUrl dialogue, QUrl, QUrl) override;
    QCoro::Task<std::optional<QImage>> thumbnail(QUrl, QSize) override;
};

bool waitFor(const std::function<bool()>& condition, int timeoutMs = 5000);

// A coordinator on the fakes, with the services around it as the application builds them: the
// settings in memory, the caches folder (with "Work" and the engine's "Jobs") in a temporary
// folder, the backend client at `apiBase` (nothing listens at the default one).
class CoordinatorRig {
public:
    explicit CoordinatorRig(const QUrl& apiBase = QUrl(QStringLiteral("http://127.0.0.1:1")));
    ~CoordinatorRig();

    QTemporaryDir dir;
    std::unique_ptr<QNetworkAccessManager> session;
    InMemoryTokenStore tokens;
    std::unique_ptr<APIClient> api;
    std::unique_ptr<MemorySettingsStore> defaults;
    std::unique_ptr<AccountStore> account;
    std::unique_ptr<RecentVideos> recents;
    std::unique_ptr<ReviewPrompter> prompter;
    std::unique_ptr<AudioPlayerService> player;
    std::unique_ptr<FakeEngine> engine;
    std::unique_ptr<FakeMedia> media;
    std::unique_ptr<EngineCoordinator> coordinator;

    QString caches() const { return dir.filePath(QStringLiteral("Caches")); }
    QString work() const { return caches() + QStringLiteral("/Work"); }

    // A video file (empty: the fake media reads only its name) of `seconds`.
    QUrl video(const QString& name, double seconds = 20.0);
    // Opens the video and waits for its preview result; then promotes it to a full result.
    bool openAndPreview(const QUrl& url);
    bool openFullResult(const QUrl& url);
};

} // namespace hf::test
