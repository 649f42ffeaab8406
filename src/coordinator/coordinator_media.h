#pragma once

// The media work the coordinator of the open video and the batch queue ask for, behind small
// interfaces so that both can run against stand-ins as well as against the real media functions.
// Every operation is started on the main thread and comes back to it; the heavy work runs on the
// thread pool. An implementation must not touch its own object after a suspension: the
// coordinator may be gone (and with it a media object it owns) by the time the work ends.

#include "pipeline/separation_settings.h"
#include "pipeline/soundtrack_envelope.h"
#include "pipeline/video_demuxer_muxer.h"

#include <QImage>
#include <QSize>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <optional>
#include <stop_token>
#include <vector>

namespace hf {

// What cleaning a video into a new one takes besides the cloud job; all the batch queue uses.
class MediaOperations {
public:
    virtual ~MediaOperations() = default;

    // The duration in seconds of a video that can be opened. Throws MediaError unreadable,
    // emptyFile, noVideoTrack or noAudioTrack, FileSystemError for a file that may not be read, or
    // exportFailed with the truncation message for a file cut short.
    virtual QCoro::Task<double> inspect(QUrl video, std::stop_token stop = {}) = 0;

    // The soundtrack as an M4A file inside `folder`: all of it with no `maxDuration`, else at most
    // its first `maxDuration` seconds. Throws MediaError, FileSystemError or hf::Cancelled.
    virtual QCoro::Task<ExtractedAudio> extractSoundtrack(QUrl video, QUrl folder, std::optional<double> maxDuration,
                                                          std::stop_token stop = {}) = 0;

    // dialogue + ambience x effects into `output`; returns the written file. Throws StemMixerError,
    // a read error of a stem, or hf::Cancelled.
    virtual QCoro::Task<QUrl> mix(QUrl dialogue, QUrl effects, QUrl output, AudioQuality quality, double ambience,
                                  std::stop_token stop = {}) = 0;
    // The same for stems separated from `separatedFrom`, the extracted soundtrack that was
    // uploaded: the mix sits on the video's timeline where that soundtrack's sound starts.
    // `progress` hears how far the mix has come, from the worker's thread. A stand-in that keeps
    // no timeline may leave it to mix(), and need not report progress.
    virtual QCoro::Task<QUrl> mixSeparated(QUrl dialogue, QUrl effects, QUrl separatedFrom, QUrl output,
                                           AudioQuality quality, double ambience, std::stop_token stop = {},
                                           MediaProgress progress = {})
    {
        (void)separatedFrom;
        (void)progress;
        return mix(std::move(dialogue), std::move(effects), std::move(output), quality, ambience, std::move(stop));
    }

    // A copy of `video` with `cleanSoundtrack` as its only audio, and the check of what was written.
    virtual QCoro::Task<QUrl> remux(QUrl video, QUrl cleanSoundtrack, QUrl destination,
                                    VideoDemuxerMuxer::FileType fileType, std::stop_token stop = {}) = 0;
    // remux() telling `progress` how far it has come, from the worker's thread. A stand-in may
    // leave it to remux().
    virtual QCoro::Task<QUrl> remuxReporting(QUrl video, QUrl cleanSoundtrack, QUrl destination,
                                             VideoDemuxerMuxer::FileType fileType, std::stop_token stop,
                                             MediaProgress progress)
    {
        (void)progress;
        return remux(std::move(video), std::move(cleanSoundtrack), std::move(destination), fileType, std::move(stop));
    }
    virtual QCoro::Task<void> verifyExport(QUrl video, QUrl source, QUrl cleanSoundtrack,
                                           std::stop_token stop = {}) = 0;
};

// The open video's media work: the above, and what the editor draws.
class CoordinatorMedia : public MediaOperations {
public:

    // `count` loudness bars of a file (zeros for a file that cannot be read). Never throws.
    virtual QCoro::Task<std::vector<float>> waveformBars(QUrl file, int count) = 0;
    // The envelope of one file; none when it cannot be read or `stop` is requested. Never throws.
    virtual QCoro::Task<std::optional<SoundtrackEnvelope>> soundtrackEnvelope(QUrl file, std::stop_token stop = {}) = 0;
    // The three stems' envelopes; none unless all three could be read. Never throws.
    virtual QCoro::Task<std::optional<StemEnvelopes>> stemEnvelopes(QUrl dialogue, QUrl music, QUrl effects) = 0;
    // The same for stems separated from `separatedFrom`, drawn from where its sound starts on the
    // video's timeline. A stand-in that keeps no timeline may leave it to stemEnvelopes().
    virtual QCoro::Task<std::optional<StemEnvelopes>> placedStemEnvelopes(QUrl dialogue, QUrl music, QUrl effects,
                                                                          QUrl separatedFrom)
    {
        (void)separatedFrom;
        return stemEnvelopes(std::move(dialogue), std::move(music), std::move(effects));
    }
    // A picture near the start of the video, scaled to fit `maxSize`; none without one. Never throws.
    virtual QCoro::Task<std::optional<QImage>> thumbnail(QUrl video, QSize maxSize) = 0;
};

// The real media functions of the pipeline and the thumbnailer. Holds no state.
class DefaultCoordinatorMedia final : public CoordinatorMedia {
public:
    QCoro::Task<double> inspect(QUrl video, std::stop_token stop = {}) override;
    QCoro::Task<ExtractedAudio> extractSoundtrack(QUrl video, QUrl folder, std::optional<double> maxDuration,
                                                  std::stop_token stop = {}) override;
    QCoro::Task<QUrl> mix(QUrl dialogue, QUrl effects, QUrl output, AudioQuality quality, double ambience,
                          std::stop_token stop = {}) override;
    QCoro::Task<QUrl> mixSeparated(QUrl dialogue, QUrl effects, QUrl separatedFrom, QUrl output, AudioQuality quality,
                                   double ambience, std::stop_token stop = {}, MediaProgress progress = {}) override;
    QCoro::Task<QUrl> remux(QUrl video, QUrl cleanSoundtrack, QUrl destination, VideoDemuxerMuxer::FileType fileType,
                            std::stop_token stop = {}) override;
    QCoro::Task<QUrl> remuxReporting(QUrl video, QUrl cleanSoundtrack, QUrl destination,
                                     VideoDemuxerMuxer::FileType fileType, std::stop_token stop,
                                     MediaProgress progress) override;
    QCoro::Task<void> verifyExport(QUrl video, QUrl source, QUrl cleanSoundtrack, std::stop_token stop = {}) override;
    QCoro::Task<std::vector<float>> waveformBars(QUrl file, int count) override;
    QCoro::Task<std::optional<SoundtrackEnvelope>> soundtrackEnvelope(QUrl file, std::stop_token stop = {}) override;
    QCoro::Task<std::optional<StemEnvelopes>> stemEnvelopes(QUrl dialogue, QUrl music, QUrl effects) override;
    QCoro::Task<std::optional<StemEnvelopes>> placedStemEnvelopes(QUrl dialogue, QUrl music, QUrl effects,
                                                                  QUrl separatedFrom) override;
    QCoro::Task<std::optional<QImage>> thumbnail(QUrl video, QSize maxSize) override;
};

} // namespace hf
