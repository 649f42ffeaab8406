#pragma once

// One sound file of the audition player, decoded on its own thread into an AuditionRing at the
// output's rate and channel count. The ring says where to decode from: a reset of the ring is a
// seek, carried out sample-exactly (the decoder seeks before the wanted frame and drops what
// comes before it).

#include "player/audition_ring.h"
#include "pipeline/ffmpeg_support.h"

#include <QString>

#include <memory>
#include <thread>

namespace hf {

class AuditionTrackDecoder {
public:
    // Opens the file and decodes its first samples, so a file that cannot be read fails here
    // (media::FFmpegError, or media::AudioDecoder::NoAudio-like FFmpegError for a file without
    // sound). Decoding on the thread starts with start().
    // Frame 0 is the start of the video's timeline: a file that states a later start is preceded
    // by silence, and one that starts at zero is placed at `unplacedStart` seconds (stems come
    // back from separation starting at zero; they belong where the original soundtrack starts).
    AuditionTrackDecoder(const QString& path, int outputRate, int outputChannels, int64_t ringFrames = 16384,
                         double unplacedStart = 0);
    ~AuditionTrackDecoder();
    AuditionTrackDecoder(const AuditionTrackDecoder&) = delete;
    AuditionTrackDecoder& operator=(const AuditionTrackDecoder&) = delete;

    const QString& path() const { return m_path; }
    // Where the file's sound ends on the timeline, seconds; NaN when it states no length.
    double duration() const { return m_duration; }

    AuditionRing& ring() { return m_ring; }
    // Starts the decoding thread, delivering from `frame` on.
    void start(int64_t frame);
    // Delivers from `frame` on; what the ring held is dropped.
    void seek(int64_t frame) { m_ring.reset(frame); }

private:
    void run();
    // Decodes at least one more frame into m_pending; false at the end of the stream.
    bool decodeMore();
    void convert(const AVFrame* frame);
    void seekTo(int64_t frame);
    void resetResampler();

    QString m_path;
    int m_rate;
    int m_channels;
    double m_duration = 0;
    AuditionRing m_ring;

    media::InputContext m_input;
    AVStream* m_stream = nullptr;
    media::CodecContext m_codec;
    media::Resampler m_swr;
    media::Packet m_packet;
    media::Frame m_frame;
    AVChannelLayout m_outLayout{};

    int64_t m_firstPts = AV_NOPTS_VALUE;   // the timestamp of output frame 0
    int64_t m_leadFrames = 0;               // output frames of silence before the first sample
    int64_t m_cursor = 0;                   // the output frame the next converted sample is
    int64_t m_target = 0;                   // the first frame wanted after a seek
    bool m_needTimestamp = false;           // the next decoded frame sets m_cursor from its pts
    bool m_inputDone = false;
    bool m_eof = false;

    std::vector<float> m_pending;           // converted frames not yet in the ring
    int64_t m_pendingOffset = 0;            // frames of m_pending already handed over
    std::vector<float> m_scratch;

    std::thread m_thread;
};

} // namespace hf
