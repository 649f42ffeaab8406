#include "helpers_media.h"

#include <QFile>
#include <QJsonDocument>
#include <QtEndian>
#include <QProcess>

#include <cstring>

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
