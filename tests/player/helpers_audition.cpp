#include "helpers_audition.h"

#include <QFile>
#include <QProcess>
#include <QTest>
#include <QtEndian>

#include <cmath>

namespace hf::test {

float fixtureLevel(AuditionTrackMode mode)
{
    switch (mode) {
    case AuditionTrackMode::hushframed: return 0.1f;
    case AuditionTrackMode::original: return 0.2f;
    case AuditionTrackMode::isolatedMusic: return 0.3f;
    case AuditionTrackMode::isolatedDialogue: return 0.4f;
    case AuditionTrackMode::isolatedEffects: return 0.5f;
    }
    return 0;
}

bool writeWav(const QString& path, double seconds, const std::function<void(qint64, float*)>& frame, int rate)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const quint32 frames = quint32(std::llround(seconds * rate));
    const quint32 dataBytes = frames * 2 * 4;
    QByteArray header;
    auto u32 = [&](quint32 v) { header.append(reinterpret_cast<const char*>(&(v = qToLittleEndian(v))), 4); };
    auto u16 = [&](quint16 v) { header.append(reinterpret_cast<const char*>(&(v = qToLittleEndian(v))), 2); };
    header.append("RIFF");
    u32(36 + dataBytes);
    header.append("WAVEfmt ");
    u32(16);
    u16(3);   // IEEE float
    u16(2);
    u32(quint32(rate));
    u32(quint32(rate) * 8);
    u16(8);
    u16(32);
    header.append("data");
    u32(dataBytes);
    file.write(header);
    std::vector<float> block;
    for (quint32 start = 0; start < frames; start += 65536) {
        const quint32 n = std::min<quint32>(65536, frames - start);
        block.resize(size_t(n) * 2);
        for (quint32 i = 0; i < n; ++i)
            frame(qint64(start) + i, &block[2 * i]);
        file.write(reinterpret_cast<const char*>(block.data()), qint64(block.size() * sizeof(float)));
    }
    return file.error() == QFile::NoError;
}

bool writeTrackWav(const QString& path, double seconds, float level, int rate)
{
    return writeWav(
        path, seconds,
        [level](qint64 n, float* out) {
            out[0] = level;
            out[1] = float(double(n) * indexScale);
        },
        rate);
}

AuditionFiles makeTrackFiles(const QString& folder, double seconds, const QString& video)
{
    AuditionFiles files;
    files.video = video;
    files.duration = seconds;
    const std::pair<AuditionTrackMode, QString*> tracks[] = {
        {AuditionTrackMode::hushframed, &files.clean},        {AuditionTrackMode::original, &files.original},
        {AuditionTrackMode::isolatedMusic, &files.music},     {AuditionTrackMode::isolatedDialogue, &files.dialogue},
        {AuditionTrackMode::isolatedEffects, &files.effects},
    };
    for (const auto& [mode, path] : tracks) {
        *path = folder + QLatin1Char('/') + rawValue(mode).replace(QLatin1Char(' '), QLatin1Char('-')) + QStringLiteral(".wav");
        if (!writeTrackWav(*path, seconds, fixtureLevel(mode)))
            path->clear();
    }
    return files;
}

bool runFfmpeg(const QStringList& args)
{
    QProcess process;
    process.start(QStringLiteral("ffmpeg"), QStringList{"-v", "error", "-nostdin", "-y"} + args);
    if (!process.waitForFinished(60000) || process.exitCode() != 0) {
        qWarning("ffmpeg failed: %s", process.readAllStandardError().constData());
        return false;
    }
    return true;
}

bool makeCountingMovie(const QString& path, double seconds, int fps, const QStringList& extraArgs)
{
    const QString source = QStringLiteral("nullsrc=s=64x48:r=%1:d=%2,format=gray,geq=lum='16+8*N'")
                               .arg(fps)
                               .arg(seconds);
    return runFfmpeg(QStringList{"-f", "lavfi", "-i", source, "-c:v", "libx264", "-qp", "0", "-pix_fmt", "yuv420p",
                                 "-g", "8"}
                     + extraArgs + QStringList{path});
}

std::vector<float> collect(NullAudioOutput& output, qint64 frames, int timeoutMs)
{
    std::vector<float> out;
    const int channels = output.channels();
    out.reserve(size_t(frames) * channels);
    (void)QTest::qWaitFor(
        [&] {
            // Pull as long as the decoders keep up; wait for them when they do not.
            for (;;) {
                const qint64 wanted = frames - qint64(out.size()) / channels;
                if (wanted <= 0)
                    return true;
                qint64 played = 0;
                const auto block = output.pull(std::min<qint64>(wanted, 1024), &played);
                out.insert(out.end(), block.begin(), block.begin() + played * channels);
                if (played == 0)
                    return false;
            }
        },
        timeoutMs);
    return out;
}

qint64 frameCount(const std::vector<float>& buffer) { return qint64(buffer.size() / 2); }

Heard heardAt(const std::vector<float>& buffer, qint64 frame)
{
    const double raw = double(buffer[size_t(frame) * 2 + 1]) / indexScale;
    return Heard{buffer[size_t(frame) * 2], std::llround(raw), raw};
}

bool consecutive(const std::vector<float>& buffer, qint64 from, int64_t firstIndex, QString* why)
{
    for (qint64 f = from; f < frameCount(buffer); ++f) {
        const Heard heard = heardAt(buffer, f);
        if (heard.index != firstIndex + (f - from) || std::abs(heard.rawIndex - double(heard.index)) > 0.2) {
            if (why)
                *why = QStringLiteral("frame %1 carries index %2, expected %3")
                           .arg(f)
                           .arg(heard.rawIndex, 0, 'f', 3)
                           .arg(firstIndex + (f - from));
            return false;
        }
    }
    return true;
}

} // namespace hf::test
