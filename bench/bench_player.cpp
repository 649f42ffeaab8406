// The audition player on a 2-hour result (original and clean mix in AAC, three 24-bit FLAC stems):
//  1. CPU time per second of playback of all five tracks through the null output, beside the CPU
//     time `ffmpeg -i <track> -f null -` takes to decode the same span of the same five files;
//  2. the time from a seek to the first new sample played;
//  3. the time from Play to the first sound played by a sound server (a private PulseAudio with a
//     null sink, whose monitor is recorded and each sample placed on the clock), on the first Play
//     after loading and on Plays after a pause.
// Usage: bench_player [folder for the fixtures (kept between runs)] [seconds of playback]
//                     [seconds of result, 7200 by default]

#include "player/audio_player_service.h"
#include "platform/audio_output.h"
#include "support/sound_server.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <QStandardPaths>

#include <sys/resource.h>

#include <algorithm>
#include <optional>
#include <cstdio>
#include <random>

using namespace hf;
using namespace hf::test;

namespace {

// The result's length; 2 hours unless the third argument says otherwise.
double resultSeconds = 2 * 3600;

double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool run(const QString& program, const QStringList& args)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, args);
    return process.waitForFinished(-1) && process.exitCode() == 0;
}

// Makes one fixture unless it exists from an earlier run.
bool fixture(const QString& path, const QString& source, const QStringList& codec)
{
    if (QFileInfo(path).size() > 0)
        return true;
    std::printf("making %s ...\n", qPrintable(QFileInfo(path).fileName()));
    std::fflush(stdout);
    const QString part = path + QStringLiteral(".part.") + QFileInfo(path).suffix();
    const bool ok = run("ffmpeg", QStringList{"-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i", source, "-t",
                                              QString::number(resultSeconds)}
                                      + codec + QStringList{part});
    return ok && QFile::rename(part, path);
}

