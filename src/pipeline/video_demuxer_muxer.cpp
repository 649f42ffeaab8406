#include "pipeline/video_demuxer_muxer.h"

#include "pipeline/ffmpeg_support.h"
#include "platform/logging.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QStandardPaths>
#include <QUuid>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

HF_LOGGING_CATEGORY(lcVideoDemuxerMuxer, "VideoDemuxerMuxer")

namespace hf {

using namespace media;

namespace {

QString localPath(const QUrl& url)
{
    return url.isLocalFile() ? url.toLocalFile() : QString();
}

// A file cut short (an interrupted download or copy) still states its full length, but the
// index it was opened with then places samples beyond its last byte.
bool indexReachesPastEnd(AVFormatContext* input)
{
    if (!input->pb)
        return false;
    const int64_t size = avio_size(input->pb);
    if (size <= 0)
        return false;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        AVStream* stream = input->streams[i];
        const int count = avformat_index_get_entries_count(stream);
        for (int e = count - 1; e >= 0; --e) {
            const AVIndexEntry* entry = avformat_index_get_entry(stream, e);
            if (entry && entry->pos >= 0 && entry->pos + entry->size > size)
                return true;
        }
    }
    return false;
}

// The sound of the first audio stream: where it starts on the timeline and how long it lasts.
struct SoundSpan {
    double start = 0;
    double length = NAN;
};

SoundSpan soundSpan(const AVFormatContext* input, const AVStream* stream)
{
    SoundSpan span;
    span.start = streamStart(input, stream);
    const double end = statedStreamEnd(stream);
    if (std::isfinite(end))
        span.length = end - timelineOrigin(input) - span.start;
    else
        span.length = timelineLength(input) - span.start;
    return span;
}

// A clean soundtrack that starts this close to zero states no start of its own.
constexpr double soundStartEpsilon = 0.001;
// How far the written soundtrack's stated start may lie from the source's sound. An AAC encoder's
// priming (near-silent samples before the first real one) counts as sound that starts a frame
// early, once for the extraction and once for the mix when both encode; Matroska timestamps are
// rounded to milliseconds.
double soundStartTolerance(const AVStream* written)
{
    const AVCodecParameters* p = written->codecpar;
    const double frame = p->frame_size > 0 && p->sample_rate > 0 ? double(p->frame_size) / p->sample_rate : 0.0;
    return std::max(0.05, 2 * frame + 0.01);
}

QString describeNumber(double x)
{
    if (std::isnan(x))
        return QStringLiteral("nan");
    if (std::isinf(x))
        return x < 0 ? QStringLiteral("-inf") : QStringLiteral("inf");
    QString s = QString::number(x, 'g', QLocale::FloatingPointShortest);
    if (!s.contains(u'.') && !s.contains(u'e'))
        s += QStringLiteral(".0");
    return s;
}

// The native AAC encoder's layout for a source layout: the same one, else the encoder's layout
// with as many channels (5.1 with side channels is written as 5.1); none when it has no such.
std::optional<AVChannelLayout> aacLayoutFor(const AVChannelLayout& layout)
{
    const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!aac || !aac->ch_layouts) {
        // The encoder takes its standard configurations by channel count.
        if (layout.nb_channels < 1 || layout.nb_channels == 7 || layout.nb_channels > 8)
            return std::nullopt;
        AVChannelLayout out{};
        av_channel_layout_default(&out, layout.nb_channels);
        return out;
    }
    for (const AVChannelLayout* l = aac->ch_layouts; l->nb_channels; ++l)
        if (av_channel_layout_compare(l, &layout) == 0)
            return *l;
    for (const AVChannelLayout* l = aac->ch_layouts; l->nb_channels; ++l)
        if (l->nb_channels == layout.nb_channels)
            return *l;
    return std::nullopt;
}

bool aacTakesRate(int rate)
{
    const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!aac || !aac->supported_samplerates)
        return true;
    for (const int* r = aac->supported_samplerates; *r; ++r)
        if (*r == rate)
            return true;
    return false;
}

int64_t aacBitRate(int channels)
{
    if (channels < 2)
        return 160000;
    if (channels == 2)
        return 256000;
    return 64000LL * channels;
}

