#include "engine/audio_io.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>

namespace hf::engine {

std::string ffmpegMessage(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

void InputFormatDeleter::operator()(AVFormatContext* context) const { avformat_close_input(&context); }

void OutputFormatDeleter::operator()(AVFormatContext* context) const
{
    if (context && context->pb && !(context->oformat->flags & AVFMT_NOFILE))
        avio_closep(&context->pb);
    avformat_free_context(context);
}

void CodecDeleter::operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
void FrameDeleter::operator()(AVFrame* frame) const { av_frame_free(&frame); }
void PacketDeleter::operator()(AVPacket* packet) const { av_packet_free(&packet); }
void ResamplerDeleter::operator()(SwrContext* context) const { swr_free(&context); }

namespace {

[[noreturn]] void unreadable(const std::filesystem::path& path, const std::string& what)
{
    throw EngineError(EngineError::Kind::unreadableInput, "Cannot read audio from \"" + path.string() + "\": " + what);
}

// A layout with a known channel order: decoders sometimes only give the count.
AVChannelLayout orderedLayout(const AVChannelLayout& layout)
{
    AVChannelLayout result{};
    if (layout.order == AV_CHANNEL_ORDER_NATIVE || layout.order == AV_CHANNEL_ORDER_AMBISONIC)
        av_channel_layout_copy(&result, &layout);
    else
        av_channel_layout_default(&result, layout.nb_channels);
    return result;
}

} // namespace

AudioReader::AudioReader(const std::filesystem::path& path, Conversion conversion)
    : m_path(path), m_conversion(conversion)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        unreadable(path, "no such file");
    if (std::filesystem::file_size(path, ec) == 0)
        unreadable(path, "the file is empty");

    AVFormatContext* raw = nullptr;
    if (int rc = avformat_open_input(&raw, path.c_str(), nullptr, nullptr); rc < 0)
        unreadable(path, ffmpegMessage(rc));
    m_format.reset(raw);
    if (int rc = avformat_find_stream_info(m_format.get(), nullptr); rc < 0)
        unreadable(path, ffmpegMessage(rc));

    const AVCodec* decoder = nullptr;
    m_stream = av_find_best_stream(m_format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (m_stream < 0 || !decoder)
        unreadable(path, m_stream == AVERROR_DECODER_NOT_FOUND ? "no decoder for its audio" : "no audio stream");
    AVStream* stream = m_format->streams[m_stream];
    for (unsigned i = 0; i < m_format->nb_streams; ++i)
        if (int(i) != m_stream)
            m_format->streams[i]->discard = AVDISCARD_ALL;

    m_codec.reset(avcodec_alloc_context3(decoder));
    if (!m_codec)
        unreadable(path, "out of memory");
    if (int rc = avcodec_parameters_to_context(m_codec.get(), stream->codecpar); rc < 0)
        unreadable(path, ffmpegMessage(rc));
    m_codec->pkt_timebase = stream->time_base;
    if (int rc = avcodec_open2(m_codec.get(), decoder, nullptr); rc < 0)
        unreadable(path, ffmpegMessage(rc));
    if (m_codec->sample_rate <= 0 || m_codec->ch_layout.nb_channels <= 0)
        unreadable(path, "the audio stream has no sample rate or channels");

    m_outRate = conversion.sampleRate > 0 ? conversion.sampleRate : m_codec->sample_rate;
    m_outChannels = conversion.mono ? 1 : m_codec->ch_layout.nb_channels;
    if (m_outChannels >= 3) {
        AVChannelLayout layout = orderedLayout(m_codec->ch_layout);
        m_surround.centre = std::max(-1, av_channel_layout_index_from_channel(&layout, AV_CHAN_FRONT_CENTER));
        for (auto [left, right] : {std::pair{AV_CHAN_SIDE_LEFT, AV_CHAN_SIDE_RIGHT}, std::pair{AV_CHAN_BACK_LEFT, AV_CHAN_BACK_RIGHT}}) {
            const int l = av_channel_layout_index_from_channel(&layout, left);
            const int r = av_channel_layout_index_from_channel(&layout, right);
            if (l >= 0 && r >= 0)
                m_surround.pairs.push_back({l, r});
        }
        av_channel_layout_uninit(&layout);
    }
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0)
        m_durationHint = double(stream->duration) * av_q2d(stream->time_base);
    else if (m_format->duration > 0)
        m_durationHint = double(m_format->duration) / AV_TIME_BASE;

    m_frame.reset(av_frame_alloc());
    m_packet.reset(av_packet_alloc());
    if (!m_frame || !m_packet)
        unreadable(path, "out of memory");
}

AudioReader::~AudioReader() = default;

void AudioReader::openConverter(const AVFrame* frame)
{
    AVChannelLayout inLayout = orderedLayout(frame->ch_layout);
    AVChannelLayout outLayout{};
    if (m_conversion.mono)
        outLayout = AV_CHANNEL_LAYOUT_MONO;
    else
        av_channel_layout_copy(&outLayout, &inLayout);
    if (outLayout.nb_channels != m_outChannels) {
        av_channel_layout_uninit(&inLayout);
        av_channel_layout_uninit(&outLayout);
        unreadable(m_path, "the channel count changes within the stream");
    }
    SwrContext* raw = nullptr;
    int rc = swr_alloc_set_opts2(&raw, &outLayout, AV_SAMPLE_FMT_FLTP, m_outRate, &inLayout,
                                 AVSampleFormat(frame->format), frame->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    av_channel_layout_uninit(&outLayout);
    m_swr.reset(raw);
    if (rc < 0)
        unreadable(m_path, ffmpegMessage(rc));
    if (rc = swr_init(m_swr.get()); rc < 0)
        unreadable(m_path, ffmpegMessage(rc));
    m_swrInRate = frame->sample_rate;
    m_swrInFormat = frame->format;
}

void AudioReader::convert(const AVFrame* frame, Planes& planes)
{
    const int inSamples = frame ? frame->nb_samples : 0;
    const int capacity = swr_get_out_samples(m_swr.get(), inSamples) + 16;
    if (capacity <= 0)
        return;
    std::size_t start = planes[0].size();
    m_pointers.resize(m_outChannels);
    for (int c = 0; c < m_outChannels; ++c) {
        planes[c].resize(start + capacity);
        m_pointers[c] = planes[c].data() + start;
    }
    int produced = swr_convert(m_swr.get(), reinterpret_cast<uint8_t**>(m_pointers.data()), capacity,
                               frame ? const_cast<const uint8_t**>(frame->extended_data) : nullptr, inSamples);
    if (produced < 0)
        unreadable(m_path, ffmpegMessage(produced));
    for (int c = 0; c < m_outChannels; ++c)
        planes[c].resize(start + produced);
}

bool AudioReader::read(Planes& planes)
{
    if (m_finished)
        return false;
    planes.resize(m_outChannels);
    const std::size_t before = planes[0].size();
    while (true) {
        if (m_decoderDone) {
            if (m_swr)
                convert(nullptr, planes); // what the resampler still holds
            m_finished = true;
            return planes[0].size() > before;
        }
        int rc = avcodec_receive_frame(m_codec.get(), m_frame.get());
        if (rc == 0) {
            if (m_frame->nb_samples > 0) {
                if (!m_swr || m_frame->sample_rate != m_swrInRate || m_frame->format != m_swrInFormat) {
                    if (m_swr) // the stream changed its format: drain the old converter first
                        convert(nullptr, planes);
                    openConverter(m_frame.get());
                }
                convert(m_frame.get(), planes);
            }
            av_frame_unref(m_frame.get());
            if (planes[0].size() > before)
                return true;
            continue;
        }
        if (rc == AVERROR_EOF) {
            m_decoderDone = true;
            continue;
        }
        if (rc != AVERROR(EAGAIN))
            unreadable(m_path, "decoding failed: " + ffmpegMessage(rc));
        if (m_inputDone)
            unreadable(m_path, "the decoder stalled at the end of the stream");

        rc = av_read_frame(m_format.get(), m_packet.get());
        if (rc == AVERROR_EOF) {
            m_inputDone = true;
            avcodec_send_packet(m_codec.get(), nullptr);
            continue;
        }
        if (rc < 0)
            unreadable(m_path, "reading failed before the end: " + ffmpegMessage(rc));
        if (m_packet->stream_index != m_stream) {
            av_packet_unref(m_packet.get());
            continue;
        }
        rc = avcodec_send_packet(m_codec.get(), m_packet.get());
        av_packet_unref(m_packet.get());
        if (rc < 0 && rc != AVERROR(EAGAIN))
            unreadable(m_path, "decoding failed: " + ffmpegMessage(rc));
    }
}

// ---- FLAC ----

void FlacWriter::fail(const std::string& what, int code)
{
    const bool full = code == AVERROR(ENOSPC) || code == AVERROR(EFBIG) || code == AVERROR(EDQUOT);
    throw EngineError(full ? EngineError::Kind::outOfSpace : EngineError::Kind::outputFailed,
                      "Cannot write \"" + m_path.string() + "\": " + what +
                                                           (code < 0 ? ": " + ffmpegMessage(code) : std::string()));
}

FlacWriter::FlacWriter(const std::filesystem::path& path, int sampleRate, int channels)
    : m_path(path), m_channels(channels)
{
    if (channels < 1 || channels > 8)
        fail("FLAC holds 1 to 8 channels, not " + std::to_string(channels), 0);
    if (sampleRate < 1 || sampleRate > 655350)
        fail("FLAC cannot hold a sample rate of " + std::to_string(sampleRate) + " Hz", 0);

    AVFormatContext* raw = nullptr;
    if (int rc = avformat_alloc_output_context2(&raw, nullptr, "flac", path.c_str()); rc < 0 || !raw)
        fail("no FLAC muxer", rc);
    m_format.reset(raw);
    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_FLAC);
    if (!encoder)
        fail("no FLAC encoder", 0);
    m_codec.reset(avcodec_alloc_context3(encoder));
    if (!m_codec)
        fail("out of memory", 0);
    m_codec->sample_fmt = AV_SAMPLE_FMT_S32;
    m_codec->bits_per_raw_sample = 24;
    m_codec->sample_rate = sampleRate;
    av_channel_layout_default(&m_codec->ch_layout, channels);
    m_codec->time_base = AVRational{1, sampleRate};
    m_codec->compression_level = 2; // quick: the stems are working files
    if (m_format->oformat->flags & AVFMT_GLOBALHEADER)
        m_codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (int rc = avcodec_open2(m_codec.get(), encoder, nullptr); rc < 0)
        fail("cannot open the FLAC encoder", rc);

    AVStream* stream = avformat_new_stream(m_format.get(), nullptr);
    if (!stream)
        fail("out of memory", 0);
    stream->time_base = AVRational{1, sampleRate};
    if (int rc = avcodec_parameters_from_context(stream->codecpar, m_codec.get()); rc < 0)
        fail("cannot set up the stream", rc);
    if (int rc = avio_open(&m_format->pb, path.c_str(), AVIO_FLAG_WRITE); rc < 0)
        fail("cannot create the file", rc);
    if (int rc = avformat_write_header(m_format.get(), nullptr); rc < 0)
        fail("cannot write the header", rc);
    m_headerWritten = true;

    m_frameSize = m_codec->frame_size > 0 ? m_codec->frame_size : 4096;
    m_frame.reset(av_frame_alloc());
    m_packet.reset(av_packet_alloc());
    if (!m_frame || !m_packet)
        fail("out of memory", 0);
    m_frame->format = AV_SAMPLE_FMT_S32;
    m_frame->sample_rate = sampleRate;
    m_frame->nb_samples = m_frameSize;
    av_channel_layout_copy(&m_frame->ch_layout, &m_codec->ch_layout);
    if (int rc = av_frame_get_buffer(m_frame.get(), 0); rc < 0)
        fail("out of memory", rc);
}

FlacWriter::~FlacWriter() = default;

void FlacWriter::write(const Planes& planes, std::size_t offset, std::size_t frames)
{
    constexpr double scale = 8388608.0; // 2^23: full scale of 24 bits
    std::size_t done = 0;
    while (done < frames) {
        if (m_filled == 0)
            if (int rc = av_frame_make_writable(m_frame.get()); rc < 0)
                fail("out of memory", rc);
        const std::size_t take = std::min<std::size_t>(frames - done, std::size_t(m_frameSize - m_filled));
        auto* out = reinterpret_cast<int32_t*>(m_frame->data[0]) + std::size_t(m_filled) * m_channels;
        for (std::size_t i = 0; i < take; ++i) {
            for (int c = 0; c < m_channels; ++c) {
                const float sample = planes[c][offset + done + i];
                double v = std::isfinite(sample) ? std::nearbyint(double(sample) * scale) : 0.0;
                v = std::clamp(v, -scale, scale - 1);
                *out++ = int32_t(v) * 256; // 24 significant bits, left-aligned
            }
        }
        m_filled += int(take);
        done += take;
        if (m_filled == m_frameSize)
            encodeFrame(false);
    }
}

void FlacWriter::encodeFrame(bool flush)
{
    int rc = 0;
    if (!flush || m_filled > 0) {
        m_frame->nb_samples = m_filled;
        m_frame->pts = m_pts;
        m_pts += m_filled;
        rc = avcodec_send_frame(m_codec.get(), m_frame.get());
        m_filled = 0;
        if (rc < 0)
            fail("encoding failed", rc);
    }
    if (flush && (rc = avcodec_send_frame(m_codec.get(), nullptr)) < 0)
        fail("encoding failed", rc);
    while ((rc = avcodec_receive_packet(m_codec.get(), m_packet.get())) == 0) {
        m_packet->stream_index = 0;
        av_packet_rescale_ts(m_packet.get(), m_codec->time_base, m_format->streams[0]->time_base);
        if (int wrc = av_write_frame(m_format.get(), m_packet.get()); wrc < 0)
            fail("writing failed", wrc);
    }
    if (rc != AVERROR(EAGAIN) && rc != AVERROR_EOF)
        fail("encoding failed", rc);
}

void FlacWriter::finish()
{
    if (m_finished)
        return;
    encodeFrame(true);
    if (int rc = av_write_trailer(m_format.get()); rc < 0)
        fail("cannot finish the file", rc);
    if (int rc = avio_closep(&m_format->pb); rc < 0)
        fail("cannot close the file", rc);
    m_finished = true;
}

} // namespace hf::engine
