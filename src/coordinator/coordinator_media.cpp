#include "coordinator/coordinator_media.h"

#include "coordinator/video_thumbnailer.h"
#include "pipeline/stem_mixer.h"
#include "platform/async.h"

namespace hf {

// Each body forwards before its first suspension and touches nothing of `this` afterwards.

QCoro::Task<double> DefaultCoordinatorMedia::inspect(QUrl video, std::stop_token stop)
{
    // A file cut short is refused here, before anything is made from it: its first seconds
    // would still clean, and only the full clean or the export would find out.
    auto work = [video] {
        const double duration = VideoDemuxerMuxer::inspect(video);
        VideoDemuxerMuxer::checkComplete(video);
        return duration;
    };
    const double duration = co_await runOffThread(stop, std::move(work));
    co_return duration;
}

QCoro::Task<ExtractedAudio> DefaultCoordinatorMedia::extractSoundtrack(QUrl video, QUrl folder,
                                                                       std::optional<double> maxDuration,
                                                                       std::stop_token stop)
{
    auto work = [video, folder, maxDuration, stop] {
        return VideoDemuxerMuxer::extractSoundtrack(video, folder, maxDuration, stop);
    };
    ExtractedAudio extracted = co_await runOffThread(stop, std::move(work));
    co_return extracted;
}

QCoro::Task<QUrl> DefaultCoordinatorMedia::mix(QUrl dialogue, QUrl effects, QUrl output, AudioQuality quality,
                                               double ambience, std::stop_token stop)
{
    QUrl written = co_await StemMixer::mix(dialogue, effects, output, quality, ambience, stop);
    co_return written;
}

QCoro::Task<QUrl> DefaultCoordinatorMedia::mixSeparated(QUrl dialogue, QUrl effects, QUrl separatedFrom, QUrl output,
                                                        AudioQuality quality, double ambience, std::stop_token stop,
                                                        MediaProgress progress)
{
    QUrl written = co_await StemMixer::mix(dialogue, effects, separatedFrom, output, quality, ambience, stop,
                                           std::move(progress));
    co_return written;
}

QCoro::Task<QUrl> DefaultCoordinatorMedia::remux(QUrl video, QUrl cleanSoundtrack, QUrl destination,
                                                 VideoDemuxerMuxer::FileType fileType, std::stop_token stop)
{
    QUrl written = co_await remuxReporting(video, cleanSoundtrack, destination, fileType, stop, {});
    co_return written;
}

QCoro::Task<QUrl> DefaultCoordinatorMedia::remuxReporting(QUrl video, QUrl cleanSoundtrack, QUrl destination,
                                                          VideoDemuxerMuxer::FileType fileType, std::stop_token stop,
                                                          MediaProgress progress)
{
    auto work = [video, cleanSoundtrack, destination, fileType, stop, progress] {
        return VideoDemuxerMuxer::remux(video, cleanSoundtrack, destination, fileType, stop, progress);
    };
    QUrl written = co_await runOffThread(stop, std::move(work));
    co_return written;
}

QCoro::Task<void> DefaultCoordinatorMedia::verifyExport(QUrl video, QUrl source, QUrl cleanSoundtrack,
                                                        std::stop_token stop)
{
    auto work = [video, source, cleanSoundtrack] { VideoDemuxerMuxer::verifyExport(video, source, cleanSoundtrack); };
    co_await runOffThread(stop, std::move(work));
}

QCoro::Task<std::vector<float>> DefaultCoordinatorMedia::waveformBars(QUrl file, int count)
{
    std::vector<float> bars = co_await loadWaveformBars(file, count);
    co_return bars;
}

QCoro::Task<std::optional<SoundtrackEnvelope>> DefaultCoordinatorMedia::soundtrackEnvelope(QUrl file,
                                                                                         std::stop_token stop)
{
    std::optional<SoundtrackEnvelope> envelope = co_await SoundtrackEnvelope::load(file, stop);
    co_return envelope;
}

QCoro::Task<std::optional<StemEnvelopes>> DefaultCoordinatorMedia::stemEnvelopes(QUrl dialogue, QUrl music,
                                                                                QUrl effects)
{
    std::optional<StemEnvelopes> envelopes = co_await StemEnvelopes::load(dialogue, music, effects);
    co_return envelopes;
}

QCoro::Task<std::optional<StemEnvelopes>> DefaultCoordinatorMedia::placedStemEnvelopes(QUrl dialogue, QUrl music,
                                                                                      QUrl effects, QUrl separatedFrom)
{
    std::optional<StemEnvelopes> envelopes = co_await StemEnvelopes::load(dialogue, music, effects, separatedFrom);
    co_return envelopes;
}

QCoro::Task<std::optional<QImage>> DefaultCoordinatorMedia::thumbnail(QUrl video, QSize maxSize)
{
    std::optional<QImage> image = co_await VideoThumbnailer::thumbnail(video, maxSize);
    co_return image;
}

} // namespace hf
