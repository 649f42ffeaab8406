#include "pipeline/ffmpeg_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

extern "C" {
#include <libavutil/display.h>
#include <libavutil/opt.h>
}

#include <cmath>
#include <cstring>
#include <filesystem>
#include <optional>

#include <fcntl.h>
#include <unistd.h>

namespace hf::media {

namespace {

// The demuxers an input may be read with: ordinary media containers only (no playlists,
// concatenation scripts or image sequences that would open further files).
constexpr const char* allowedFormats =
    "mov,mp4,m4a,3gp,3g2,mj2,matroska,webm,avi,mpegts,mpeg,flv,asf,wav,w64,flac,mp3,aac,ogg,"
    "aiff,caf,ac3,eac3,dts,truehd,mlp,mxf,dv,wv,ape,tta,amr,au,nut";

struct DictDeleter {
    void operator()(AVDictionary* d) const { av_dict_free(&d); }
};

} // namespace

QString errorText(int code)
{
    char buffer[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(code, buffer, sizeof buffer) < 0)
        std::snprintf(buffer, sizeof buffer, "Error number %d", code);
    return QString::fromUtf8(buffer);
}

FFmpegError::FFmpegError(int code, QString context) : m_code(code)
{
    m_message = context.isEmpty() ? errorText(code) : context + QStringLiteral(": ") + errorText(code);
}

int check(int code, const char* context)
{
    if (code < 0)
        throw FFmpegError(code, context ? QString::fromUtf8(context) : QString());
    return code;
}

void InputDeleter::operator()(AVFormatContext* c) const { avformat_close_input(&c); }
void OutputDeleter::operator()(AVFormatContext* c) const
{
    if (c->pb && !(c->oformat->flags & AVFMT_NOFILE))
        avio_closep(&c->pb);
    avformat_free_context(c);
}
void CodecDeleter::operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
void FrameDeleter::operator()(AVFrame* f) const { av_frame_free(&f); }
void PacketDeleter::operator()(AVPacket* p) const { av_packet_free(&p); }
void SwrDeleter::operator()(SwrContext* s) const { swr_free(&s); }
void FifoDeleter::operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }

Frame makeFrame()
{
    Frame f(av_frame_alloc());
    if (!f)
        throw FFmpegError(AVERROR(ENOMEM));
    return f;
}

Packet makePacket()
{
    Packet p(av_packet_alloc());
    if (!p)
        throw FFmpegError(AVERROR(ENOMEM));
    return p;
}

Resampler makeResampler(const AVCodecContext* codec, const AVChannelLayout& layout, AVSampleFormat format, int rate)
{
    SwrContext* swr = nullptr;
    // The layouts are only read (this FFmpeg's declaration predates their const).
    check(swr_alloc_set_opts2(&swr, const_cast<AVChannelLayout*>(&layout), format, rate,
                              const_cast<AVChannelLayout*>(&codec->ch_layout), codec->sample_fmt, codec->sample_rate,
                              0, nullptr));
    Resampler resampler(swr);
    check(av_opt_set_double(swr, "rematrix_maxval", 1.0, 0));
    check(swr_init(swr));
    return resampler;
}

QByteArray nativePath(const QUrl& url)
{
    if (!url.isLocalFile())
        return {};
    // QUrl keeps a percent-encoded byte that is not part of UTF-8 as it is, so decoding the
    // encoded path gives back the name's bytes exactly.
    return QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
}

QByteArray nativePath(const QString& localPath)
{
    if (localPath.isEmpty())
        return {};
    return QFile::encodeName(QFileInfo(localPath).absoluteFilePath());
}

InputContext openInput(const QString& localPath)
{
    return openNativeInput(nativePath(localPath));
}

InputContext openInput(const QUrl& file)
{
    return openNativeInput(nativePath(file));
}

