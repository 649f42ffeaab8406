#pragma once

// Synthetic fixtures for the audio engine's tests: speech from espeak-ng, sustained chords, noise
// bursts and little melodies, all made at test time; WAV writing; decoding through the ffmpeg
// program (a reader independent of the engine).

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

namespace hf::test::fixtures {

// Interleaved-free stereo or mono signal: one vector per channel.
using Signal = std::vector<std::vector<float>>;

inline Signal silence(int channels, std::size_t frames) { return Signal(channels, std::vector<float>(frames, 0.0f)); }

inline bool run(const QString& program, const QStringList& arguments, QByteArray* output = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForStarted(10000))
        return false;
    process.closeWriteChannel();
    QByteArray data;
    while (!process.waitForFinished(100))
        data += process.readAllStandardOutput();
    data += process.readAllStandardOutput();
    if (output)
        *output = data;
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// Writes 32-bit float WAV.
inline bool writeWav(const QString& path, const Signal& signal, int rate)
{
    const auto channels = std::uint16_t(signal.size());
    const auto frames = std::uint32_t(signal[0].size());
    QByteArray data;
    auto put32 = [&](std::uint32_t v) { data.append(reinterpret_cast<const char*>(&v), 4); };
    auto put16 = [&](std::uint16_t v) { data.append(reinterpret_cast<const char*>(&v), 2); };
    const std::uint32_t bytes = frames * channels * 4;
    data.append("RIFF");
    put32(36 + bytes);
    data.append("WAVEfmt ");
    put32(16);
    put16(3); // IEEE float
    put16(channels);
    put32(std::uint32_t(rate));
    put32(std::uint32_t(rate) * channels * 4);
    put16(std::uint16_t(channels * 4));
    put16(32);
    data.append("data");
    put32(bytes);
    data.reserve(data.size() + int(bytes));
    for (std::uint32_t i = 0; i < frames; ++i)
        for (std::uint16_t c = 0; c < channels; ++c)
            data.append(reinterpret_cast<const char*>(&signal[c][i]), 4);
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// Decodes any file with the ffmpeg program to float samples at `rate` with `channels` channels
// (0: keep the file's). Empty on failure.
inline Signal decode(const QString& path, int channels, int rate = 0)
{
    QStringList args{"-v", "error", "-nostdin", "-i", path};
    if (rate > 0)
        args << "-ar" << QString::number(rate);
    args << "-ac" << QString::number(channels) << "-f" << "f32le" << "-";
    QByteArray raw;
    if (!run("ffmpeg", args, &raw))
        return {};
    const auto* samples = reinterpret_cast<const float*>(raw.constData());
    const std::size_t frames = std::size_t(raw.size()) / 4 / std::size_t(channels);
    Signal signal(channels, std::vector<float>(frames));
    for (std::size_t i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            signal[c][i] = samples[i * std::size_t(channels) + std::size_t(c)];
    return signal;
}

// Samples per channel of the first audio stream, as ffprobe counts them after decoding.
inline std::int64_t probeSamples(const QString& path)
{
    QByteArray out;
    if (!run("ffprobe", {"-v", "error", "-select_streams", "a:0", "-show_entries", "stream=duration_ts,sample_rate,channels,codec_name",
                         "-of", "default=nw=1", path},
             &out))
        return -1;
    for (const QByteArray& line : out.split('\n'))
        if (line.startsWith("duration_ts="))
            return line.mid(12).toLongLong();
    return -1;
}

inline QByteArray probeField(const QString& path, const QString& field)
{
    QByteArray out;
    if (!run("ffprobe", {"-v", "error", "-select_streams", "a:0", "-show_entries", "stream=" + field, "-of", "default=nw=1:nk=1", path}, &out))
        return {};
    return out.trimmed();
}

// Speech from espeak-ng as mono at `rate`, at least `seconds` long (sentences repeated), then cut.
inline std::vector<float> speech(const QString& folder, double seconds, int rate)
{
    static const char* sentences[] = {
        "The lighthouse keeper counted the ships as they came in from the grey sea.",
        "Nobody expected the train to arrive on time, least of all the conductor.",
        "She opened the old letter and read it twice before she said a word.",
        "We will meet again at the bridge when the bells ring at noon.",
    };
    std::vector<float> out;
    for (int i = 0; out.size() < std::size_t(seconds * rate); ++i) {
        const QString wav = folder + QStringLiteral("/speech-%1.wav").arg(i);
        if (!run("espeak-ng", {"-s", "150", "-w", wav, sentences[i % 4]}))
            return {};
        const Signal s = decode(wav, 1, rate);
        if (s.empty())
            return {};
        out.insert(out.end(), s[0].begin(), s[0].end());
        out.insert(out.end(), std::size_t(0.3 * rate), 0.0f); // a breath between sentences
    }
    out.resize(std::size_t(seconds * rate));
    return out;
}

inline double rms(const std::vector<float>& x)
{
    double sum = 0;
    for (float v : x)
        sum += double(v) * v;
    return x.empty() ? 0 : std::sqrt(sum / double(x.size()));
}

inline void scaleTo(Signal& s, double targetRms)
{
    double sum = 0;
    std::size_t n = 0;
    for (const auto& ch : s) {
        for (float v : ch)
            sum += double(v) * v;
        n += ch.size();
    }
    const double current = std::sqrt(sum / double(std::max<std::size_t>(n, 1)));
    if (current <= 0)
        return;
    for (auto& ch : s)
        for (float& v : ch)
            v = float(v * targetRms / current);
}

// A note with a few harmonics and a slow attack and release, added into `out` at `start`,
// with gains per channel (its place in the stereo picture).
inline void addNote(Signal& out, int rate, double start, double length, double hz, double left, double right,
                    double decay = 0.0)
{
    const auto first = std::size_t(start * rate);
    const auto count = std::size_t(length * rate);
    const double attack = 0.02, release = 0.05;
    for (std::size_t i = 0; i < count && first + i < out[0].size(); ++i) {
        const double t = double(i) / rate;
        double envelope = std::min({1.0, t / attack, (length - t) / release});
        if (decay > 0)
            envelope *= std::exp(-t / decay);
        double v = 0;
        for (int h = 1; h <= 4; ++h)
            v += std::sin(2 * std::numbers::pi * hz * h * t) / h;
        v *= envelope;
        out[0][first + i] += float(v * left);
        if (out.size() > 1)
            out[1][first + i] += float(v * right);
    }
}

// Sustained chords, changing every two seconds; each note sits to one side of the stereo picture.
inline Signal chords(int rate, double seconds, unsigned seed)
{
    Signal out = silence(2, std::size_t(seconds * rate));
    std::mt19937 random(seed);
    const double roots[] = {130.81, 146.83, 164.81, 174.61, 196.0, 220.0};
    const double pans[][2] = {{1.0, 0.2}, {0.2, 1.0}, {0.85, 0.3}};
    for (double t = 0; t < seconds; t += 2.0) {
        const double root = roots[random() % 6];
        const double notes[] = {root, root * 1.25, root * 1.5};
        for (int n = 0; n < 3; ++n)
            addNote(out, rate, t, std::min(2.0, seconds - t), notes[n], pans[n][0], pans[n][1]);
    }
    return out;
}

// Short bursts of noise, different in each channel, at irregular moments.
inline Signal noiseBursts(int rate, double seconds, unsigned seed)
{
    Signal out = silence(2, std::size_t(seconds * rate));
    std::mt19937 random(seed);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    for (double t = 0.4; t < seconds - 0.3; t += 0.9 + (random() % 100) / 100.0) {
        const auto first = std::size_t(t * rate);
        const auto count = std::size_t(0.2 * rate);
        for (std::size_t i = 0; i < count; ++i) {
            const double envelope = std::exp(-double(i) / (0.06 * rate));
            out[0][first + i] += float(noise(random) * envelope);
            out[1][first + i] += float(noise(random) * envelope);
        }
    }
    return out;
}

// A little tune of its own for each seed: a melody of plucked notes over a slower bass line, with
// its own scale and tempo, its notes spread across the stereo picture.
inline Signal melody(int rate, double seconds, unsigned seed)
{
    Signal out = silence(2, std::size_t(seconds * rate));
    std::mt19937 random(seed * 7919u + 17u);
    const double base = 180.0 + 37.0 * (seed % 7);
    const double beat = 0.22 + 0.05 * (seed % 5);
    const double steps[] = {1.0, 9.0 / 8, 5.0 / 4, 4.0 / 3, 3.0 / 2, 5.0 / 3, 15.0 / 8, 2.0};
    for (double t = 0; t + beat <= seconds; t += beat) {
        const double hz = base * steps[random() % 8] * ((random() % 3) == 0 ? 2.0 : 1.0);
        const bool left = random() % 2;
        addNote(out, rate, t, beat * 0.95, hz, left ? 1.0 : 0.2, left ? 0.2 : 1.0, 0.35);
    }
    for (double t = 0; t + 4 * beat <= seconds; t += 4 * beat)
        addNote(out, rate, t, 4 * beat, base / 2 * steps[random() % 5], 0.6, 0.25);
    return out;
}

inline void addInto(Signal& mix, const Signal& part, std::size_t at = 0, std::size_t from = 0)
{
    for (std::size_t c = 0; c < mix.size(); ++c) {
        const auto& src = part[std::min(c, part.size() - 1)];
        for (std::size_t i = 0; from + i < src.size() && at + i < mix[c].size(); ++i)
            mix[c][at + i] += src[from + i];
    }
}

// Signal-to-distortion ratio of an estimate against the true signal, in dB.
inline double sdr(const Signal& truth, const Signal& estimate)
{
    double signal = 0, error = 0;
    for (std::size_t c = 0; c < truth.size(); ++c)
        for (std::size_t i = 0; i < truth[c].size() && i < estimate[c].size(); ++i) {
            signal += double(truth[c][i]) * truth[c][i];
            const double d = double(truth[c][i]) - estimate[c][i];
            error += d * d;
        }
    return 10 * std::log10(signal / std::max(error, 1e-30));
}

} // namespace hf::test::fixtures