QString signal(double frequency, double noise)
{
    return QStringLiteral("sine=f=%1:r=48000,aformat=channel_layouts=stereo[s];anoisesrc=r=48000:a=%2,"
                          "aformat=channel_layouts=stereo[n];[s][n]amix=inputs=2")
        .arg(frequency)
        .arg(noise);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1])
                                    : QDir::temp().filePath(QStringLiteral("hf-bench-player"));
    const double playSeconds = argc > 2 ? std::atof(argv[2]) : 60.0;
    if (argc > 3)
        resultSeconds = std::max(60.0, std::atof(argv[3]));
    QDir().mkpath(folder);
    if (QStandardPaths::findExecutable("ffmpeg").isEmpty()) {
        std::printf("ffmpeg is not available\n");
        return 1;
    }

    AuditionFiles files;
    files.original = folder + "/original.m4a";
    files.clean = folder + "/clean.m4a";
    files.dialogue = folder + "/dialogue.flac";
    files.music = folder + "/music.flac";
    files.effects = folder + "/effects.flac";
    const QStringList flac{"-c:a", "flac", "-sample_fmt", "s32"};
    if (!fixture(files.original, signal(220, 0.1), {"-c:a", "aac", "-b:a", "256k"})
        || !fixture(files.clean, signal(330, 0.05), {"-c:a", "aac", "-b:a", "256k"})
        || !fixture(files.dialogue, signal(440, 0.05), flac) || !fixture(files.music, signal(550, 0.05), flac)
        || !fixture(files.effects, signal(660, 0.02), flac)) {
        std::printf("could not make the fixtures in %s\n", qPrintable(folder));
        return 1;
    }
    const QStringList tracks{files.original, files.clean, files.dialogue, files.music, files.effects};

    auto output = std::make_unique<NullAudioOutput>(NullAudioOutput::Mode::manual, 48000, 2);
    NullAudioOutput* out = output.get();
    AudioPlayerService player(std::move(output));
    QElapsedTimer loadTimer;
    loadTimer.start();
    player.load(files);
    const double loadMs = loadTimer.nsecsElapsed() / 1e6;
    std::printf("loaded 5 tracks of %.0f s in %.1f ms\n", player.totalDuration(), loadMs);

    // 1. Playback cost: pull `playSeconds` of audio from the middle of the result.
    const double start = std::min(3600.0, resultSeconds / 2);
    player.seek(start);
    player.play();
    const qint64 wanted = qint64(playSeconds * 48000);
    qint64 got = 0;
    const double cpuBefore = cpuSeconds(RUSAGE_SELF);
    QElapsedTimer wall;
    wall.start();
    while (got < wanted) {
        qint64 played = 0;
        out->pull(std::min<qint64>(1024, wanted - got), &played);
        got += played;
        if (played == 0)
            QThread::usleep(200);   // the decoders are behind: let them work
    }
    const double ours = cpuSeconds(RUSAGE_SELF) - cpuBefore;
    const double wallSeconds = wall.nsecsElapsed() / 1e9;
    player.pause();

    // ffmpeg on the same span of the same files, and once more on a tenth of a second to tell
    // its start-up (process, probing, seeking) from its decoding. None when a run failed.
    const auto ffmpegCpu = [&](double seconds) -> std::optional<double> {
        const double before = cpuSeconds(RUSAGE_CHILDREN);
        for (const QString& track : tracks)
            if (!run("ffmpeg", {"-v", "error", "-nostdin", "-ss", QString::number(start), "-t", QString::number(seconds),
                                "-i", track, "-f", "null", "-"}))
                return std::nullopt;
        return cpuSeconds(RUSAGE_CHILDREN) - before;
    };
    const std::optional<double> reference = ffmpegCpu(playSeconds);
    const std::optional<double> startup = ffmpegCpu(0.1);

    std::printf("\nplayback of all five tracks, %.0f s from %.0f s (null output, pulled as fast as decoded):\n",
                playSeconds, start);
    std::printf("  player : %.3f s CPU = %.2f%% of one core in real time (%.0fx real time on the wall)\n", ours,
                100.0 * ours / playSeconds, playSeconds / wallSeconds);
    // A reference that failed, or whose time cannot be told from nothing, gives no ratio: dividing
    // by it would print any figure at all.
    constexpr double leastMeasurable = 0.001;
    if (!reference || *reference < leastMeasurable) {
        std::printf("  ffmpeg : reference run invalid (%s), no ratio\n",
                    reference ? "no measurable CPU time" : "ffmpeg failed");
    } else {
        std::printf("  ffmpeg : %.3f s CPU = %.2f%% of one core (five `ffmpeg -ss -t -i <track> -f null -`, "
                    "process start included)\n",
                    *reference, 100.0 * *reference / playSeconds);
        std::printf("  ratio player / ffmpeg with start-up: %.2f\n", ours / *reference);
        // On a busy machine the short runs can cost as much as the long ones; the difference is
        // then no measure of the decoding.
        if (!startup || *reference - *startup < leastMeasurable) {
            std::printf("  ffmpeg without its start-up: reference run invalid (%s), no ratio\n",
                        startup ? qPrintable(QStringLiteral("five runs of 0.1 s took %1 s, the whole span %2 s")
                                                 .arg(*startup, 0, 'f', 3)
                                                 .arg(*reference, 0, 'f', 3))
                                : "ffmpeg failed");
        } else {
            const double decodingOnly = *reference - *startup;
            std::printf("  ffmpeg without its start-up (%.3f s for five runs of 0.1 s): %.3f s CPU = %.2f%% of one "
                        "core\n",
                        *startup, decodingOnly, 100.0 * decodingOnly / playSeconds);
            std::printf("  ratio player / ffmpeg without start-up: %.2f\n", ours / decodingOnly);
        }
    }

    // The same in real time, paced like a device: decoding plus the wake-ups of the output, the
    // decoders and the ticker.
    {
        AudioPlayerService paced(std::make_unique<NullAudioOutput>(NullAudioOutput::Mode::paced, 48000, 2));
        paced.load(files);
        paced.seek(start);
        const double before = cpuSeconds(RUSAGE_SELF);
        QElapsedTimer clock;
        clock.start();
        paced.play();
        QEventLoop loop;
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        loop.exec();
        const double cpu = cpuSeconds(RUSAGE_SELF) - before;
        const double played = paced.currentTime() - start;
        paced.unload();
        std::printf("  player in real time (paced null output, %.1f s played in %.1f s): %.3f s CPU = %.2f%% of one "
                    "core\n",
                    played, clock.elapsed() / 1000.0, cpu, 100.0 * cpu / (clock.elapsed() / 1000.0));
    }

    // 2. Seek latency while playing: from seek() to the first new frame played.
    std::mt19937 random(7);
    std::uniform_real_distribution<double> anywhere(0.0, resultSeconds - 10);
    player.play();
    std::vector<double> latencies;
    for (int i = 0; i < 30; ++i) {
        const double target = anywhere(random);
        QElapsedTimer timer;
        timer.start();
        player.seek(target);
        qint64 played = 0;
        while (played == 0) {
            out->pull(256, &played);
            if (played == 0)
                QThread::usleep(100);
        }
        latencies.push_back(timer.nsecsElapsed() / 1e6);
        // Play on a little, as a user listening would.
        qint64 more = 0;
        while (more < 4800) {
            qint64 n = 0;
            out->pull(1024, &n);
            more += n;
        }
    }
    player.unload();

    // 3. Start of sound: from play() to the first sample the sound server played, recorded at
    // the sink's monitor, on a private server with a null sink (the machine needs no sound card).
    // The outputs above play into nothing; the device outputs made from here on connect to the
    // private server.
    std::vector<double> firstPlays, laterPlays;
    int silentPlays = 0;
    SoundServer sound;
    QString soundServerMissing = sound.unavailable();
    if (soundServerMissing.isEmpty()) {
        sound.useInThisProcess();
        SinkRecorder recorder;
        if (!recorder.start())
            soundServerMissing = QStringLiteral("parec could not record the sink");
        const auto heardAfterPlay = [&](AudioPlayerService& service) -> std::optional<double> {
            const qint64 pressed = steadyNanoseconds();
            service.play();
            std::optional<qint64> heard;
            QElapsedTimer waited;
            waited.start();
            while (!(heard = recorder.soundAfter(pressed, 0.02)) && waited.elapsed() < 2000) {
                QCoreApplication::processEvents();
                QThread::msleep(1);
            }
            if (!heard)
                return std::nullopt;
            return double(*heard - pressed) / 1e6;
        };
        const auto playFor = [](int milliseconds) {
            QEventLoop loop;
            QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
            loop.exec();
        };
        // The first Play after each of 10 loads.
        for (int i = 0; i < 10 && soundServerMissing.isEmpty(); ++i) {
            AudioPlayerService service(AudioOutput::createDefault());
            service.load(files);
            service.seek(anywhere(random));
            playFor(500);   // the user finds the Play button
            if (const auto first = heardAfterPlay(service))
                firstPlays.push_back(*first);
            else
                ++silentPlays;
            playFor(1000);
            service.unload();
        }
        // 30 Plays after a pause on one loaded result, as a user listens through a video.
        if (soundServerMissing.isEmpty()) {
            AudioPlayerService service(AudioOutput::createDefault());
            service.load(files);
            playFor(500);
            service.play();
            for (int j = 0; j < 30; ++j) {
                playFor(1000);
                service.pause();
                playFor(500);
                if (const auto later = heardAfterPlay(service))
                    laterPlays.push_back(*later);
                else
                    ++silentPlays;
            }
            service.unload();
        }
    }
    std::sort(firstPlays.begin(), firstPlays.end());
    std::sort(laterPlays.begin(), laterPlays.end());

    std::sort(latencies.begin(), latencies.end());
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("\npeak resident memory of the whole run: %.0f MB\n", usage.ru_maxrss / 1024.0);
    std::printf("\nseek to first new sample, 30 random seeks while playing:\n");
    std::printf("  median %.1f ms, 90th percentile %.1f ms, worst %.1f ms (aim: under 50 ms)\n",
                latencies[latencies.size() / 2], latencies[latencies.size() * 9 / 10], latencies.back());
    if (!soundServerMissing.isEmpty()) {
        std::printf("\nstart of sound not measured: no sound server (%s)\n", qPrintable(soundServerMissing));
        return 0;
    }
    const auto summary = [](const std::vector<double>& ms) {
        return ms.empty() ? QStringLiteral("none heard")
                          : QStringLiteral("median %1 ms, worst %2 ms")
                                .arg(ms[ms.size() / 2], 0, 'f', 1)
                                .arg(ms.back(), 0, 'f', 1);
    };
    std::printf("\nPlay to first sound played by the sound server (PulseAudio, null sink, monitor recorded):\n");
    std::printf("  first Play after loading, %zu loads: %s\n", firstPlays.size(), qPrintable(summary(firstPlays)));
    std::printf("  Play after a pause (1 s played, 0.5 s paused), %zu plays: %s\n", laterPlays.size(),
                qPrintable(summary(laterPlays)));
    std::printf("  Plays with no sound within 2 s: %d (aim: none, each under 100 ms)\n", silentPlays);
    return 0;
}