InputContext openNativeInput(const QByteArray& path)
{
    // FFmpeg's own chatter (encoder statistics, probing notes) stays out of the application's log.
    static const bool quiet = [] {
        av_log_set_level(AV_LOG_ERROR);
        return true;
    }();
    (void)quiet;
    if (path.isEmpty())
        throw FFmpegError(AVERROR(ENOENT));
    QByteArray absolute = path;
    if (!absolute.startsWith('/'))
        absolute = QFile::encodeName(QDir::currentPath()) + '/' + absolute;
    std::error_code error;
    if (!std::filesystem::is_regular_file(std::filesystem::path(absolute.toStdString()), error))
        throw FFmpegError(AVERROR(ENOENT));
    AVDictionary* raw = nullptr;
    av_dict_set(&raw, "protocol_whitelist", "file", 0);
    av_dict_set(&raw, "format_whitelist", allowedFormats, 0);
    std::unique_ptr<AVDictionary, DictDeleter> options(raw);
    AVFormatContext* context = nullptr;
    // The "file:" prefix keeps a name such as "http:..." a local path.
    const QByteArray url = QByteArrayLiteral("file:") + absolute;
    raw = options.release();
    const int opened = avformat_open_input(&context, url.constData(), nullptr, &raw);
    options.reset(raw);
    check(opened);
    InputContext input(context);
    check(avformat_find_stream_info(input.get(), nullptr));
    return input;
}

QString cutShortText()
{
    return QStringLiteral("The file ends before its stated length");
}

namespace {

uint64_t bigEndian(const unsigned char* p, int n)
{
    uint64_t v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    return v;
}

// Reads an EBML variable-length number at `offset`: its value (marker bit removed) and length;
// nullopt at a malformed one. `unknown` is set for the reserved all-ones size.
std::optional<std::pair<uint64_t, int>> readVint(QFile& file, qint64 offset, bool keepMarker, bool* unknown = nullptr)
{
    unsigned char bytes[8];
    if (!file.seek(offset) || file.read(reinterpret_cast<char*>(bytes), 1) != 1 || bytes[0] == 0)
        return std::nullopt;
    int length = 1;
    while (!(bytes[0] & (0x80 >> (length - 1))))
        ++length;
    if (length > 1 && file.read(reinterpret_cast<char*>(bytes + 1), length - 1) != length - 1)
        return std::nullopt;
    uint64_t value = bytes[0] & (keepMarker ? 0xFF : (0xFF >> length));
    bool allOnes = value == uint64_t(0xFF >> length);
    for (int i = 1; i < length; ++i) {
        value = (value << 8) | bytes[i];
        allOnes = allOnes && bytes[i] == 0xFF;
    }
    if (unknown)
        *unknown = allOnes;
    return std::pair{value, length};
}

bool matroskaCutShort(QFile& file, qint64 size)
{
    // The EBML header, then the Segment, whose size covers the rest of the file.
    qint64 offset = 0;
    for (int element = 0; element < 2; ++element) {
        const auto id = readVint(file, offset, true);
        if (!id)
            return false;
        bool unknown = false;
        const auto length = readVint(file, offset + id->second, false, &unknown);
        if (!length)
            return false;
        const qint64 dataStart = offset + id->second + length->second;
        if (element == 1)
            return id->first == 0x18538067 && !unknown && uint64_t(dataStart) + length->first > uint64_t(size);
        if (unknown)
            return false;
        offset = dataStart + qint64(length->first);
    }
    return false;
}

bool boxesCutShort(QFile& file, qint64 size)
{
    static const QList<QByteArray> topLevel{"ftyp", "moov", "mdat", "free", "skip", "wide", "pnot", "uuid",
                                            "moof", "mfra", "sidx", "styp", "meta", "junk", "PICT"};
    qint64 offset = 0;
    for (int n = 0; offset + 8 <= size && n < 100000; ++n) {
        unsigned char header[16];
        if (!file.seek(offset) || file.read(reinterpret_cast<char*>(header), 8) != 8)
            return false;
        const QByteArray type(reinterpret_cast<const char*>(header + 4), 4);
        if (n == 0 && !topLevel.contains(type))
            return false;   // not a box structure this knows
        uint64_t length = bigEndian(header, 4);
        if (length == 0)
            return false;   // the last box, to the end of the file
        if (length == 1) {
            if (file.read(reinterpret_cast<char*>(header + 8), 8) != 8)
                return true;
            length = bigEndian(header + 8, 8);
        }
        if (length < 8)
            return false;
        if (uint64_t(offset) + length > uint64_t(size))
            return true;
        offset += qint64(length);
    }
    return false;
}

} // namespace

