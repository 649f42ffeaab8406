#include "helpers_media.h"

#include "pipeline/media_error.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QtEndian>
#include <QProcess>

#include <cmath>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

namespace hf::test {

QByteArray runProgram(const QString& program, const QStringList& args)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(program, args);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        qWarning("%s failed: %s", qPrintable(program), process.readAllStandardError().right(2000).constData());
        return {};
    }
    QByteArray out = process.readAllStandardOutput();
    return out.isEmpty() ? QByteArray(" ") : out;
}

bool ffmpeg(const QStringList& args)
{
    return !runProgram(QStringLiteral("ffmpeg"), QStringList{"-v", "error", "-nostdin", "-y"} + args).isEmpty();
}

QJsonObject probe(const QString& path)
{
    const QByteArray out = runProgram(QStringLiteral("ffprobe"),
                                      {"-v", "error", "-print_format", "json", "-show_streams", "-show_format", path});
    return QJsonDocument::fromJson(out).object();
}

QStringList streamTypes(const QJsonObject& probed)
{
    QStringList types;
    for (const auto& s : probed.value("streams").toArray())
        types << s.toObject().value("codec_type").toString() + u':' + s.toObject().value("codec_name").toString();
    return types;
}

QString exportFailureOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const MediaError& e) {
        if (e.errorCase() == MediaError::Case::exportFailed)
            return e.message();
        return QStringLiteral("case %1").arg(int(e.errorCase()));
    }
    return QStringLiteral("no error");
}

QJsonArray probeStreams(const QString& path, const QString& type)
{
    QJsonArray out;
    for (const auto& s : probe(path).value("streams").toArray())
        if (type.isEmpty() || s.toObject().value("codec_type").toString() == type)
            out.append(s);
    return out;
}

double probeDuration(const QString& path)
{
    return probe(path).value("format").toObject().value("duration").toString().toDouble();
}

qint64 packetCount(const QString& path, const QString& stream)
{
    const QByteArray out = runProgram(QStringLiteral("ffprobe"),
                                      {"-v", "error", "-select_streams", stream, "-count_packets", "-show_entries",
                                       "stream=nb_read_packets", "-of", "csv=p=0", path});
    return out.trimmed().toLongLong();
}

QByteArray packetHash(const QString& path, const QString& stream)
{
    return runProgram(QStringLiteral("ffmpeg"), {"-v", "error", "-nostdin", "-i", path, "-map", "0:" + stream,
                                                 "-c", "copy", "-f", "md5", "-"})
        .trimmed();
}

std::vector<float> decodeSamples(const QString& path, int* channels, int* rate)
{
    const QJsonArray audio = probeStreams(path, "audio");
    if (audio.isEmpty())
        return {};
    const QJsonObject s = audio.first().toObject();
    if (channels)
        *channels = s.value("channels").toInt();
    if (rate)
        *rate = s.value("sample_rate").toString().toInt();
    const QByteArray raw = runProgram(QStringLiteral("ffmpeg"), {"-v", "error", "-nostdin", "-i", path, "-map", "0:a:0",
                                                                 "-f", "f32le", "-c:a", "pcm_f32le", "-"});
    std::vector<float> samples(size_t(raw.size()) / sizeof(float));
    if (!samples.empty())
        std::memcpy(samples.data(), raw.constData(), samples.size() * sizeof(float));
    return samples;
}

std::optional<ExtractedAudio> makeSoundtrack(const QString& folder, double seconds)
{
    const QString movie = QDir(folder).filePath(QStringLiteral("movie.mp4"));
    if (!makeMovie(movie, seconds))
        return std::nullopt;
    return VideoDemuxerMuxer::extractSoundtrack(QUrl::fromLocalFile(movie),
                                                QUrl::fromLocalFile(QDir(folder).filePath(QStringLiteral("Work"))),
                                                std::nullopt);
}