// Adds a stream carrying `in` as it is: codec parameters, timing base, frame rate, side data
// (the display matrix that rotates the picture among them).
AVStream* addCopiedStream(AVFormatContext* output, const AVStream* in)
{
    AVStream* out = avformat_new_stream(output, nullptr);
    if (!out)
        return nullptr;
    check(avcodec_parameters_copy(out->codecpar, in->codecpar));
    // Keep the stored codec tag when the container knows it for this codec; else let it choose.
    const uint32_t tag = in->codecpar->codec_tag;
    uint32_t chosen = 0;
    if (output->oformat->codec_tag
        && !(av_codec_get_id(output->oformat->codec_tag, tag) == in->codecpar->codec_id
             || !av_codec_get_tag2(output->oformat->codec_tag, in->codecpar->codec_id, &chosen)))
        out->codecpar->codec_tag = 0;
    out->time_base = in->time_base;
    out->avg_frame_rate = in->avg_frame_rate;
    out->r_frame_rate = in->r_frame_rate;
    out->sample_aspect_ratio = in->sample_aspect_ratio;
    out->disposition = in->disposition & AV_DISPOSITION_DEFAULT;
    for (int i = 0; i < in->nb_side_data; ++i) {
        const AVPacketSideData& side = in->side_data[i];
        uint8_t* data = av_stream_new_side_data(out, side.type, side.size);
        if (!data)
            throw FFmpegError(AVERROR(ENOMEM));
        std::memcpy(data, side.data, side.size);
    }
    return out;
}


// A whole AAC soundtrack in a container that carries its decoder configuration is copied packet
// for packet, priming and end trim included, instead of being decoded and encoded again. False
// (nothing written) when the soundtrack is not such.
bool copyAacSoundtrack(const QUrl& source, const QString& writePath, const QString& nameForFormat,
                       const std::stop_token& stop)
{
    InputContext input = openInput(source);
    const auto audio = audioStreams(input.get());
    if (audio.empty())
        return false;
    AVStream* in = audio.front();
    if (in->codecpar->codec_id != AV_CODEC_ID_AAC || in->codecpar->extradata_size <= 0)
        return false;
    requireWholeFile(nativePath(source));
    keepOnly(input.get(), in);

    OutputContext output = makeOutput(nameForFormat);
    AVStream* out = addCopiedStream(output.get(), in);
    if (!out)
        throw FFmpegError(AVERROR(ENOMEM));
    out->disposition = AV_DISPOSITION_DEFAULT;
    av_dict_free(&out->metadata);
    openOutputFile(output.get(), writePath);
    check(avformat_write_header(output.get(), nullptr));

    // The copy keeps the sound where it sits on the source's timeline: a soundtrack that starts
    // after the picture starts as late in the copy.
    const int64_t shift = secondsToStream(timelineOrigin(input.get()), in);
    Packet packet = makePacket();
    double lastEnd = -INFINITY;
    for (unsigned long long n = 0;; ++n) {
        if ((n & 255) == 0 && stop.stop_requested())
            throw Cancelled();
        const int read = av_read_frame(input.get(), packet.get());
        if (read == AVERROR_EOF)
            break;
        check(read);
        if (packet->stream_index != in->index) {
            av_packet_unref(packet.get());
            continue;
        }
        if (packet->flags & AV_PKT_FLAG_CORRUPT)
            throw FFmpegError(AVERROR_INVALIDDATA);
        if (packet->pts != AV_NOPTS_VALUE)
            lastEnd = std::max(lastEnd, (packet->pts + packet->duration) * av_q2d(in->time_base));
        if (packet->pts != AV_NOPTS_VALUE)
            packet->pts -= shift;
        if (packet->dts != AV_NOPTS_VALUE)
            packet->dts -= shift;
        av_packet_rescale_ts(packet.get(), in->time_base, out->time_base);
        packet->stream_index = out->index;
        packet->pos = -1;
        check(av_interleaved_write_frame(output.get(), packet.get()));
    }
    if (stop.stop_requested())
        throw Cancelled();
    const double stated = statedStreamEnd(in);
    if (std::isfinite(stated) && lastEnd < stated - truncationTolerance)
        throw FFmpegError(AVERROR_EOF, cutShortText());
    check(av_write_trailer(output.get()));
    check(avio_closep(&output->pb));
    return true;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Source intake

std::optional<SourceFingerprint> SourceFingerprint::of(const QString& path, double duration)
{
    const QFileInfo info(path);
    if (path.isEmpty() || !info.isFile())
        return std::nullopt;
    return SourceFingerprint{info.size(), info.lastModified().toMSecsSinceEpoch(), duration};
}

bool SourceFingerprint::matches(const SourceFingerprint& now) const
{
    if (size != now.size || modified != now.modified)
        return false;
    // Two readings of one file differ by a frame at most.
    return duration <= 0 || now.duration <= 0 || std::abs(duration - now.duration) < 0.5;
}

SourceVideo SourceVideo::load(const QUrl& url)
{
    const double duration = VideoDemuxerMuxer::inspect(url);
    return SourceVideo{url, url.fileName(), duration, false, SourceFingerprint::of(url.toLocalFile(), duration)};
}

SourceVideo SourceVideo::loadWithinLimit(const QUrl& url)
{
    SourceVideo video = load(url);
    if (video.duration > maximumDuration)
        throw MediaError(MediaError::Case::tooLong);
    return video;
}

const QStringList& SourceVideo::supportedTypes()
{
    static const QStringList types{QStringLiteral("video/*"), QStringLiteral("video/quicktime"),
                                   QStringLiteral("video/mp4")};
    return types;
}

bool SourceVideo::isSupported(const QUrl& url)
{
    const QString name = url.fileName();
    if (QFileInfo(name).suffix().isEmpty())
        return false;
    static const QMimeDatabase database;
    const QMimeType type = database.mimeTypeForFile(name, QMimeDatabase::MatchExtension);
    if (!type.isValid() || type.isDefault())
        return false;
    QStringList names = type.allAncestors();
    names.prepend(type.name());
    for (const QString& n : names)
        if (n.startsWith(QLatin1String("video/")))
            return true;
    return false;
}

QString PickedMovie::importsFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QStringLiteral("/Imports");
}