bool endsBeforeDeclaredSize(const QByteArray& path)
{
    QFile file;
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    const qint64 size = file.size();
    unsigned char magic[4];
    if (file.read(reinterpret_cast<char*>(magic), 4) != 4)
        return false;
    if (bigEndian(magic, 4) == 0x1A45DFA3)
        return matroskaCutShort(file, size);
    return boxesCutShort(file, size);
}

void requireWholeFile(const QByteArray& path)
{
    if (endsBeforeDeclaredSize(path))
        throw FFmpegError(AVERROR_EOF, cutShortText());
}

double durationSeconds(const AVFormatContext* input)
{
    if (input->duration == AV_NOPTS_VALUE || input->duration < 0)
        return std::nan("");
    return double(input->duration) / AV_TIME_BASE;
}

double streamEndSeconds(const AVFormatContext* input, const AVStream* stream)
{
    const double stated = statedStreamEnd(stream);
    if (std::isfinite(stated))
        return stated;
    const double total = durationSeconds(input);
    if (std::isnan(total))
        return total;
    const double start = input->start_time != AV_NOPTS_VALUE ? double(input->start_time) / AV_TIME_BASE : 0.0;
    return start + total;
}

double statedStreamEnd(const AVStream* stream)
{
    const double tb = av_q2d(stream->time_base);
    const double start = stream->start_time != AV_NOPTS_VALUE ? stream->start_time * tb : 0.0;
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0)
        return start + stream->duration * tb;
    // Matroska's DURATION tag is the time of the stream's end, not its length after its start.
    if (const AVDictionaryEntry* tag = av_dict_get(stream->metadata, "DURATION", nullptr, 0)) {
        int h = 0, m = 0;
        double sec = 0;
        if (std::sscanf(tag->value, "%d:%d:%lf", &h, &m, &sec) == 3)
            return h * 3600.0 + m * 60.0 + sec;
    }
    return std::nan("");
}

double timelineOrigin(const AVFormatContext* input)
{
    if (input->start_time == AV_NOPTS_VALUE)
        return 0.0;
    const double start = double(input->start_time) / AV_TIME_BASE;
    if (input->iformat && (input->iformat->flags & AVFMT_TS_DISCONT))
        return start;
    return videoStreams(input).empty() ? 0.0 : std::max(0.0, start);
}

double streamStart(const AVFormatContext* input, const AVStream* stream)
{
    if (stream->start_time == AV_NOPTS_VALUE)
        return 0.0;
    return std::max(0.0, stream->start_time * av_q2d(stream->time_base) - timelineOrigin(input));
}

double soundStart(const QUrl& file)
{
    if (file.isEmpty())
        return 0.0;
    try {
        const InputContext input = openInput(file);
        const auto audio = audioStreams(input.get());
        return audio.empty() ? 0.0 : streamStart(input.get(), audio.front());
    } catch (const std::exception&) {
        return 0.0;
    }
}

double timelineLength(const AVFormatContext* input)
{
    double end = NAN;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVStream* s = input->streams[i];
        const AVMediaType type = s->codecpar->codec_type;
        if ((type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) || (s->disposition & AV_DISPOSITION_ATTACHED_PIC))
            continue;
        const double e = statedStreamEnd(s);
        if (std::isfinite(e))
            end = std::fmax(end, e);
    }
    if (std::isfinite(end))
        return end - timelineOrigin(input);
    return durationSeconds(input);
}

int64_t secondsToStream(double seconds, const AVStream* stream)
{
    return av_rescale_q(llround(seconds * AV_TIME_BASE), AV_TIME_BASE_Q, stream->time_base);
}

std::vector<AVStream*> videoStreams(const AVFormatContext* input)
{
    std::vector<AVStream*> out;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        AVStream* s = input->streams[i];
        if (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(s->disposition & AV_DISPOSITION_ATTACHED_PIC))
            out.push_back(s);
    }
    return out;
}