bool makeMovie(const QString& path, double seconds, const QStringList& extraArgs)
{
    const QString d = QString::number(seconds);
    return ffmpeg(QStringList{"-f", "lavfi", "-i", "testsrc=size=320x240:rate=24:duration=" + d, "-f", "lavfi", "-i",
                              "sine=frequency=440:sample_rate=48000:duration=" + d, "-c:v", "libx264", "-preset",
                              "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "128k"}
                  + extraArgs + QStringList{path});
}

bool makeTone(const QString& path, double seconds, int rate, int channels, const QString& expression,
              const QStringList& codecArgs)
{
    QStringList exprs;
    for (int c = 0; c < channels; ++c)
        exprs << expression;
    return ffmpeg(QStringList{"-f", "lavfi", "-i",
                              QStringLiteral("aevalsrc=%1:s=%2:d=%3").arg(exprs.join('|')).arg(rate).arg(seconds)}
                  + codecArgs + QStringList{path});
}

bool makeBeeps(const QString& path, double seconds, const QStringList& codecArgs)
{
    return ffmpeg(QStringList{"-f", "lavfi", "-i",
                              QStringLiteral("aevalsrc='if(lt(mod(t,1),0.05),0.8*sin(2*PI*1000*t),0)':s=48000:d=%1")
                                  .arg(seconds)}
                  + codecArgs + QStringList{path});
}

bool makePicture(const QString& path, double seconds)
{
    return ffmpeg({"-f", "lavfi", "-i", QStringLiteral("testsrc=size=160x120:rate=25:duration=%1").arg(seconds),
                   "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", "25", path});
}

std::vector<double> beepTimes(const QString& path)
{
    std::vector<double> times;
    AVFormatContext* input = nullptr;
    if (avformat_open_input(&input, QFile::encodeName(path).constData(), nullptr, nullptr) < 0)
        return times;
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> closer(input, [](AVFormatContext* c) {
        avformat_close_input(&c);
    });
    if (avformat_find_stream_info(input, nullptr) < 0)
        return times;
    const int audio = av_find_best_stream(input, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    const int video = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (audio < 0)
        return times;
    double zero = 0;
    if (video >= 0 && input->streams[video]->start_time != AV_NOPTS_VALUE)
        zero = input->streams[video]->start_time * av_q2d(input->streams[video]->time_base);

    AVStream* stream = input->streams[audio];
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    AVCodecContext* decoder = avcodec_alloc_context3(codec);
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> decoderCloser(decoder, [](AVCodecContext* c) {
        avcodec_free_context(&c);
    });
    avcodec_parameters_to_context(decoder, stream->codecpar);
    decoder->pkt_timebase = stream->time_base;
    if (avcodec_open2(decoder, codec, nullptr) < 0)
        return times;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    // Every sample's time and loudness (the files are a few seconds long); then the beeps are
    // found against the loudest sample, so a softer mix still shows them.
    std::vector<std::pair<double, float>> samples;
    auto scan = [&] {
        while (avcodec_receive_frame(decoder, frame) == 0) {
            const int64_t ts = frame->best_effort_timestamp;
            const double t0 = ts == AV_NOPTS_VALUE ? 0.0 : ts * av_q2d(stream->time_base);
            const int channels = frame->ch_layout.nb_channels;
            for (int i = 0; i < frame->nb_samples; ++i) {
                double v = 0;
                for (int c = 0; c < channels; ++c) {
                    double x = 0;
                    switch (frame->format) {
                    case AV_SAMPLE_FMT_FLTP: x = reinterpret_cast<const float*>(frame->extended_data[c])[i]; break;
                    case AV_SAMPLE_FMT_FLT: x = reinterpret_cast<const float*>(frame->data[0])[i * channels + c]; break;
                    case AV_SAMPLE_FMT_S16P: x = reinterpret_cast<const int16_t*>(frame->extended_data[c])[i] / 32768.0; break;
                    case AV_SAMPLE_FMT_S16: x = reinterpret_cast<const int16_t*>(frame->data[0])[i * channels + c] / 32768.0; break;
                    case AV_SAMPLE_FMT_S32P: x = reinterpret_cast<const int32_t*>(frame->extended_data[c])[i] / 2147483648.0; break;
                    case AV_SAMPLE_FMT_S32: x = reinterpret_cast<const int32_t*>(frame->data[0])[i * channels + c] / 2147483648.0; break;
                    default: break;
                    }
                    v = std::max(v, std::fabs(x));
                }
                samples.emplace_back(t0 + double(i) / frame->sample_rate, float(v));
            }
            av_frame_unref(frame);
        }
    };
    while (av_read_frame(input, packet) >= 0) {
        if (packet->stream_index == audio && avcodec_send_packet(decoder, packet) >= 0)
            scan();
        av_packet_unref(packet);
    }
    avcodec_send_packet(decoder, nullptr);
    scan();
    av_frame_free(&frame);
    av_packet_free(&packet);

    float peak = 0;
    for (const auto& s : samples)
        peak = std::max(peak, s.second);
    double lastLoud = -1e9;
    for (const auto& [t, v] : samples) {
        if (v > 0.5f * peak) {
            if (t - lastLoud > 0.3)
                times.push_back(t - zero);
            lastLoud = t;
        }
    }
    return times;
}

bool rotateFirstTrack(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    QByteArray data = file.readAll();
    const qsizetype type = data.indexOf("tkhd");
    if (type < 4 || data.at(type + 4) != 0)   // version 0 headers only
        return false;
    const qint32 matrix[9] = {0, 0x10000, 0, -0x10000, 0, 0, 0, 0, 0x40000000};
    qsizetype at = type - 4 + 48;
    for (qint32 v : matrix) {
        qToBigEndian(v, data.data() + at);
        at += 4;
    }
    return file.seek(0) && file.write(data) == data.size();
}

} // namespace hf::test
