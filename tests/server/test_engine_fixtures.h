#pragma once

// Synthetic fixtures for the audio engine's tests: speech from espeak-ng, sustained chords, noise
// bursts and little melodies, all made at test time; WAV writing; decoding through the ffmpeg
// program (a reader independent of the engine).

#include "engine/engine.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTest>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
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

// With the environment variable `variable` set to a folder, keeps a case's mix, true parts and
// stems there as WAV files, in a folder named after the case: mix.wav, dialogue.wav, music.wav,
// effects.wav and stem-<part>.wav, for scoring them by other means (tests/server/mask_bounds.py).
inline void dumpCase(const char* variable, const QString& name, int rate, const Signal& mix,
                     const std::array<Signal, 3>& parts, const std::array<Signal, 3>& stems)
{
    const QString root = qEnvironmentVariable(variable);
    if (root.isEmpty())
        return;
    QDir folder(root + "/" + QString(name).replace(QRegularExpression("[^A-Za-z0-9.]+"), "-"));
    QVERIFY(folder.mkpath("."));
    QVERIFY(writeWav(folder.filePath("mix.wav"), mix, rate));
    const char* names[] = {"dialogue", "music", "effects"};
    for (int s = 0; s < 3; ++s) {
        QVERIFY(writeWav(folder.filePath(QString(names[s]) + ".wav"), parts[s], rate));
        QVERIFY(writeWav(folder.filePath(QString("stem-") + names[s] + ".wav"), stems[s], rate));
    }
}