std::vector<AVStream*> audioStreams(const AVFormatContext* input)
{
    std::vector<AVStream*> out;
    for (unsigned i = 0; i < input->nb_streams; ++i)
        if (input->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
            out.push_back(input->streams[i]);
    return out;
}

OutputContext makeOutput(const QString& nameForFormat, const char* muxerName)
{
    AVFormatContext* context = nullptr;
    const QByteArray name = QFile::encodeName(QFileInfo(nameForFormat).fileName());
    check(avformat_alloc_output_context2(&context, nullptr, muxerName, name.constData()));
    return OutputContext(context);
}

void openOutputFile(AVFormatContext* output, const QString& writePath)
{
    if (output->oformat->flags & AVFMT_NOFILE)
        return;
    AVDictionary* raw = nullptr;
    av_dict_set(&raw, "protocol_whitelist", "file", 0);
    const QByteArray url = QByteArrayLiteral("file:") + QFile::encodeName(QFileInfo(writePath).absoluteFilePath());
    const int opened = avio_open2(&output->pb, url.constData(), AVIO_FLAG_WRITE, nullptr, &raw);
    av_dict_free(&raw);
    check(opened);
}

bool containerAccepts(const AVFormatContext* output, AVCodecID codec)
{
    return avformat_query_codec(output->oformat, codec, FF_COMPLIANCE_NORMAL) == 1;
}

PendingFile::PendingFile(const QString& destination)
    : m_destination(QFileInfo(destination).absoluteFilePath())
{
    // Created exclusively with the ordinary permissions (the user's umask applies), so the file
    // that is finally renamed into place is like any other file the user saves.
    const QFileInfo info(m_destination);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString candidate = info.absolutePath() + QStringLiteral("/.") + info.fileName() + u'.'
            + QString::number(QRandomGenerator::global()->generate(), 36) + QStringLiteral(".part");
        QFile file(candidate);
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            m_temporary = candidate;
            return;
        }
        if (file.error() != QFileDevice::OpenError || QFileInfo::exists(candidate) == false)
            throw FFmpegError(file.errorString());
    }
    throw FFmpegError(AVERROR(EEXIST));
}

PendingFile::~PendingFile()
{
    if (!m_committed)
        QFile::remove(m_temporary);
}

void PendingFile::commit()
{
    std::error_code error;
    std::filesystem::rename(QFile::encodeName(m_temporary).toStdString(),
                            QFile::encodeName(m_destination).toStdString(), error);
    if (error)
        throw FFmpegError(QString::fromStdString(error.message()));
    m_committed = true;
}

void keepOnly(AVFormatContext* input, const AVStream* keep)
{
    for (unsigned i = 0; i < input->nb_streams; ++i)
        if (input->streams[i] != keep)
            input->streams[i]->discard = AVDISCARD_ALL;
}

CodecContext openDecoder(const AVStream* stream, int threads)
{
    const AVCodec* decoder = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!decoder)
        throw FFmpegError(AVERROR_DECODER_NOT_FOUND);
    CodecContext codec(avcodec_alloc_context3(decoder));
    if (!codec)
        throw FFmpegError(AVERROR(ENOMEM));
    check(avcodec_parameters_to_context(codec.get(), stream->codecpar));
    codec->pkt_timebase = stream->time_base;
    codec->thread_count = threads;
    check(avcodec_open2(codec.get(), decoder, nullptr));
    if (codec->codec_type == AVMEDIA_TYPE_AUDIO) {
        if (codec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || codec->ch_layout.nb_channels == 0) {
            const int n = std::max(1, codec->ch_layout.nb_channels);
            av_channel_layout_uninit(&codec->ch_layout);
            av_channel_layout_default(&codec->ch_layout, n);
        }
        if (codec->sample_rate <= 0)
            throw FFmpegError(AVERROR_INVALIDDATA);
    }
    return codec;
}

int displayRotation(const AVStream* stream)
{
    size_t size = 0;
    const uint8_t* matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (!matrix || size < 9 * sizeof(int32_t))
        return 0;
    const double counterClockwise = av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
    if (!std::isfinite(counterClockwise))
        return 0;
    const int quarter = static_cast<int>(std::lround(-counterClockwise / 90.0));
    return ((quarter % 4) + 4) % 4 * 90;
}

// ---------------------------------------------------------------------------------------------

AudioDecoder::AudioDecoder(const QString& localPath, Options options) : m_options(options)
{
    open(nativePath(localPath));
}

AudioDecoder::AudioDecoder(const QUrl& file, Options options) : m_options(options)
{
    open(nativePath(file));
}

