#include "helpers_coordinator.h"

#include "backend/api_error.h"
#include "platform/network.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

using namespace std::chrono_literals;

namespace hf::test {

bool writeSilentWav(const QString& path)
{
    constexpr quint32 rate = 44100;
    constexpr quint16 channels = 2;
    constexpr quint32 frames = rate / 5;
    const quint32 bytes = frames * channels * 2;
    QByteArray data;
    auto put32 = [&](quint32 v) { data.append(reinterpret_cast<const char*>(&v), 4); };
    auto put16 = [&](quint16 v) { data.append(reinterpret_cast<const char*>(&v), 2); };
    data.append("RIFF");
    put32(36 + bytes);
    data.append("WAVEfmt ");
    put32(16);
    put16(1);
    put16(channels);
    put32(rate);
    put32(rate * channels * 2);
    put16(channels * 2);
    put16(16);
    data.append("data");
    put32(bytes);
    data.append(QByteArray(int(bytes), '\0'));
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QCoro::Task<SeparatedStems> FakeEngine::separate(QUrl audioFile, double duration, JobKind kind, bool wantsCheck,
                                                 ProgressCallback progress, std::stop_token stop,
                                                 std::shared_ptr<OutageBound>)
{
    calls.push_back(Call{audioFile, duration, kind, wantsCheck, stop});
    lastProgress = progress;
    progress(ProcessingProgress{ProcessingStage::Kind::uploading, 0.02, QStringLiteral("Creating job")});
    if (Gate g = gate)
        co_await g->wait(stop);
    else
        co_await sleepFor(1ms, stop);
    if (accountLimitAnswers > 0) {
        --accountLimitAnswers;
        throw APIError::accountLimitReached();
    }
    if (failure)
        throw SeparationError::jobFailed(QStringLiteral("separation_failed"), *failure);
    const QString id = QStringLiteral("job-%1").arg(++jobs);
    const QString folder = stemsFolder.value_or(QStringLiteral("/stems")) + "/" + id;
    if (stemsFolder) {
        QDir().mkpath(folder);
        for (const char* stem : {"dialogue", "music", "effects"})
            writeSilentWav(folder + "/" + stem + ".flac");
    }
    SeparatedStems stems;
    stems.dialogueURL = QUrl::fromLocalFile(folder + "/dialogue.flac");
    stems.musicURL = QUrl::fromLocalFile(folder + "/music.flac");
    stems.effectsURL = QUrl::fromLocalFile(folder + "/effects.flac");
    stems.job.id = id;
    stems.job.kind = kind;
    stems.job.status = JobStatus::succeeded;
    stems.job.claimCheck = claimCheck;
    co_return stems;
}

QCoro::Task<CloudJob> FakeEngine::promote(QString jobID, double duration, bool wantsCheck, std::stop_token stop)
{
    promotions.push_back(Promotion{jobID, duration, wantsCheck});
    if (Gate g = promoteGate)
        co_await g->wait(stop);
    else
        co_await sleepFor(1ms, stop);
    if (promoteError)
        throw *promoteError;
    CloudJob job;
    job.id = jobID + "-full";
    job.kind = JobKind::full;
    job.status = JobStatus::succeeded;
    job.claimCheck = promotedClaimCheck;
    job.expiresAt = promotedExpiry;
    co_return job;
}

QCoro::Task<double> FakeMedia::inspect(QUrl video, std::stop_token stop)
{
    co_await sleepFor(1ms, stop);
    if (inspectError)
        throw *inspectError;
    co_return durations.value(video.fileName(), 20.0);
}

QCoro::Task<ExtractedAudio> FakeMedia::extractSoundtrack(QUrl video, QUrl folder, std::optional<double> maxDuration,
                                                         std::stop_token stop)
{
    extractions.push_back(maxDuration);
    if (Gate g = extractGate)
        co_await g->wait(stop);
    else
        co_await sleepFor(1ms, stop);
    const double whole = durations.value(video.fileName(), 20.0);
    ExtractedAudio audio;
    audio.url = QUrl::fromLocalFile(folder.toLocalFile() + "/source-ABCD1234.m4a");
    writeSilentWav(audio.url.toLocalFile());
    audio.duration = maxDuration ? std::min(*maxDuration, whole) : whole;
    audio.sourceDuration = whole;
    co_return audio;
}

QCoro::Task<QUrl> FakeMedia::mix(QUrl, QUrl, QUrl output, AudioQuality quality, double ambience, std::stop_token)
{
    mixAmbiences.push_back(ambience);
    mixOutputs.push_back(output);
    mixQualities.push_back(quality);
    if (Gate g = mixGate)
        co_await g->wait();
    else
        co_await sleepFor(1ms);
    if (mixError)
        throw *mixError;
    if (mixWritesAudio) {
        writeSilentWav(output.toLocalFile());
    } else {
        QFile file(output.toLocalFile());
        if (file.open(QIODevice::WriteOnly))
            file.write("not audio");
    }
    co_return output;
}

QCoro::Task<QUrl> FakeMedia::remux(QUrl video, QUrl soundtrack, QUrl destination, VideoDemuxerMuxer::FileType type,
                                   std::stop_token)
{
    remuxes.push_back(Remux{video, soundtrack, destination, type});
    co_await sleepFor(1ms);
    co_return destination;
}

QCoro::Task<void> FakeMedia::verifyExport(QUrl, QUrl, QUrl, std::stop_token stop)
{
    if (Gate g = verifyGate)
        co_await g->wait(stop);
    else
        co_await sleepFor(1ms, stop);
    if (verifyError)
        throw *verifyError;
}

QCoro::Task<std::vector<float>> FakeMedia::waveformBars(QUrl file, int count)
{
    co_await sleepFor(1ms);
    // Bars that tell the files apart: the clean soundtrack's are 0.5, others 1.
    co_return std::vector<float>(size_t(count), file.fileName().startsWith("clean-") ? 0.5f : 1.0f);
}

QCoro::Task<std::optional<SoundtrackEnvelope>> FakeMedia::soundtrackEnvelope(QUrl, std::stop_token stop)
{
    co_await sleepFor(1ms, stop);
    SoundtrackEnvelope envelope;
    envelope.peaks = {1.0f};
    envelope.rms = envelope.highs = envelope.lows = {0.5f};
    co_return envelope;
}

QCoro::Task<std::optional<StemEnvelopes>> FakeMedia::stemEnvelopes(QUrl dialogue, QUrl, QUrl)
{
    co_await sleepFor(1ms);
    StemEnvelopes envelopes;
    // The dialogue envelope's length tells which job ("job-N") the stems came from.
    const QString job = QFileInfo(dialogue.toLocalFile()).dir().dirName();
    envelopes.dialogue.peaks.resize(size_t(job.section('-', 1, 1).toInt()));
    co_return envelopes;
}

QCoro::Task<std::optional<QImage>> FakeMedia::thumbnail(QUrl, QSize)
{
    ++thumbnails;
    co_await sleepFor(1ms);
    QImage image(8, 8, QImage::Format_RGB32);
    image.fill(Qt::red);
    co_return image;
}

bool waitFor(const std::function<bool()>& condition, int timeoutMs)
{
    return QTest::qWaitFor(condition, timeoutMs);
}

CoordinatorRig::CoordinatorRig(const QUrl& apiBase)
{
    session.reset(makeEphemeralNetworkSession(nullptr));
    api = std::make_unique<APIClient>(apiBase, session.get(), &tokens);
    defaults = std::make_unique<MemorySettingsStore>();
    account = std::make_unique<AccountStore>(api.get(), defaults.get());
    recents = std::make_unique<RecentVideos>(defaults.get(), caches());
    prompter = std::make_unique<ReviewPrompter>(*defaults);
    player = std::make_unique<AudioPlayerService>(std::make_unique<NullAudioOutput>(NullAudioOutput::Mode::manual));
    engine = std::make_unique<FakeEngine>();
    engine->stemsFolder = caches() + QStringLiteral("/Jobs");
    media = std::make_unique<FakeMedia>();
    coordinator = std::make_unique<EngineCoordinator>(engine.get(), recents.get(), prompter.get(), account.get(),
                                                      player.get(), work(), SeparationSettings{}, defaults.get(),
                                                      media.get(), api.get());
}

CoordinatorRig::~CoordinatorRig()
{
    coordinator.reset();
    // Let the stopped tasks end before their fakes go.
    QTest::qWait(20);
}

QUrl CoordinatorRig::video(const QString& name, double seconds)
{
    media->durations.insert(name, seconds);
    QFile file(dir.filePath(name));
    file.open(QIODevice::WriteOnly);
    return QUrl::fromLocalFile(dir.filePath(name));
}

bool CoordinatorRig::openAndPreview(const QUrl& url)
{
    coordinator->openVideo(url);
    // The video open before stays until this one has been read: wait for this one's preview.
    return waitFor([&] {
        return !coordinator->isImporting() && coordinator->hasPreviewResult() && !coordinator->isProcessing()
            && coordinator->currentResult()->sourceVideoURL == url;
    });
}

bool CoordinatorRig::openFullResult(const QUrl& url)
{
    if (!openAndPreview(url))
        return false;
    coordinator->cleanFullVideo();
    return waitFor([&] {
        return coordinator->hasFullResult() && !coordinator->isPromoting() && !coordinator->isProcessing();
    });
}

} // namespace hf::test