QUrl PickedMovie::copyIntoImports(const QUrl& received)
{
    const QString folder = importsFolder() + u'/' + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    if (!QDir().mkpath(folder))
        throw FileSystemError(QStringLiteral("Couldn't create the folder %1.").arg(folder));
    // The copy keeps the received name's bytes, so a name that is not valid UTF-8 is copied too.
    const QByteArray sourceBytes = nativePath(received);
    const QByteArray name = sourceBytes.mid(sourceBytes.lastIndexOf('/') + 1);
    const QByteArray destination = QFile::encodeName(folder) + '/' + name;
    std::error_code error;
    if (sourceBytes.isEmpty() || name.isEmpty())
        error = std::make_error_code(std::errc::no_such_file_or_directory);
    else
        std::filesystem::copy_file(sourceBytes.toStdString(), destination.toStdString(), error);
    if (error)
        throw FileSystemError(QString::fromStdString(error.message()));
    QUrl copy = QUrl::fromLocalFile(folder + u'/');
    copy.setPath(copy.path(QUrl::FullyEncoded) + QString::fromLatin1(name.toPercentEncoding("/")), QUrl::TolerantMode);
    return copy;
}

// ---------------------------------------------------------------------------------------------
// Inspection and extraction

namespace {

// The file opened for a look at its header. A file that can't be opened says why: no permission
// to read it (FileSystemError), nothing in it (MediaError emptyFile), or not a media file
// (MediaError unreadable).
InputContext openForInspection(const QUrl& video)
{
    try {
        return openInput(video);
    } catch (const FFmpegError&) {
        const QByteArray path = nativePath(video);
        if (!path.isEmpty()) {
            const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
            if (fd < 0 && (errno == EACCES || errno == EPERM))
                throw FileSystemError::reading(video.fileName(), errno);
            struct stat status{};
            const bool empty = fd >= 0 && ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size == 0;
            if (fd >= 0)
                ::close(fd);
            if (empty)
                throw MediaError::emptyFile(video.fileName());
        }
        throw MediaError(MediaError::Case::unreadable);
    }
}

} // namespace