void AudioDecoder::open(const QByteArray& path)
{
    const Options options = m_options;
    m_input = openNativeInput(path);
    m_path = path;
    const int index = av_find_best_stream(m_input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index < 0) {
        if (index == AVERROR_STREAM_NOT_FOUND)
            throw NoAudio();
        check(index);
    }
    // The first audio stream, as the file orders them.
    for (AVStream* s : audioStreams(m_input.get())) {
        m_stream = s;
        break;
    }
    keepOnly(m_input.get(), m_stream);
    m_codec = openDecoder(m_stream);

    m_outRate = options.sampleRate > 0 ? options.sampleRate : m_codec->sample_rate;
    if (options.channels > 0)
        av_channel_layout_default(&m_outLayout, options.channels);
    else
        check(av_channel_layout_copy(&m_outLayout, &m_codec->ch_layout));

    m_swr = makeResampler(m_codec.get(), m_outLayout, AV_SAMPLE_FMT_FLTP, m_outRate);
    m_fifo.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, m_outLayout.nb_channels, 4096));
    if (!m_fifo)
        throw FFmpegError(AVERROR(ENOMEM));
    m_packet = makePacket();
    m_frame = makeFrame();
    m_start = streamStart(m_input.get(), m_stream);
    if (std::isfinite(options.timelineFrom) && m_start > options.timelineFrom)
        m_silence = llround((m_start - options.timelineFrom) * m_outRate);
    m_leading = m_silence;
    m_remaining = statedFrames();
}

AudioDecoder::~AudioDecoder()
{
    av_channel_layout_uninit(&m_outLayout);
}

qint64 AudioDecoder::statedFrames() const
{
    // A stream format without an index (MPEG-TS, MPEG-PS) only estimates its streams' lengths.
    if (m_input->iformat && (m_input->iformat->flags & AVFMT_TS_DISCONT))
        return -1;
    const double end = streamEndSeconds(m_input.get(), m_stream);
    if (!std::isfinite(end) || end <= 0)
        return -1;
    const double start = m_stream->start_time != AV_NOPTS_VALUE ? m_stream->start_time * av_q2d(m_stream->time_base) : 0.0;
    return m_leading + llround((end - std::max(start, 0.0)) * m_outRate);
}

void AudioDecoder::requireWholeFileOnce()
{
    // The container's declared sizes are read once per decoder: an error after the end was
    // checked is not a second reason to read them.
    if (!m_options.strict || m_checkedWhole)
        return;
    m_checkedWhole = true;
    requireWholeFile(m_path);
}

void AudioDecoder::convert(const AVFrame* frame)
{
    const int room = swr_get_out_samples(m_swr.get(), frame ? frame->nb_samples : 0);
    if (room <= 0)
        return;
    const int channels = m_outLayout.nb_channels;
    m_convertBuffer.resize(size_t(room) * channels);
    m_convertPlanes.resize(channels);
    for (int c = 0; c < channels; ++c)
        m_convertPlanes[c] = reinterpret_cast<uint8_t*>(m_convertBuffer.data() + size_t(c) * room);
    const int got = check(swr_convert(m_swr.get(), m_convertPlanes.data(), room,
                                      frame ? const_cast<const uint8_t**>(frame->extended_data) : nullptr,
                                      frame ? frame->nb_samples : 0));
    if (got > 0 && av_audio_fifo_write(m_fifo.get(), reinterpret_cast<void**>(m_convertPlanes.data()), got) < got)
        throw FFmpegError(AVERROR(ENOMEM));
}

