#include "coordinator/batch_media.h"

#include "pipeline/stem_mixer.h"
#include "platform/async.h"

#include <optional>

namespace hf {

QCoro::Task<double> PipelineBatchMedia::inspect(QUrl video)
{
    auto work = [video] { return VideoDemuxerMuxer::inspect(video); };
    const double duration = co_await runOffThread(std::stop_token{}, std::move(work));
    co_return duration;
}

QCoro::Task<ExtractedAudio> PipelineBatchMedia::extractSoundtrack(QUrl video, QUrl folder, std::stop_token stop)
{
    auto work = [video, folder, stop] {
        return VideoDemuxerMuxer::extractSoundtrack(video, folder, std::nullopt, stop);
    };
    ExtractedAudio extracted = co_await runOffThread(stop, std::move(work));
    co_return extracted;
}

QCoro::Task<QUrl> PipelineBatchMedia::mix(QUrl dialogue, QUrl effects, QUrl output, AudioQuality quality,
                                          double ambience, std::stop_token stop)
{
    auto work = [dialogue, effects, output, quality, ambience, stop] {
        return StemMixer::mixNow(dialogue, effects, output, quality, ambience, stop);
    };
    QUrl written = co_await runOffThread(stop, std::move(work));
    co_return written;
}

QCoro::Task<QUrl> PipelineBatchMedia::remux(QUrl video, QUrl cleanSoundtrack, QUrl destination,
                                            VideoDemuxerMuxer::FileType fileType, std::stop_token stop)
{
    auto work = [video, cleanSoundtrack, destination, fileType, stop] {
        return VideoDemuxerMuxer::remux(video, cleanSoundtrack, destination, fileType, stop);
    };
    QUrl written = co_await runOffThread(stop, std::move(work));
    co_return written;
}

QCoro::Task<void> PipelineBatchMedia::verifyExport(QUrl video, QUrl source, QUrl cleanSoundtrack,
                                                   std::stop_token stop)
{
    auto work = [video, source, cleanSoundtrack] {
        VideoDemuxerMuxer::verifyExport(video, source, cleanSoundtrack);
    };
    co_await runOffThread(stop, std::move(work));
}

} // namespace hf