double VideoDemuxerMuxer::inspect(const QUrl& video)
{
    InputContext input = openForInspection(video);
    // A sound file is no video, whatever its name says: it is refused before anything is cleaned.
    if (videoStreams(input.get()).empty())
        throw MediaError(MediaError::Case::noVideoTrack);
    if (audioStreams(input.get()).empty())
        throw MediaError(MediaError::Case::noAudioTrack);
    const double duration = timelineLength(input.get());
    if (!std::isfinite(duration) || duration <= 0)
        throw MediaError(MediaError::Case::unreadable);
    return duration;
}

void VideoDemuxerMuxer::checkComplete(const QUrl& video)
{
    InputContext input = openForInspection(video);
    if (indexReachesPastEnd(input.get()))
        throw MediaError::exportFailed(MediaError::truncatedMessage());
}

ExtractedAudio VideoDemuxerMuxer::extractSoundtrack(const QUrl& video, const QUrl& folder,
                                                    std::optional<double> maxDuration, std::stop_token stop)
{
    const double sourceDuration = inspect(video);

    const QString folderPath = localPath(folder);
    if (folderPath.isEmpty() || !QDir().mkpath(folderPath))
        throw FileSystemError(QStringLiteral("Couldn't create the folder %1.").arg(folder.toString()));
    const QString name = QStringLiteral("source-")
        + QUuid::createUuid().toString(QUuid::WithoutBraces).left(8).toUpper() + QStringLiteral(".m4a");
    const QString outputPath = QDir(folderPath).filePath(name);
    const QUrl outputUrl = QUrl::fromLocalFile(outputPath);

    const bool limited = maxDuration && sourceDuration > *maxDuration;
    ExtractedAudio result{outputUrl, 0, sourceDuration};
    try {
        if (!limited) {
            PendingFile pending(outputPath);
            if (copyAacSoundtrack(video, pending.path(), outputPath, stop)) {
                pending.commit();
                InputContext copy = openInput(outputPath);
                const auto span = soundSpan(copy.get(), audioStreams(copy.get()).front());
                result.start = span.start;
                result.duration = std::isfinite(span.length) && span.length > 0 ? span.length
                                                                                 : sourceDuration - span.start;
                qCInfo(lcVideoDemuxerMuxer, "Extracted %fs of audio from %fs to %s", result.duration, result.start,
                       qUtf8Printable(name));
                return result;
            }
        }
        AudioDecoder::Options options;
        options.strict = true;
        auto decoder = std::make_unique<AudioDecoder>(video, options);
        if (!aacLayoutFor(decoder->channelLayout()) || !aacTakesRate(decoder->sampleRate())) {
            options.channels = decoder->channels() == 1 ? 1 : 2;
            options.sampleRate = aacTakesRate(decoder->sampleRate()) ? decoder->sampleRate() : 48000;
            decoder = std::make_unique<AudioDecoder>(video, options);
        }
        const int rate = decoder->sampleRate();
        const int channels = decoder->channels();
        // The written sound starts where the source's does, on the picture's timeline.
        result.start = decoder->startSeconds();

        PendingFile pending(outputPath);
        AudioFileWriter writer(outputPath, pending.path(), AudioFileWriter::Encoding::aac, rate,
                               *aacLayoutFor(decoder->channelLayout()), aacBitRate(channels), result.start);

        // The whole soundtrack ends where its stream says it ends (not at the encoder padding of
        // its last frame); the first seconds of the video end at exactly that many samples.
        const qint64 limit = limited ? std::max<qint64>(0, llround((*maxDuration - result.start) * rate))
                                     : decoder->statedFrames();
        constexpr qint64 chunk = 16384;
        std::vector<float> buffer(size_t(chunk) * channels);
        std::vector<float*> planes(channels);
        for (int c = 0; c < channels; ++c)
            planes[c] = buffer.data() + size_t(c) * chunk;
        qint64 frames = 0;
        for (;;) {
            if (stop.stop_requested())
                throw Cancelled();
            const qint64 want = limit >= 0 ? std::min(chunk, limit - frames) : chunk;
            if (want <= 0)
                break;
            const qint64 got = decoder->read(planes.data(), want);
            if (got == 0)
                break;
            writer.write(planes.data(), int(got));
            frames += got;
        }
        writer.finish();
        pending.commit();
        result.duration = double(frames) / rate;
    } catch (const AudioDecoder::NoAudio&) {
        throw MediaError(MediaError::Case::noAudioTrack);
    } catch (const AudioFileWriter::UnsupportedFormat&) {
        throw MediaError::exportFailed(MediaError::audioExportUnavailableMessage());
    } catch (const FFmpegError& error) {
        if (error.code() == AVERROR_EOF)
            throw MediaError::exportFailed(MediaError::truncatedMessage());
        throw MediaError::exportFailed(error.localizedDescription());
    }

    if (limited)
        result.duration = std::min(result.duration, std::max(0.0, *maxDuration - result.start));
    qCInfo(lcVideoDemuxerMuxer, "Extracted %fs of audio from %fs to %s", result.duration, result.start,
           qUtf8Printable(name));
    return result;
}