// Decodes any file with the ffmpeg program to float samples at `rate` with `channels` channels
// (0: keep the file's), with `inputOptions` before the input (a format, a start, a length).
// Empty on failure.
inline Signal decode(const QString& path, int channels, int rate = 0, const QStringList& inputOptions = {})
{
    QStringList args = QStringList{"-v", "error", "-nostdin"} + inputOptions + QStringList{"-i", path};
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


// ---- A film-like soundtrack: a score, dialogue lines with pauses, and everyday effects ----

// One-pole low-pass filter, in place.
inline void lowPass(std::vector<float>& x, int rate, double hz)
{
    const double a = 1 - std::exp(-2 * std::numbers::pi * hz / rate);
    double y = 0;
    for (float& v : x)
        v = float(y += a * (v - y));
}

// Dialogue: lines of espeak-ng speech in one voice with pauses between them, mono at `rate`.
// `variant` picks the sentences (0 or 1), so that two sets never share a line.
inline std::vector<float> dialogueLines(const QString& folder, double seconds, int rate, const QString& voice,
                                        int variant, unsigned seed)
{
    static const char* sentences[2][6] = {
        {"I told you the car would be waiting by the gate.", "Where were you last night when the lights went out?",
         "Keep your voice down, somebody is listening.", "We have ten minutes before the guards change.",
         "That is not what she said to me this morning.", "Open the door slowly and do not look back."},
        {"The harbour was empty by the time we got there.", "Do you really think he will come back for the money?",
         "Put the phone down and listen to me for once.", "It was raining so hard we could barely see the road.",
         "Nobody leaves this room until I find out who did it.", "Tell them I will be there before the sun comes up."},
    };
    std::mt19937 random(seed);
    std::vector<float> out(std::size_t(0.8 * rate), 0.0f);
    for (int i = 0; out.size() < std::size_t(seconds * rate); ++i) {
        const QString wav = folder + QStringLiteral("/line-%1-%2.wav").arg(variant).arg(i);
        const int speed = 140 + int(random() % 30);
        if (!run("espeak-ng", {"-v", voice, "-s", QString::number(speed), "-w", wav, sentences[variant % 2][i % 6]}))
            return {};
        const Signal s = decode(wav, 1, rate);
        if (s.empty())
            return {};
        out.insert(out.end(), s[0].begin(), s[0].end());
        out.insert(out.end(), std::size_t((0.8 + (random() % 150) / 100.0) * rate), 0.0f); // the pause after a line
    }
    out.resize(std::size_t(seconds * rate));
    return out;
}

// A decaying sound added at `start` into the channels with their gains.
template <typename Fn>
void addSound(Signal& out, int rate, double start, double length, std::initializer_list<double> gains, Fn sample)
{
    const auto first = std::size_t(std::max(0.0, start) * rate);
    const auto count = std::size_t(length * rate);
    for (std::size_t i = 0; i < count && first + i < out[0].size(); ++i) {
        const float v = float(sample(double(i) / rate, i));
        std::size_t c = 0;
        for (double g : gains)
            if (c < out.size())
                out[c++][first + i] += float(v * g);
    }
}

// A film score of its own for each seed: a drum kit, a bass line, a brass melody in the middle of
// the speech band and sustained strings, all on one tempo. Drums, bass and brass sit in the centre,
// the strings are spread to the sides.
// `only` picks instruments (bits: drums, bass, brass, strings) for measuring them one by one.
inline Signal filmScore(int rate, double seconds, unsigned seed, unsigned only = ~0u)
{
    Signal out = silence(2, std::size_t(seconds * rate));
    Signal scratch = out; // where the instruments left out play, so that the others stay the same
    std::mt19937 random(seed * 7717u + 3u);
    std::normal_distribution<double> noise(0.0, 1.0);
    const double beat = 60.0 / (88 + random() % 40);
    const double key = 1.0 + (random() % 5) * 0.06;
    const double pi2 = 2 * std::numbers::pi;
    // Drum kit: kick on 1 and 3, snare on 2 and 4, closed hi-hat on every half beat.
    for (int b = 0; b * beat < seconds; ++b) {
        const double t = b * beat;
        Signal& drums = only & 1 ? out : scratch;
        if (b % 2 == 0)
            addSound(drums, rate, t, 0.35, {0.9, 0.9}, [&, phase = 0.0](double s, std::size_t) mutable {
                phase += pi2 * (45 + 75 * std::exp(-s / 0.03)) / rate;
                return std::sin(phase) * std::exp(-s / 0.12);
            });
        else {
            std::vector<float> burst(std::size_t(0.25 * rate));
            for (float& v : burst)
                v = float(noise(random));
            lowPass(burst, rate, 5000);
            addSound(drums, rate, t, 0.25, {0.55, 0.55}, [&](double s, std::size_t i) {
                return (burst[i] * 0.8 + std::sin(pi2 * 185 * s)) * std::exp(-s / 0.07);
            });
        }
        for (int h = 0; h < 2; ++h) {
            double last = 0;
            addSound(drums, rate, t + h * beat / 2, 0.08, {0.18, 0.22}, [&](double s, std::size_t) {
                const double x = noise(random), y = x - last; // a crude high-pass
                last = x;
                return y * std::exp(-s / 0.02);
            });
        }
    }
    // Bass: a plucked note on every beat, a two-bar pattern over the key's low notes.
    const double bassNotes[] = {55.0, 55.0, 65.4, 73.4, 49.0, 49.0, 61.7, 73.4};
    const int pattern = int(random() % 3);
    for (int b = 0; b * beat < seconds; ++b) {
        const double hz = bassNotes[(b + pattern) % 8] * key;
        addSound(only & 2 ? out : scratch, rate, b * beat, beat, {0.7, 0.7}, [&](double s, std::size_t) {
            double v = 0;
            for (int h = 1; h <= 6; ++h)
                v += std::sin(pi2 * hz * h * s) / (h * h * 0.5 + 0.5);
            return v * std::min(1.0, s / 0.005) * std::exp(-s / 0.5) * std::min(1.0, (beat - s) / 0.02);
        });
    }
    // Brass: a legato melody in the centre, 200 to 520 Hz, with vibrato and bright harmonics.
    const double steps[] = {1.0, 9.0 / 8, 5.0 / 4, 4.0 / 3, 3.0 / 2, 5.0 / 3, 15.0 / 8, 2.0};
    for (double t = 0; t < seconds;) {
        const double length = beat * (1 + random() % 3);
        const double hz = 220 * key * steps[random() % 8] * (random() % 4 == 0 ? 1.2 : 1.0);
        if (random() % 5 != 0)
            addSound(only & 4 ? out : scratch, rate, t, length, {0.35, 0.35}, [&, phase = 0.0](double s, std::size_t) mutable {
                phase += pi2 * hz * (1 + 0.006 * std::sin(pi2 * 5.2 * s) * std::min(1.0, s / 0.3)) / rate;
                double v = 0;
                for (int h = 1; h <= 10; ++h)
                    v += std::sin(h * phase) * std::exp(-0.25 * h);
                return v * std::min({1.0, s / 0.04, (length - s) / 0.05});
            });
        t += length;
    }
    // Strings: sustained chords that change every two bars, each voice to one side.
    const double roots[] = {130.8, 146.8, 164.8, 174.6, 196.0};
    for (double t = 0; t < seconds; t += 8 * beat) {
        const double root = roots[random() % 5] * key;
        const double voices[] = {root, root * 1.25, root * 1.5, root * 2};
        const double length = std::min(8 * beat, seconds - t);
        for (int v = 0; v < 4; ++v) {
            const double left = v % 2 ? 0.25 : 1.0, right = v % 2 ? 1.0 : 0.25;
            const double rateHz = 5 + 0.4 * v;
            addSound(only & 8 ? out : scratch, rate, t, length, {left * 0.25, right * 0.25}, [&, phase = 0.0](double s, std::size_t) mutable {
                phase += pi2 * voices[v] * (1 + 0.004 * std::sin(pi2 * rateHz * s)) / rate;
                double x = 0;
                for (int h = 1; h <= 8; ++h)
                    x += std::sin(h * phase) / h;
                return x * std::min({1.0, s / 0.3, (length - s) / 0.3});
            });
        }
    }
    return out;
}

// Everyday effects for each seed: footsteps in the centre, door slams, a passing car, rain, gusts
// of wind and a ringing phone, each at its own moments.
// `only` picks sounds (bits: rain, footsteps, doors, car, wind, phone) for measuring them one by one.
inline Signal filmEffects(int rate, double seconds, unsigned seed, unsigned only = ~0u)
{
    Signal all = silence(2, std::size_t(seconds * rate)), scratch = all;
    Signal* out = &all;
    std::mt19937 random(seed * 104729u + 11u);
    std::normal_distribution<double> noise(0.0, 1.0);
    const double pi2 = 2 * std::numbers::pi;
    auto noiseBuffer = [&](double length, double lowPassHz) {
        std::vector<float> b(std::size_t(length * rate) + 1);
        for (float& v : b)
            v = float(noise(random));
        if (lowPassHz > 0)
            lowPass(b, rate, lowPassHz);
        return b;
    };
    out = &(only & 1 ? all : scratch);
    // Rain throughout: soft hiss, different in each channel, with droplets.
    {
        std::vector<float> l = noiseBuffer(seconds, 0), r = noiseBuffer(seconds, 0);
        for (std::size_t i = 1; i < l.size() && i < (*out)[0].size(); ++i) {
            (*out)[0][i] += 0.05f * (l[i] - l[i - 1]);
            (*out)[1][i] += 0.05f * (r[i] - r[i - 1]);
        }
        for (double t = 0; t < seconds; t += 0.02 + (random() % 100) / 1000.0) {
            const double pan = (random() % 100) / 100.0;
            const double hz = 2500 + random() % 3000;
            addSound(*out, rate, t, 0.01, {0.08 * (1 - pan), 0.08 * pan},
                     [&](double s, std::size_t) { return std::sin(pi2 * hz * s) * std::exp(-s / 0.002); });
        }
    }
    out = &(only & 2 ? all : scratch);
    // Footsteps: a walk of eight steps every few seconds, in the centre.
    for (double t = 1.0 + random() % 3; t < seconds - 4; t += 9 + random() % 4) {
        for (int step = 0; step < 8; ++step) {
            const std::vector<float> b = noiseBuffer(0.12, 1500);
            addSound(*out, rate, t + step * 0.52, 0.12, {1.2, 1.2}, [&](double s, std::size_t i) {
                return (b[i] * 2 + 0.6 * std::sin(pi2 * 90 * s)) * std::exp(-s / 0.025);
            });
        }
    }
    out = &(only & 4 ? all : scratch);
    // Door slams.
    for (double t = 3.0 + random() % 4; t < seconds - 1; t += 7 + random() % 5) {
        const std::vector<float> b = noiseBuffer(0.6, 3000);
        addSound(*out, rate, t, 0.6, {0.9, 0.6}, [&](double s, std::size_t i) {
            return (b[i] * 1.6 * std::exp(-s / 0.05) + std::sin(pi2 * 62 * s) * std::exp(-s / 0.15));
        });
    }
    out = &(only & 8 ? all : scratch);
    // A passing car: engine hum and tyre noise that swell and fade as it pans across.
    for (double t = 2.0 + random() % 5; t < seconds - 6; t += 14 + random() % 6) {
        const std::vector<float> b = noiseBuffer(6, 700);
        const double fromLeft = random() % 2;
        for (std::size_t i = 0; i < std::size_t(6 * rate) && std::size_t(t * rate) + i < (*out)[0].size(); ++i) {
            const double s = double(i) / rate, closeness = std::exp(-std::pow((s - 3) / 1.2, 2));
            const double hz = 38 * (s < 3 ? 1.06 : 0.94);
            const double v = (b[i] * 3 + 0.3 * std::sin(pi2 * hz * s) + 0.15 * std::sin(pi2 * 2 * hz * s)) * closeness;
            const double pan = std::clamp((s - 1.5) / 3, 0.0, 1.0);
            const double toLeft = fromLeft ? 1 - pan : pan;
            (*out)[0][std::size_t(t * rate) + i] += float(v * (0.2 + 0.8 * toLeft) * 0.5);
            (*out)[1][std::size_t(t * rate) + i] += float(v * (1.0 - 0.8 * toLeft) * 0.5);
        }
    }
    out = &(only & 16 ? all : scratch);
    // Gusts of wind: low rumbling noise that rises and falls over a few seconds.
    for (double t = random() % 4; t < seconds - 4; t += 8 + random() % 8) {
        const std::vector<float> l = noiseBuffer(4, 300), r = noiseBuffer(4, 300);
        for (std::size_t i = 0; i < l.size() - 1 && std::size_t(t * rate) + i < (*out)[0].size(); ++i) {
            const double s = double(i) / rate, gust = std::pow(std::sin(std::numbers::pi * s / 4), 2);
            (*out)[0][std::size_t(t * rate) + i] += float(l[i] * 4 * gust);
            (*out)[1][std::size_t(t * rate) + i] += float(r[i] * 4 * gust);
        }
    }
    out = &(only & 32 ? all : scratch);
    // A ringing phone: two bursts of a bell struck twenty times a second, off to one side.
    for (double t = 4.0 + random() % 6; t < seconds - 4; t += 12 + random() % 6) {
        const double f1 = 1100 + random() % 300, f2 = f1 * 1.47;
        for (int ring = 0; ring < 2 && t + ring * 3 < seconds - 2; ++ring)
            addSound(*out, rate, t + ring * 3, 1.6, {0.25, 0.7}, [&](double s, std::size_t) {
                const double strike = std::fmod(s, 0.05);
                return (std::sin(pi2 * f1 * s) + 0.7 * std::sin(pi2 * f2 * s)) * (0.4 + 0.6 * std::exp(-strike / 0.012)) *
                       std::min({1.0, s / 0.01, (1.6 - s) / 0.01});
            });
    }
    return all;
}

// Shares of each source's power that went to each stem: a separation by time-frequency masks
// scales every bin of every source by the same gain, and that gain per stem is read off the stem
// against the mix (frames of 4096 samples). Row: source; column: stem.
class StemShares {
public:
    static constexpr int kN = 4096;

    static void fft(std::vector<std::complex<double>>& a)
    {
        const std::size_t n = a.size();
        for (std::size_t i = 1, j = 0; i < n; ++i) {
            std::size_t bit = n >> 1;
            for (; j & bit; bit >>= 1)
                j ^= bit;
            j ^= bit;
            if (i < j)
                std::swap(a[i], a[j]);
        }
        for (std::size_t len = 2; len <= n; len <<= 1) {
            const std::complex<double> w = std::polar(1.0, -2 * std::numbers::pi / double(len));
            for (std::size_t i = 0; i < n; i += len) {
                std::complex<double> wk = 1;
                for (std::size_t k = 0; k < len / 2; ++k, wk *= w) {
                    const auto u = a[i + k], v = a[i + k + len / 2] * wk;
                    a[i + k] = u + v;
                    a[i + k + len / 2] = u - v;
                }
            }
        }
    }

    // shares[source][stem] as fractions of the source's power (stems may hold a sum of stems).
    // Frames half a frame apart are enough for shares; two real signals share one transform.
    static std::vector<std::vector<double>> measure(const Signal& mix, const std::vector<Signal>& stems,
                                                    const std::vector<Signal>& sources)
    {
        std::vector<const Signal*> all{&mix};
        for (const auto& s : stems)
            all.push_back(&s);
        for (const auto& s : sources)
            all.push_back(&s);
        std::vector<std::vector<double>> leaked(sources.size(), std::vector<double>(stems.size(), 0.0));
        std::vector<double> total(sources.size(), 0.0);
        std::vector<std::vector<std::complex<double>>> spectra(all.size(), std::vector<std::complex<double>>(kN / 2 + 1));
        std::vector<double> window(kN);
        for (int i = 0; i < kN; ++i)
            window[i] = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * i / kN);
        for (std::size_t c = 0; c < mix.size(); ++c)
            for (std::size_t start = 0; start + kN <= mix[c].size(); start += kN / 2) {
                for (std::size_t a = 0; a < all.size(); a += 2) {
                    std::vector<std::complex<double>> z(kN);
                    for (int i = 0; i < kN; ++i)
                        z[i] = {window[i] * (*all[a])[c][start + i], a + 1 < all.size() ? window[i] * (*all[a + 1])[c][start + i] : 0.0};
                    fft(z);
                    for (int k = 0; k <= kN / 2; ++k) {
                        const auto zk = z[k], zn = std::conj(z[(kN - k) % kN]);
                        spectra[a][k] = 0.5 * (zk + zn);
                        if (a + 1 < all.size())
                            spectra[a + 1][k] = std::complex<double>(0, -0.5) * (zk - zn);
                    }
                }
                const auto& x = spectra[0];
                for (int k = 0; k <= kN / 2; ++k) {
                    const double power = std::norm(x[k]);
                    for (std::size_t i = 0; i < sources.size(); ++i) {
                        const double p = std::norm(spectra[1 + stems.size() + i][k]);
                        total[i] += p;
                        if (power < 1e-12)
                            continue;
                        for (std::size_t j = 0; j < stems.size(); ++j) {
                            const double g = std::clamp((spectra[1 + j][k] * std::conj(x[k])).real() / power, 0.0, 1.0);
                            leaked[i][j] += g * g * p;
                        }
                    }
                }
            }
        for (std::size_t i = 0; i < sources.size(); ++i)
            for (double& v : leaked[i])
                v = total[i] > 0 ? v / total[i] : 0;
        return leaked;
    }
};

inline Signal sum(const Signal& a, const Signal& b)
{
    Signal out = a;
    addInto(out, b);
    return out;
}

} // namespace hf::test::fixtures
