#pragma once

// RAII holders and small shared pieces over FFmpeg's libraries, used by every media operation of
// the pipeline. Nothing here is shown to the user directly: errors carry FFmpeg's own message.

#include "platform/errors.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libswresample/swresample.h>
}

#include <cmath>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

namespace hf::media {

// A failure reported by FFmpeg, with its message text (av_strerror).
class FFmpegError : public Error {
public:
    FFmpegError(int code, QString context = {});
    explicit FFmpegError(QString message) : m_code(AVERROR_UNKNOWN), m_message(std::move(message)) {}
    int code() const { return m_code; }
    QString localizedDescription() const override { return m_message; }

private:
    int m_code;
    QString m_message;
};

QString errorText(int code);
// Throws FFmpegError when `code` is negative; returns it otherwise.
int check(int code, const char* context = nullptr);

struct InputDeleter {
    void operator()(AVFormatContext* c) const;
};
struct OutputDeleter {
    void operator()(AVFormatContext* c) const;
};
struct CodecDeleter {
    void operator()(AVCodecContext* c) const;
};
struct FrameDeleter {
    void operator()(AVFrame* f) const;
};
struct PacketDeleter {
    void operator()(AVPacket* p) const;
};
struct SwrDeleter {
    void operator()(SwrContext* s) const;
};
struct FifoDeleter {
    void operator()(AVAudioFifo* f) const;
};

using InputContext = std::unique_ptr<AVFormatContext, InputDeleter>;
using OutputContext = std::unique_ptr<AVFormatContext, OutputDeleter>;
using CodecContext = std::unique_ptr<AVCodecContext, CodecDeleter>;
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;
using Resampler = std::unique_ptr<SwrContext, SwrDeleter>;
using AudioFifo = std::unique_ptr<AVAudioFifo, FifoDeleter>;

Frame makeFrame();
Packet makePacket();

// Converts what `codec` decodes to `layout`, `format` and `rate`, ready for use. A down-mix averages
// its channels, so full scale stays full scale (stereo to mono: half of each side, not the louder
// constant-power fold; 5.1 to stereo: each side's channels scaled to add up to one).
Resampler makeResampler(const AVCodecContext* codec, const AVChannelLayout& layout, AVSampleFormat format, int rate);

// A local file's name as the file system stores it: the bytes of a file URL's path (a name that is
// not valid UTF-8 keeps its bytes), or the encoded form of a path. Empty for a URL that is not a
// local file.
QByteArray nativePath(const QUrl& url);
QByteArray nativePath(const QString& localPath);

// Opens a local media file for reading and reads its stream information. Only the "file"
// protocol and ordinary media containers are allowed, so a crafted file (a playlist, a
// concatenation script) cannot make FFmpeg open anything else. Throws FFmpegError.
InputContext openInput(const QString& localPath);
InputContext openInput(const QUrl& file);
InputContext openNativeInput(const QByteArray& nativePath);

// The message of the FFmpegError (code AVERROR_EOF) that stands for a file cut short.
QString cutShortText();
// Whether the container's own declared sizes (the Matroska segment size, the sizes of the MP4 or
// QuickTime top-level boxes) reach past the end of the file: a download or copy that stopped early.
// False when the container declares nothing that tells, or the file cannot be read.
bool endsBeforeDeclaredSize(const QByteArray& nativePath);
// Throws FFmpegError(AVERROR_EOF, cutShortText()) when endsBeforeDeclaredSize() holds.
void requireWholeFile(const QByteArray& nativePath);

// The time, in the file's own clock, that a player shows as the file's start: the earliest
// stream's start for a video, or for a stream format whose clock starts anywhere (MPEG-TS,
// MPEG-PS); 0 for an audio file, where a later start is part of the sound's timing.
double timelineOrigin(const AVFormatContext* input);
// Where a stream starts on its file's timeline, in seconds from timelineOrigin(); 0 when unknown.
double streamStart(const AVFormatContext* input, const AVStream* stream);
// Where the sound of a file's first audio stream starts on its timeline (see streamStart());
// 0 when the file cannot be read or has no sound.
double soundStart(const QUrl& file);
// The length of the file's timeline, seconds from its origin to the latest stated end of a stream
// (the container's duration when no stream states its end); NaN when unknown.
double timelineLength(const AVFormatContext* input);
// A time of the file's clock in seconds, as a timestamp of `stream`'s time base.
int64_t secondsToStream(double seconds, const AVStream* stream);

// The duration of an opened file in seconds; NaN when unknown.
double durationSeconds(const AVFormatContext* input);
// The stated end of a stream (start plus duration) in seconds; NaN when unknown.
double streamEndSeconds(const AVFormatContext* input, const AVStream* stream);

// The end a stream states for itself in the file's clock (its start plus its own duration, or the
// DURATION tag that Matroska files carry, which is already the end), in seconds; NaN when it
// states none. Used to tell a cut-off file from a stream that
// simply ends before the others.
double statedStreamEnd(const AVStream* stream);

// Video streams in file order, attached pictures (cover art) excluded.
std::vector<AVStream*> videoStreams(const AVFormatContext* input);
std::vector<AVStream*> audioStreams(const AVFormatContext* input);

// Leaves every stream but `keep` unread, so demuxing hands over only its packets.
void keepOnly(AVFormatContext* input, const AVStream* keep);

// A decoder opened for `stream`; `threads` 0 lets FFmpeg choose. An audio decoder gets the default
// layout of its channel count when the file states none, and must know its sample rate.
// Throws FFmpegError.
CodecContext openDecoder(const AVStream* stream, int threads = 1);

// Clockwise degrees (0, 90, 180 or 270) that turn the stream's stored picture upright, from its
// display matrix; 0 without one.
int displayRotation(const AVStream* stream);

// A stream that stops this long before its stated end was cut short (a truncated download still
// states its full length).
inline constexpr double truncationTolerance = 0.25;

// Opens an output for `writePath` in the container that fits `nameForFormat`'s extension, or the
// named muxer when `muxerName` is given. The file itself is opened by openOutputFile().
OutputContext makeOutput(const QString& nameForFormat, const char* muxerName = nullptr);
void openOutputFile(AVFormatContext* output, const QString& writePath);

// Whether `output`'s container can hold a stream of `codec` as it is.
bool containerAccepts(const AVFormatContext* output, AVCodecID codec);

// A file written beside its destination under a temporary name, renamed over the destination by
// commit(); removed when destroyed uncommitted. Whatever stood at the destination stays untouched
// until the rename.
class PendingFile {
public:
    explicit PendingFile(const QString& destination);
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    const QString& path() const { return m_temporary; }
    const QString& destination() const { return m_destination; }
    void commit();

private:
    QString m_destination;
    QString m_temporary;
    bool m_committed = false;
};

// Decodes the first audio stream of a file into 32-bit float planar samples, optionally
// resampled and remixed, streaming with bounded memory.
class AudioDecoder {
public:
    struct Options {
        int sampleRate = 0;   // 0: the file's own rate
        int channels = 0;     // 0: the file's own channels
        // Fail when the stream ends clearly before its stated end, on a damaged packet, and when
        // the reading ends at a file that holds less than its container declares.
        bool strict = false;
        // When finite: the sound is preceded by silence from this time of the file's timeline
        // (seconds from its origin) up to the stream's start, so sample 0 is that time.
        double timelineFrom = NAN;
    };