// ---------------------------------------------------------------------------------------------
// Remux

VideoDemuxerMuxer::FileType VideoDemuxerMuxer::outputFileType(const QUrl& url, bool forceQuickTime)
{
    if (forceQuickTime)
        return FileType::quickTimeMovie;
    const QString ext = QFileInfo(url.fileName()).suffix().toLower();
    if (ext == QLatin1String("mov") || ext == QLatin1String("qt"))
        return FileType::quickTimeMovie;
    if (ext == QLatin1String("m4v"))
        return FileType::m4v;
    return FileType::mpeg4;
}

QString VideoDemuxerMuxer::fileExtension(FileType type)
{
    switch (type) {
    case FileType::quickTimeMovie:
        return QStringLiteral("mov");
    case FileType::m4v:
        return QStringLiteral("m4v");
    case FileType::mpeg4:
        break;
    }
    return QStringLiteral("mp4");
}

namespace {

const char* muxerName(VideoDemuxerMuxer::FileType type)
{
    switch (type) {
    case VideoDemuxerMuxer::FileType::quickTimeMovie:
        return "mov";
    case VideoDemuxerMuxer::FileType::m4v:
        return "ipod";
    case VideoDemuxerMuxer::FileType::mpeg4:
        break;
    }
    return "mp4";
}

double packetTime(const AVPacket* packet, const AVStream* stream)
{
    const int64_t t = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
    return t == AV_NOPTS_VALUE ? 0.0 : t * av_q2d(stream->time_base);
}

} // namespace

