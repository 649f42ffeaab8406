#include "player/audition_track_decoder.h"

#include "platform/logging.h"

#include <algorithm>
#include <cmath>

HF_DECLARE_LOGGING_CATEGORY(lcAudioPlayer)

namespace hf {

using media::check;
using media::FFmpegError;

namespace {
// A gap between timestamps longer than this is not filled with silence (a broken timestamp).
constexpr double maxGapSeconds = 10.0;
} // namespace

AuditionTrackDecoder::AuditionTrackDecoder(const QString& path, int outputRate, int outputChannels, int64_t ringFrames,
                                           double unplacedStart)
    : m_path(path), m_rate(outputRate), m_channels(outputChannels), m_ring(outputChannels, ringFrames)
{
    m_input = media::openInput(path);
    const auto streams = media::audioStreams(m_input.get());
    if (streams.empty())
        throw FFmpegError(AVERROR_STREAM_NOT_FOUND);
    m_stream = streams.front();
    media::keepOnly(m_input.get(), m_stream);
    m_codec = media::openDecoder(m_stream);
    av_channel_layout_default(&m_outLayout, m_channels);
    m_packet = media::makePacket();
    m_frame = media::makeFrame();
    resetResampler();

    const double end = media::streamEndSeconds(m_input.get(), m_stream);
    const double start = m_stream->start_time != AV_NOPTS_VALUE ? m_stream->start_time * av_q2d(m_stream->time_base) : 0.0;
    // Where the first sample sits on the timeline, and so which timestamp is frame 0.
    const double own = media::streamStart(m_input.get(), m_stream);
    const double position = own > 0.001 ? own : std::max(unplacedStart, 0.0);
    m_leadFrames = std::llround(position * m_rate);
    const int64_t firstTimestamp = m_stream->start_time != AV_NOPTS_VALUE ? m_stream->start_time : 0;
    m_firstPts = firstTimestamp - media::secondsToStream(position, m_stream);
    m_needTimestamp = true;
    m_duration = std::isfinite(end) ? position + end - std::max(start, 0.0) : std::nan("");

    // The first samples: proves the file decodes and fixes the timestamp of frame 0.
    while (m_pending.empty() && decodeMore()) {
    }
    if (m_pending.empty() && !m_eof)
        throw FFmpegError(AVERROR_INVALIDDATA);
}

AuditionTrackDecoder::~AuditionTrackDecoder()
{
    m_ring.stop();
    if (m_thread.joinable())
        m_thread.join();
    av_channel_layout_uninit(&m_outLayout);
}

void AuditionTrackDecoder::start(int64_t frame)
{
    if (frame != 0)
        m_ring.reset(frame);
    m_thread = std::thread([this] { run(); });
}

void AuditionTrackDecoder::resetResampler()
{
    // Folded down to the output's channels as an export folds them, so that a 5.1 source is heard
    // at the level it is exported at and never clips.
    m_swr = media::makeResampler(m_codec.get(), m_outLayout, AV_SAMPLE_FMT_FLT, m_rate);
}

void AuditionTrackDecoder::convert(const AVFrame* frame)
{
    const int room = swr_get_out_samples(m_swr.get(), frame ? frame->nb_samples : 0);
    if (room <= 0)
        return;
    m_scratch.resize(size_t(room) * m_channels);
    uint8_t* out = reinterpret_cast<uint8_t*>(m_scratch.data());
    const int got = check(swr_convert(m_swr.get(), &out, room,
                                      frame ? const_cast<const uint8_t**>(frame->extended_data) : nullptr,
                                      frame ? frame->nb_samples : 0));
    if (got <= 0)
        return;
    // Keep only what lies at or after the wanted frame; fill a short gap before it with silence.
    const int64_t first = m_cursor;
    m_cursor += got;
    if (m_cursor <= m_target)
        return;
    int64_t skip = 0;
    if (first < m_target) {
        skip = m_target - first;
    } else if (first > m_target) {
        const int64_t gap = first - m_target;
        // The silence before a late start is filled whatever its length.
        const bool leadIn = first <= m_leadFrames + m_rate / 10;
        if (gap <= int64_t(maxGapSeconds * m_rate) || leadIn)
            m_pending.insert(m_pending.end(), size_t(gap) * m_channels, 0.0f);
    }
    m_pending.insert(m_pending.end(), m_scratch.begin() + skip * m_channels, m_scratch.begin() + size_t(got) * m_channels);
    m_target = m_cursor;
}

bool AuditionTrackDecoder::decodeMore()
{
    if (m_eof)
        return false;
    for (;;) {
        const int received = avcodec_receive_frame(m_codec.get(), m_frame.get());
        if (received == 0) {
            const int64_t pts = m_frame->best_effort_timestamp;
            if (m_firstPts == AV_NOPTS_VALUE) {
                m_firstPts = pts != AV_NOPTS_VALUE ? pts : 0;
                m_cursor = 0;
            } else if (m_needTimestamp) {
                if (pts != AV_NOPTS_VALUE)
                    m_cursor = av_rescale_q(pts - m_firstPts, m_stream->time_base, AVRational{1, m_rate});
                else
                    m_cursor = m_target;
            }
            m_needTimestamp = false;
            convert(m_frame.get());
            av_frame_unref(m_frame.get());
            return true;
        }
        if (received == AVERROR_EOF) {
            convert(nullptr);
            m_eof = true;
            return false;
        }
        if (received != AVERROR(EAGAIN))
            throw FFmpegError(received);
        if (m_inputDone)
            continue;
        const int read = av_read_frame(m_input.get(), m_packet.get());
        if (read == AVERROR_EOF) {
            m_inputDone = true;
            check(avcodec_send_packet(m_codec.get(), nullptr));
            continue;
        }
        check(read);
        if (m_packet->stream_index == m_stream->index) {
            const int sent = avcodec_send_packet(m_codec.get(), m_packet.get());
            av_packet_unref(m_packet.get());
            // A damaged packet is skipped; playback goes on with the next one.
            if (sent < 0 && sent != AVERROR(EAGAIN) && sent != AVERROR_INVALIDDATA)
                throw FFmpegError(sent);
        } else {
            av_packet_unref(m_packet.get());
        }
    }
}

void AuditionTrackDecoder::seekTo(int64_t frame)
{
    m_pending.clear();
    m_pendingOffset = 0;
    m_eof = false;
    m_inputDone = false;
    const int64_t base = m_firstPts != AV_NOPTS_VALUE ? m_firstPts : 0;
    const int64_t ts = base + av_rescale_q(frame, AVRational{1, m_rate}, m_stream->time_base);
    if (avformat_seek_file(m_input.get(), m_stream->index, INT64_MIN, ts, ts, 0) < 0)
        check(avformat_seek_file(m_input.get(), m_stream->index, INT64_MIN, INT64_MIN, INT64_MIN, 0), "seek");
    avcodec_flush_buffers(m_codec.get());
    resetResampler();
    m_target = frame;
    m_needTimestamp = true;
}

void AuditionTrackDecoder::run()
{
    uint64_t generation = 0;
    const int64_t chunk = std::max<int64_t>(1, m_ring.capacity() / 4);
    for (;;) {
        const int64_t pendingFrames = int64_t(m_pending.size()) / m_channels - m_pendingOffset;
        AuditionRing::Request request;
        if (pendingFrames == 0) {
            if (!m_eof) {
                try {
                    m_pending.clear();
                    m_pendingOffset = 0;
                    decodeMore();
                } catch (const std::exception& error) {
                    qCWarning(lcAudioPlayer, "Decoding %s failed: %s", qUtf8Printable(m_path),
                              qUtf8Printable(describe(error)));
                    m_eof = true;
                    m_ring.finish(generation, describe(error));
                }
                // A reset meanwhile is picked up below without waiting.
                if (m_ring.generation() == generation)
                    continue;
                request = m_ring.waitForWork(generation, 0);
            } else {
                m_ring.finish(generation);
                request = m_ring.waitForWork(generation, 1);   // returns on a reset or stop
            }
        } else {
            request = m_ring.waitForWork(generation, std::min(pendingFrames, chunk));
        }
        if (request.stop)
            return;
        if (request.generation != generation) {
            generation = request.generation;
            try {
                seekTo(request.nextFrame);
            } catch (const std::exception& error) {
                qCWarning(lcAudioPlayer, "Seeking in %s failed: %s", qUtf8Printable(m_path),
                          qUtf8Printable(describe(error)));
                m_eof = true;
                m_ring.finish(generation, describe(error));
            }
            continue;
        }
        if (pendingFrames == 0)
            continue;
        const int64_t appended = m_ring.append(generation, m_pending.data() + m_pendingOffset * m_channels,
                                               std::min(pendingFrames, chunk));
        if (appended > 0)
            m_pendingOffset += appended;
        if (m_pendingOffset * m_channels == int64_t(m_pending.size())) {
            m_pending.clear();
            m_pendingOffset = 0;
        }
    }
}

} // namespace hf