// Decodes more samples into the FIFO; false once everything is decoded and flushed.
bool AudioDecoder::pump()
{
    if (m_flushed)
        return false;
    for (;;) {
        const int received = avcodec_receive_frame(m_codec.get(), m_frame.get());
        if (received == 0) {
            convert(m_frame.get());
            av_frame_unref(m_frame.get());
            return true;
        }
        if (received == AVERROR_EOF) {
            convert(nullptr);
            m_flushed = true;
            return av_audio_fifo_size(m_fifo.get()) > 0;
        }
        if (received != AVERROR(EAGAIN))
            throw FFmpegError(received);
        if (m_inputDone)
            continue;

        const int read = av_read_frame(m_input.get(), m_packet.get());
        if (read < 0)
            requireWholeFileOnce();
        if (read == AVERROR_EOF) {
            m_inputDone = true;
            if (m_options.strict) {
                const double stated = statedStreamEnd(m_stream);
                if (std::isfinite(stated) && m_lastEnd < stated - truncationTolerance)
                    throw FFmpegError(AVERROR_EOF, cutShortText());
            }
            check(avcodec_send_packet(m_codec.get(), nullptr));
            continue;
        }
        check(read);
        if (m_packet->stream_index == m_stream->index) {
            if (m_options.strict && (m_packet->flags & AV_PKT_FLAG_CORRUPT)) {
                av_packet_unref(m_packet.get());
                throw FFmpegError(AVERROR_INVALIDDATA);
            }
            if (m_packet->pts != AV_NOPTS_VALUE)
                m_lastEnd = std::max(m_lastEnd, (m_packet->pts + m_packet->duration) * av_q2d(m_stream->time_base));
            const int sent = avcodec_send_packet(m_codec.get(), m_packet.get());
            av_packet_unref(m_packet.get());
            if (sent < 0 && sent != AVERROR(EAGAIN))
                throw FFmpegError(sent);
        } else {
            av_packet_unref(m_packet.get());
        }
    }
}

qint64 AudioDecoder::read(float* const* planes, qint64 maxFrames)
{
    if (m_remaining >= 0)
        maxFrames = std::min(maxFrames, m_remaining);
    if (maxFrames <= 0)
        return 0;
    const int channels = m_outLayout.nb_channels;
    qint64 done = 0;
    if (m_silence > 0) {
        done = std::min(maxFrames, m_silence);
        for (int c = 0; c < channels; ++c)
            std::fill(planes[c], planes[c] + done, 0.0f);
        m_silence -= done;
    }
    try {
        while (av_audio_fifo_size(m_fifo.get()) < maxFrames - done && pump()) {
        }
    } catch (const FFmpegError&) {
        // Whatever the demuxer or decoder makes of a file that stops short of what its container
        // declares (an early end, invalid data, a partial last packet), the file is incomplete.
        requireWholeFileOnce();
        throw;
    }
    const int n = int(std::min<qint64>(maxFrames - done, av_audio_fifo_size(m_fifo.get())));
    if (n > 0) {
        std::vector<float*> rest(static_cast<size_t>(channels), nullptr);
        for (int c = 0; c < channels; ++c)
            rest[size_t(c)] = planes[c] + done;
        done += av_audio_fifo_read(m_fifo.get(), reinterpret_cast<void**>(rest.data()), n);
    }
    if (m_remaining >= 0)
        m_remaining -= done;
    return done;
}

// ---------------------------------------------------------------------------------------------

AudioFileWriter::AudioFileWriter(const QString& nameForFormat, const QString& writePath, Encoding encoding,
                                 int sampleRate, const AVChannelLayout& layout, int64_t bitRate, double startSeconds)
    : m_encoding(encoding)
{
    try {
        m_output = makeOutput(nameForFormat);
    } catch (const FFmpegError&) {
        throw UnsupportedFormat();
    }
    const AVCodecID id = encoding == Encoding::aac ? AV_CODEC_ID_AAC : AV_CODEC_ID_PCM_S24LE;
    if (!containerAccepts(m_output.get(), id))
        throw UnsupportedFormat();
    const AVCodec* codec = avcodec_find_encoder(id);
    if (!codec)
        throw UnsupportedFormat();
    m_codec.reset(avcodec_alloc_context3(codec));
    if (!m_codec)
        throw FFmpegError(AVERROR(ENOMEM));
    m_codec->sample_rate = sampleRate;
    check(av_channel_layout_copy(&m_codec->ch_layout, &layout));
    m_codec->sample_fmt = encoding == Encoding::aac ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_S32;
    m_codec->time_base = AVRational{1, sampleRate};
    if (encoding == Encoding::aac)
        m_codec->bit_rate = bitRate;
    else
        m_codec->bits_per_raw_sample = 24;
    if (m_output->oformat->flags & AVFMT_GLOBALHEADER)
        m_codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    check(avcodec_open2(m_codec.get(), codec, nullptr));

    m_stream = avformat_new_stream(m_output.get(), nullptr);
    if (!m_stream)
        throw FFmpegError(AVERROR(ENOMEM));
    m_stream->time_base = m_codec->time_base;
    check(avcodec_parameters_from_context(m_stream->codecpar, m_codec.get()));

    openOutputFile(m_output.get(), writePath);
    AVDictionary* muxerOptions = nullptr;
    if (std::strcmp(m_output->oformat->name, "wav") == 0)
        av_dict_set(&muxerOptions, "rf64", "auto", 0);   // past 4 GB
    const int header = avformat_write_header(m_output.get(), &muxerOptions);
    av_dict_free(&muxerOptions);
    check(header);

    m_frameSize = m_codec->frame_size > 0 ? m_codec->frame_size : 4096;
    m_fifo.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, layout.nb_channels, m_frameSize * 2));
    if (!m_fifo)
        throw FFmpegError(AVERROR(ENOMEM));
    m_frame = makeFrame();
    m_packet = makePacket();
    // Only containers that keep timestamps can state a delay before the first sample.
    static const char* const timed[] = {"mov", "mp4", "ipod", "matroska", "webm"};
    if (startSeconds > 0 && std::isfinite(startSeconds))
        for (const char* name : timed)
            if (std::strcmp(m_output->oformat->name, name) == 0)
                m_pts = llround(startSeconds * sampleRate);
}