QUrl VideoDemuxerMuxer::remux(const QUrl& video, const QUrl& cleanSoundtrack, const QUrl& destination,
                              FileType fileType, std::stop_token stop, const MediaProgress& progress)
{
    InputContext source = openInput(video);
    InputContext clean = openInput(cleanSoundtrack);
    const auto pictures = videoStreams(source.get());
    if (pictures.empty())
        throw MediaError(MediaError::Case::noVideoTrack);
    const auto cleanAudio = audioStreams(clean.get());
    if (cleanAudio.empty())
        throw MediaError(MediaError::Case::noAudioTrack);
    AVStream* audioIn = cleanAudio.front();

    // Everything is written on the source's timeline, which starts at zero in the output. The
    // clean soundtrack keeps the start it states; one that starts at zero (stems come back from
    // separation that way) begins where the source's own sound begins. Its length is cut at the
    // source's end.
    const double origin = timelineOrigin(source.get());
    const auto sourceAudio = audioStreams(source.get());
    const double sourceSoundStart = sourceAudio.empty() ? 0.0 : streamStart(source.get(), sourceAudio.front());
    const double cleanStart = streamStart(clean.get(), audioIn);
    const double placement = cleanStart > soundStartEpsilon ? cleanStart : sourceSoundStart;
    const int64_t audioShift = secondsToStream(timelineOrigin(clean.get()) + cleanStart - placement, audioIn);
    double cut = timelineLength(source.get());
    if (std::isnan(cut))
        cut = INFINITY;

    const QString destinationPath = localPath(destination);
    if (destinationPath.isEmpty())
        throw MediaError::exportFailed(errorText(AVERROR(EINVAL)));
    OutputContext output = makeOutput(destinationPath, muxerName(fileType));
    const QString refusal = MediaError::needsReencodingMessage(fileExtension(fileType));

    // Where each source stream goes in the output; -1 for streams left behind.
    std::vector<int> mapping(source->nb_streams, -1);
    for (AVStream* in : pictures) {
        if (!containerAccepts(output.get(), in->codecpar->codec_id))
            throw MediaError::exportFailed(refusal);
        AVStream* out = addCopiedStream(output.get(), in);
        if (!out)
            throw MediaError::exportFailed(MediaError::addVideoTrackMessage());
        mapping[in->index] = out->index;
    }
    if (!containerAccepts(output.get(), audioIn->codecpar->codec_id))
        throw MediaError::exportFailed(refusal);
    AVStream* audioOut = addCopiedStream(output.get(), audioIn);
    if (!audioOut)
        throw MediaError::exportFailed(MediaError::addAudioTrackMessage());
    audioOut->disposition = AV_DISPOSITION_DEFAULT;
    for (unsigned i = 0; i < source->nb_streams; ++i)
        if (mapping[i] < 0)
            source->streams[i]->discard = AVDISCARD_ALL;
    for (unsigned i = 0; i < clean->nb_streams; ++i)
        if (clean->streams[i] != audioIn)
            clean->streams[i]->discard = AVDISCARD_ALL;

    std::optional<PendingFile> pending;
    try {
        requireWholeFile(nativePath(video));
        pending.emplace(destinationPath);
        openOutputFile(output.get(), pending->path());
        const int header = avformat_write_header(output.get(), nullptr);
        if (header == AVERROR(EINVAL))
            throw MediaError::exportFailed(refusal);
        check(header);

        std::vector<double> lastEnd(source->nb_streams, -INFINITY);
        Packet picturePacket = makePacket();
        Packet audioPacket = makePacket();
        bool pictureReady = false, pictureDone = false, audioReady = false, audioDone = false;
        unsigned long long written = 0;

        auto nextPicture = [&] {
            for (;;) {
                const int read = av_read_frame(source.get(), picturePacket.get());
                if (read == AVERROR_EOF) {
                    pictureDone = true;
                    return;
                }
                check(read);
                if (mapping[picturePacket->stream_index] < 0) {
                    av_packet_unref(picturePacket.get());
                    continue;
                }
                if (picturePacket->flags & AV_PKT_FLAG_CORRUPT)
                    throw FFmpegError(AVERROR_INVALIDDATA);
                const AVStream* in = source->streams[picturePacket->stream_index];
                if (picturePacket->pts != AV_NOPTS_VALUE) {
                    const double end = (picturePacket->pts + picturePacket->duration) * av_q2d(in->time_base);
                    lastEnd[in->index] = std::max(lastEnd[in->index], end);
                }
                const int64_t shift = secondsToStream(origin, in);
                if (picturePacket->pts != AV_NOPTS_VALUE)
                    picturePacket->pts -= shift;
                if (picturePacket->dts != AV_NOPTS_VALUE)
                    picturePacket->dts -= shift;
                pictureReady = true;
                return;
            }
        };
        auto nextAudio = [&] {
            for (;;) {
                const int read = av_read_frame(clean.get(), audioPacket.get());
                if (read == AVERROR_EOF) {
                    audioDone = true;
                    return;
                }
                check(read);
                if (audioPacket->stream_index != audioIn->index) {
                    av_packet_unref(audioPacket.get());
                    continue;
                }
                if (audioPacket->pts != AV_NOPTS_VALUE)
                    audioPacket->pts -= audioShift;
                if (audioPacket->dts != AV_NOPTS_VALUE)
                    audioPacket->dts -= audioShift;
                const int64_t pts = audioPacket->pts != AV_NOPTS_VALUE ? audioPacket->pts : audioPacket->dts;
                const double t = pts == AV_NOPTS_VALUE ? 0.0 : pts * av_q2d(audioIn->time_base);
                if (t >= cut - 1e-9) {
                    av_packet_unref(audioPacket.get());
                    audioDone = true;
                    return;
                }
                audioReady = true;
                return;
            }
        };
        double writtenUpTo = 0;   // seconds of the output's timeline
        auto write = [&](AVPacket* packet, const AVStream* in, int outIndex) {
            writtenUpTo = std::max(writtenUpTo, packetTime(packet, in));
            AVStream* out = output->streams[outIndex];
            av_packet_rescale_ts(packet, in->time_base, out->time_base);
            packet->stream_index = outIndex;
            packet->pos = -1;
            check(av_interleaved_write_frame(output.get(), packet));
        };

        const double length = std::isfinite(cut) && cut > 0 ? cut : NAN;
        for (;;) {
            if ((++written & 255) == 0) {
                if (stop.stop_requested())
                    throw Cancelled();
                if (progress && std::isfinite(length))
                    progress(std::clamp(writtenUpTo / length, 0.0, 0.999));
            }
            if (!pictureReady && !pictureDone)
                nextPicture();
            if (!audioReady && !audioDone)
                nextAudio();
            if (!pictureReady && !audioReady)
                break;
            const bool takePicture = pictureReady
                && (!audioReady
                    || packetTime(picturePacket.get(), source->streams[picturePacket->stream_index])
                        <= packetTime(audioPacket.get(), audioIn));
            if (takePicture) {
                const AVStream* in = source->streams[picturePacket->stream_index];
                write(picturePacket.get(), in, mapping[in->index]);
                pictureReady = false;
            } else {
                write(audioPacket.get(), audioIn, audioOut->index);
                audioReady = false;
            }
        }
        if (stop.stop_requested())
            throw Cancelled();

        // A truncated download still states its full length: a picture that stops short of it
        // is a broken source, never a shorter video.
        for (AVStream* in : pictures) {
            const double stated = statedStreamEnd(in);
            if (std::isfinite(stated) && lastEnd[in->index] < stated - truncationTolerance)
                throw MediaError::exportFailed(MediaError::truncatedMessage());
        }
        check(av_write_trailer(output.get()));
        check(avio_closep(&output->pb));
        pending->commit();
    } catch (const FFmpegError& error) {
        if (error.code() == AVERROR_EOF)
            throw MediaError::exportFailed(MediaError::truncatedMessage());
        // A full disk, a missing permission and the like are said in words naming the file.
        if (error.code() < 0 && FileSystemError::isDestinationError(AVUNERROR(error.code())))
            throw FileSystemError::writing(destination.fileName(), AVUNERROR(error.code()));
        throw MediaError::exportFailed(error.localizedDescription());
    }
    qCInfo(lcVideoDemuxerMuxer, "Remuxed %s with passthrough video", qUtf8Printable(destination.fileName()));
    if (progress)
        progress(1.0);
    return destination;
}