    // Throws FFmpegError when the file cannot be opened; NoAudio when it has no audio stream.
    explicit AudioDecoder(const QString& localPath, Options options);
    explicit AudioDecoder(const QString& localPath) : AudioDecoder(localPath, Options{}) {}
    explicit AudioDecoder(const QUrl& file, Options options);
    explicit AudioDecoder(const QUrl& file) : AudioDecoder(file, Options{}) {}
    ~AudioDecoder();

    struct NoAudio : std::exception {
        const char* what() const noexcept override { return "no audio stream"; }
    };

    int sampleRate() const { return m_outRate; }
    int channels() const { return m_outLayout.nb_channels; }
    const AVChannelLayout& channelLayout() const { return m_outLayout; }
    int sourceSampleRate() const { return m_codec->sample_rate; }
    int sourceChannels() const { return m_codec->ch_layout.nb_channels; }
    AVCodecID sourceCodec() const { return m_stream->codecpar->codec_id; }
    // The stream's stated length in frames of the output rate (leading silence included); -1 when
    // unknown.
    qint64 statedFrames() const;
    // Where the stream's first sample sits on the file's timeline, seconds (see streamStart()).
    double startSeconds() const { return m_start; }

    // Reads up to `maxFrames` frames into `planes` (one per output channel); returns the number
    // read, 0 only at the end. A stream that states its length ends there (the encoder padding
    // of a last AAC frame is not sound). Throws FFmpegError on a read or decode error.
    qint64 read(float* const* planes, qint64 maxFrames);

private:
    void open(const QByteArray& nativePath);
    bool pump();
    void convert(const AVFrame* frame);
    // In strict mode, throws when the file holds less than its container declares.
    void requireWholeFileOnce();

    Options m_options;
    QByteArray m_path;
    InputContext m_input;
    AVStream* m_stream = nullptr;
    CodecContext m_codec;
    Resampler m_swr;
    AudioFifo m_fifo;
    Packet m_packet;
    Frame m_frame;
    AVChannelLayout m_outLayout{};
    int m_outRate = 0;
    bool m_inputDone = false;
    bool m_flushed = false;
    bool m_checkedWhole = false;   // the container's declared sizes were read
    double m_lastEnd = 0;   // seconds, end of the last packet read
    qint64 m_remaining = -1;   // frames up to the stated end; -1 when unknown
    qint64 m_silence = 0;      // frames of leading silence still to give
    qint64 m_leading = 0;      // frames of leading silence in all
    double m_start = 0;
    std::vector<uint8_t*> m_convertPlanes;
    std::vector<float> m_convertBuffer;
};

// Encodes 32-bit float planar samples into an audio file: AAC at a given bit rate, or 24-bit
// little-endian signed PCM. The container follows `nameForFormat`'s extension.
class AudioFileWriter {
public:
    enum class Encoding { aac, pcm24 };

    // Throws FFmpegError; UnsupportedFormat when the container cannot hold the encoding.
    // `startSeconds` places the first sample on the file's timeline (the container states the
    // delay before it).
    AudioFileWriter(const QString& nameForFormat, const QString& writePath, Encoding encoding,
                    int sampleRate, const AVChannelLayout& layout, int64_t bitRate, double startSeconds = 0);
    ~AudioFileWriter();

    struct UnsupportedFormat : std::exception {
        const char* what() const noexcept override { return "unsupported audio format"; }
    };

    void write(const float* const* planes, int frames);
    // Drains the encoder and completes the file.
    void finish();

private:
    void encode(AVFrame* frame);
    void sendFrames(bool flush);

    Encoding m_encoding;
    OutputContext m_output;
    AVStream* m_stream = nullptr;
    CodecContext m_codec;
    AudioFifo m_fifo;
    Frame m_frame;
    Packet m_packet;
    int64_t m_pts = 0;
    int m_frameSize = 0;
};

} // namespace hf::media