AudioFileWriter::~AudioFileWriter() = default;

void AudioFileWriter::write(const float* const* planes, int frames)
{
    if (frames <= 0)
        return;
    if (av_audio_fifo_write(m_fifo.get(), reinterpret_cast<void**>(const_cast<float**>(planes)), frames) < frames)
        throw FFmpegError(AVERROR(ENOMEM));
    sendFrames(false);
}

void AudioFileWriter::sendFrames(bool flush)
{
    const int channels = m_codec->ch_layout.nb_channels;
    while (av_audio_fifo_size(m_fifo.get()) >= m_frameSize || (flush && av_audio_fifo_size(m_fifo.get()) > 0)) {
        const int n = std::min(m_frameSize, av_audio_fifo_size(m_fifo.get()));
        av_frame_unref(m_frame.get());
        m_frame->nb_samples = n;
        m_frame->format = m_codec->sample_fmt;
        m_frame->sample_rate = m_codec->sample_rate;
        check(av_channel_layout_copy(&m_frame->ch_layout, &m_codec->ch_layout));
        check(av_frame_get_buffer(m_frame.get(), 0));
        if (m_encoding == Encoding::aac) {
            av_audio_fifo_read(m_fifo.get(), reinterpret_cast<void**>(m_frame->extended_data), n);
        } else {
            std::vector<float> planar(size_t(n) * channels);
            std::vector<float*> ptrs(channels);
            for (int c = 0; c < channels; ++c)
                ptrs[c] = planar.data() + size_t(c) * n;
            av_audio_fifo_read(m_fifo.get(), reinterpret_cast<void**>(ptrs.data()), n);
            auto* out = reinterpret_cast<int32_t*>(m_frame->data[0]);
            for (int i = 0; i < n; ++i)
                for (int c = 0; c < channels; ++c) {
                    const double v = std::clamp(double(ptrs[c][i]) * 8388608.0, -8388608.0, 8388607.0);
                    out[size_t(i) * channels + c] = int32_t(std::lrint(v)) * 256;
                }
        }
        m_frame->pts = m_pts;
        m_pts += n;
        encode(m_frame.get());
    }
}

void AudioFileWriter::encode(AVFrame* frame)
{
    check(avcodec_send_frame(m_codec.get(), frame));
    for (;;) {
        const int got = avcodec_receive_packet(m_codec.get(), m_packet.get());
        if (got == AVERROR(EAGAIN) || got == AVERROR_EOF)
            return;
        check(got);
        av_packet_rescale_ts(m_packet.get(), m_codec->time_base, m_stream->time_base);
        m_packet->stream_index = m_stream->index;
        check(av_interleaved_write_frame(m_output.get(), m_packet.get()));
    }
}

void AudioFileWriter::finish()
{
    sendFrames(true);
    encode(nullptr);
    check(av_write_trailer(m_output.get()));
    check(avio_closep(&m_output->pb));
}

} // namespace hf::media
