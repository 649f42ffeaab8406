#pragma once

// The media work the batch queue does besides the cloud job: the duration probe, the soundtrack
// extraction, the clean mix, the remux and its verification. The queue reaches it through this
// interface so that its state machine can run against stand-ins; PipelineBatchMedia does the real
// work off the main thread.

#include "pipeline/separation_settings.h"
#include "pipeline/video_demuxer_muxer.h"

#include <QUrl>

#include <qcoro/qcorotask.h>

#include <memory>
#include <stop_token>

namespace hf {

class BatchMediaOperations {
public:
    virtual ~BatchMediaOperations() = default;

    // The video's duration in seconds; throws MediaError for a file that can't be cleaned.
    virtual QCoro::Task<double> inspect(QUrl video) = 0;
    // The whole soundtrack as a new M4A file inside `folder`.
    virtual QCoro::Task<ExtractedAudio> extractSoundtrack(QUrl video, QUrl folder, std::stop_token stop) = 0;
    // dialogue + ambience x effects into `output`; returns the written file.
    virtual QCoro::Task<QUrl> mix(QUrl dialogue, QUrl effects, QUrl output, AudioQuality quality, double ambience,
                                  std::stop_token stop) = 0;
    // The video with `cleanSoundtrack` as its only audio, at `destination`; returns the written file.
    virtual QCoro::Task<QUrl> remux(QUrl video, QUrl cleanSoundtrack, QUrl destination,
                                    VideoDemuxerMuxer::FileType fileType, std::stop_token stop) = 0;
    // Returns when the written video matches its source and soundtrack; throws otherwise.
    virtual QCoro::Task<void> verifyExport(QUrl video, QUrl source, QUrl cleanSoundtrack, std::stop_token stop) = 0;
};

// The pipeline's own operations, each on the thread pool.
class PipelineBatchMedia final : public BatchMediaOperations {
public:
    QCoro::Task<double> inspect(QUrl video) override;
    QCoro::Task<ExtractedAudio> extractSoundtrack(QUrl video, QUrl folder, std::stop_token stop) override;
    QCoro::Task<QUrl> mix(QUrl dialogue, QUrl effects, QUrl output, AudioQuality quality, double ambience,
                          std::stop_token stop) override;
    QCoro::Task<QUrl> remux(QUrl video, QUrl cleanSoundtrack, QUrl destination, VideoDemuxerMuxer::FileType fileType,
                            std::stop_token stop) override;
    QCoro::Task<void> verifyExport(QUrl video, QUrl source, QUrl cleanSoundtrack, std::stop_token stop) override;
};

} // namespace hf