// ---------------------------------------------------------------------------------------------
// Verification

namespace {

struct VerificationMismatch {
    QString detail;
};

// Packets of a stream: the container's own count when it states one, else counted by reading
// (packets only, nothing decoded).
int64_t packetCount(const QString& path, const AVFormatContext* probed, int streamIndex)
{
    const int64_t stated = probed->streams[streamIndex]->nb_frames;
    if (stated > 0)
        return stated;
    InputContext input = openInput(path);
    for (unsigned i = 0; i < input->nb_streams; ++i)
        if (int(i) != streamIndex)
            input->streams[i]->discard = AVDISCARD_ALL;
    Packet packet = makePacket();
    int64_t count = 0;
    for (;;) {
        const int read = av_read_frame(input.get(), packet.get());
        if (read == AVERROR_EOF)
            break;
        check(read);
        if (packet->stream_index == streamIndex)
            ++count;
        av_packet_unref(packet.get());
    }
    return count;
}

QString sizeText(const AVStream* s)
{
    return QStringLiteral("(%1, %2)").arg(describeNumber(s->codecpar->width), describeNumber(s->codecpar->height));
}

} // namespace

void VideoDemuxerMuxer::verifyExport(const QUrl& video, const QUrl& source, const QUrl& cleanSoundtrack)
{
    const QString name = video.fileName();
    try {
        const QString writtenPath = localPath(video);
        const QString sourcePath = localPath(source);
        InputContext written = openInput(video);
        InputContext original = openInput(source);
        InputContext clean = openInput(cleanSoundtrack);

        const auto writtenVideo = videoStreams(written.get());
        const auto sourceVideo = videoStreams(original.get());
        const size_t n = writtenVideo.size(), m = sourceVideo.size();
        if (n == 0 || n != m)
            throw VerificationMismatch{QStringLiteral("video track count %1, expected %2").arg(n).arg(m)};
        for (size_t i = 0; i < n; ++i) {
            const AVStream* w = writtenVideo[i];
            const AVStream* s = sourceVideo[i];
            if (w->codecpar->codec_id != s->codecpar->codec_id)
                throw VerificationMismatch{QStringLiteral("video was re-encoded")};
            if (w->codecpar->width != s->codecpar->width || w->codecpar->height != s->codecpar->height)
                throw VerificationMismatch{QStringLiteral("video size %1, expected %2").arg(sizeText(w), sizeText(s))};
            const int64_t wc = packetCount(writtenPath, written.get(), w->index);
            const int64_t sc = packetCount(sourcePath, original.get(), s->index);
            if (wc != sc)
                throw VerificationMismatch{QStringLiteral("video packet count %1, expected %2").arg(wc).arg(sc)};
            // Ends on each file's own timeline: the written video starts at zero.
            const double we = statedStreamEnd(w) - timelineOrigin(written.get());
            const double se = statedStreamEnd(s) - timelineOrigin(original.get());
            if (std::isfinite(se) && !(std::fabs(we - se) <= truncationTolerance))
                throw VerificationMismatch{QStringLiteral("video ends at %1s, expected %2s")
                                               .arg(describeNumber(we), describeNumber(se))};
        }

        const auto writtenAudio = audioStreams(written.get());
        if (writtenAudio.size() != 1)
            throw VerificationMismatch{QStringLiteral("audio track count %1, expected 1").arg(writtenAudio.size())};
        const auto cleanAudio = audioStreams(clean.get());
        if (cleanAudio.empty() || writtenAudio.front()->codecpar->codec_id != cleanAudio.front()->codecpar->codec_id)
            throw VerificationMismatch{QStringLiteral("soundtrack is not the clean track's format")};

        // The clean soundtrack sits where it states, or (starting at zero) where the source's
        // sound starts; the written soundtrack lasts as long, up to the source's end.
        const auto sourceAudio = audioStreams(original.get());
        const double sourceSoundStart = sourceAudio.empty() ? 0.0 : streamStart(original.get(), sourceAudio.front());
        const SoundSpan cleanSpan = soundSpan(clean.get(), cleanAudio.front());
        const double placement = cleanSpan.start > soundStartEpsilon ? cleanSpan.start : sourceSoundStart;

        const double v = timelineLength(original.get());
        const double c = cleanSpan.length;
        const double d = durationSeconds(written.get());
        const AVStream* a = writtenAudio.front();
        const double s = a->duration != AV_NOPTS_VALUE ? a->duration * av_q2d(a->time_base) : NAN;
        const double e = c < v - placement ? c : v - placement;
        const bool pass = std::isfinite(d) && std::isfinite(s) && placement + e <= d + 0.25 && std::fabs(s - e) <= 0.25;
        if (!pass)
            throw VerificationMismatch{QStringLiteral("duration %1s, soundtrack %2s, expected %3s")
                                           .arg(describeNumber(d), describeNumber(s), describeNumber(e))};
        // Wherever the clean soundtrack said it starts, the written one must start with the
        // source's sound.
        const double w = streamStart(written.get(), a);
        if (!(std::fabs(w - sourceSoundStart) <= soundStartTolerance(a)))
            throw VerificationMismatch{QStringLiteral("soundtrack starts at %1s, expected %2s")
                                           .arg(describeNumber(w), describeNumber(sourceSoundStart))};
    } catch (const VerificationMismatch& mismatch) {
        qCCritical(lcVideoDemuxerMuxer, "Export verification failed for %s: %s", qUtf8Printable(name),
                   qUtf8Printable(mismatch.detail));
        throw MediaError(MediaError::Case::verificationFailed);
    } catch (const std::exception& error) {
        qCCritical(lcVideoDemuxerMuxer, "Export verification could not read %s: %s", qUtf8Printable(name),
                   qUtf8Printable(describe(error)));
        throw MediaError(MediaError::Case::verificationFailed);
    }
}

} // namespace hf
