// Sound against picture: the audition player and a reference player (ffplay) play the same
// flash-and-burst video (a 2-frame white flash and a 20 ms tone burst at every whole second, over
// a quiet tone) on the same X screen and the same PulseAudio null sink, one after the other,
// while one ffmpeg process captures both: the screen (x11grab at 60 fps) and the sink's monitor,
// each stamped with the wall clock. For every flash the burst nearest to it gives sound minus
// picture (negative: the sound comes first): in the first 3 s after the first Play and 10-15 s
// later, after a pause and after a seek; the quiet tone between the bursts tells how much sound a
// Pause then Play skips (two pauses a run: one after 15 s of play, one 2.5 s after the Play that
// ended a 3 s pause).
// Run under a display of its own: xvfb-run -a bench_sync [runs, 5 by default]
//
// `bench_sync --server` measures the device output alone against the private sound server (no
// display needed): the server's context switches over 10 s with a paused output, beside the
// clock before the output asked for its own timing (the client library's interpolated clock, on
// a corked stream as that output kept one); the greatest step back of the position read every
// millisecond while the server is stopped (SIGSTOP) for 200 ms, 400 ms and 2 s while playing,
// and how long after the server went on the position stood before it moved on; how far the
// position ran past the last frame the sink played while the server stopped for 1 s, at most and
// at a Pause then; the silence heard at a seek while playing (a stop and a start at once, as the
// player seeks).

#include "player/audio_player_service.h"
#include "editor/picture_view.h"
#include "pipeline/ffmpeg_support.h"
#include "platform/audio_output.h"
#include "support/sound_server.h"

#include "bench_wait.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <pulse/pulseaudio.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <cmath>
#include <cstdio>
#include <optional>
#include <vector>

using namespace hf;
using namespace hf::test;
using hf::bench::run;
using hf::bench::wait;

namespace {

constexpr int rate = 48000;
constexpr int fps = 30;
constexpr double movieSeconds = 40;
const QSize windowSize(320, 240);
// How long each player plays from the start (for the offset 10-15 s in), between the two pauses,
// after the second pause and after the seek.
constexpr int firstPhaseMs = 15500;
constexpr int shortPhaseMs = 2500;
constexpr int phaseMs = 6500;
// What the player does between loading and Play: its output waits opened for this long.
constexpr int loadedMs = 3000;
// How long each of the two pauses lasts: the second Pause comes 2.5 s after the Play that ended
// the first, within as long as the first lasted (the time an output's stream waited to play).
constexpr int pauseMs[2] = {3000, 1000};
// Where the player seeks to while playing.
constexpr double seekTarget = 30.4;

// The wall clock in seconds, the capture's time base.
double wallNow()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// What was captured: the picture's mean brightness per grabbed frame and the sink's samples, on
// the wall clock.
struct Capture {
    std::vector<std::pair<double, double>> frames;   // time, mean brightness 0..255
    double audioStart = 0;
    std::vector<float> samples;

    double sampleTime(size_t i) const { return audioStart + double(i) / rate; }
    size_t sampleAt(double t) const
    {
        return size_t(std::clamp((t - audioStart) * rate, 0.0, double(samples.size())));
    }
};

Capture readCapture(const QString& path)
{
    Capture capture;
    media::InputContext input = media::openInput(path);
    media::Packet packet = media::makePacket();
    // Each packet of sound is stamped with the wall clock less the latency the sound server
    // reports, which settles only after the first fraction of a second: the samples are placed
    // by their count from the start, at the start most packets agree on.
    std::vector<double> starts;
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        const AVStream* stream = input->streams[packet->stream_index];
        const double t = double(packet->pts) * av_q2d(stream->time_base);
        if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            double sum = 0;
            for (int i = 0; i < packet->size; ++i)
                sum += packet->data[i];
            capture.frames.emplace_back(t, packet->size > 0 ? sum / packet->size : 0);
        } else if (stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            starts.push_back(t - double(capture.samples.size()) / rate);
            const auto* data = reinterpret_cast<const int16_t*>(packet->data);
            for (int i = 0; i < packet->size / 2; ++i)
                capture.samples.push_back(float(data[i]) / 32768.0f);
        }
        av_packet_unref(packet.get());
    }
    if (!starts.empty()) {
        std::nth_element(starts.begin(), starts.begin() + starts.size() / 2, starts.end());
        capture.audioStart = starts[starts.size() / 2];
    }
    return capture;
}

// Times the picture turned white (rising edges), within [from, to).
std::vector<double> flashes(const Capture& capture, double from, double to)
{
    std::vector<double> out;
    bool bright = true;
    for (const auto& [t, level] : capture.frames) {
        const bool now = level > 128;
        if (now && !bright && t >= from && t < to)
            out.push_back(t);
        bright = now;
    }
    return out;
}

// Times a burst began (loud after at least 0.3 s without one), within [from, to).
std::vector<double> bursts(const Capture& capture, double from, double to)
{
    std::vector<double> out;
    double last = -1e9;
    for (size_t i = capture.sampleAt(from); i < capture.sampleAt(to); ++i) {
        if (std::abs(capture.samples[i]) > 0.25f) {
            const double t = capture.sampleTime(i);
            if (t - last > 0.3)
                out.push_back(t);
            last = t;
        }
    }
    return out;
}

// Sound minus picture for each flash in the span that has a burst within 0.4 s of it.
std::vector<double> offsets(const Capture& capture, double from, double to)
{
    const std::vector<double> sounds = bursts(capture, from - 0.5, to + 0.5);
    std::vector<double> out;
    for (double flash : flashes(capture, from, to)) {
        std::optional<double> best;
        for (double sound : sounds)
            if (std::abs(sound - flash) < 0.4 && (!best || std::abs(sound - flash) < std::abs(*best)))
                best = sound - flash;
        if (best)
            out.push_back(*best);
    }
    return out;
}

// The median of the values measured (a run's phase that found no flash gives none).
double median(std::vector<double> values)
{
    std::erase_if(values, [](double v) { return std::isnan(v); });
    if (values.empty())
        return std::nan("");
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The sound a pause skipped, in seconds: the last burst before it and the first after it are
// one second apart in the video; on the wall they are that second, less what was skipped, plus
// the silence of the pause (from the quiet tone's end to its return). None when it cannot be
// measured: no silence, or a burst between the last one before the pause and the silence (the
// pause took hold late, after the next burst), so that the bursts either side of the silence
// are two seconds apart in the video, not one.
std::optional<double> pauseSkip(const Capture& capture, double pausedAt, double resumedAt)
{
    const std::vector<double> before = bursts(capture, pausedAt - 1.5, pausedAt);
    const std::vector<double> after = bursts(capture, resumedAt, resumedAt + 1.5);
    if (before.empty() || after.empty())
        return std::nullopt;
    const float quiet = 0.01f;
    std::optional<double> silent, sounding;
    for (size_t i = capture.sampleAt(before.back() + 0.05); i < capture.sampleAt(after.front()); ++i) {
        // The tone's end: the last loud sample followed by 20 ms of silence.
        if (!silent && std::abs(capture.samples[i]) > quiet) {
            bool quietAfter = true;
            for (size_t j = i + 1; j < std::min(capture.samples.size(), i + rate / 50); ++j)
                quietAfter = quietAfter && std::abs(capture.samples[j]) <= quiet;
            if (quietAfter)
                silent = capture.sampleTime(i);
        } else if (silent && std::abs(capture.samples[i]) > quiet) {
            sounding = capture.sampleTime(i);
            break;
        }
    }
    if (!silent || !sounding || !bursts(capture, before.back() + 0.5, *silent).empty())
        return std::nullopt;
    return 1.0 - (after.front() - before.back()) + (*sounding - *silent);
}

struct Phases {
    std::vector<double> early, late, step, afterPause, afterSeek, skip;
    int unmeasuredSkips = 0;
};

struct Marks {
    double played = 0, paused[2] = {}, resumed[2] = {}, sought = 0, ended = 0;
    bool pauseKeysSent[2] = {true, true};
};

void measure(const Capture& capture, const Marks& marks, Phases& into)
{
    // The first 3 s of picture after Play (from its first flash: a reference player's own start
    // takes a while) and 10-15 s later. A flash right at a change of state belongs to neither side.
    const std::vector<double> first = flashes(capture, marks.played, marks.paused[0]);
    const double shown = first.empty() ? marks.played : first.front() - 0.1;
    const double early = median(offsets(capture, shown, shown + 3.0));
    const double late = median(offsets(capture, shown + 10.0, std::min(shown + 15.0, marks.paused[0] - 0.1)));
    into.early.push_back(early);
    into.late.push_back(late);
    into.step.push_back(early - late);
    into.afterPause.push_back(median(offsets(capture, marks.resumed[1] + 0.2, marks.sought - 0.1)));
    into.afterSeek.push_back(median(offsets(capture, marks.sought + 0.2, marks.ended - 0.1)));
    for (int i = 0; i < 2; ++i) {
        const auto skip =
            marks.pauseKeysSent[i] ? pauseSkip(capture, marks.paused[i], marks.resumed[i]) : std::nullopt;
        if (skip)
            into.skip.push_back(*skip);
        else
            ++into.unmeasuredSkips;
    }
}

// A key to the X window of `pid`'s program, through the X server's test extension; false when
// it could not be sent.
bool key(qint64 pid, const QString& name)
{
    QProcess search;
    search.start("xdotool", {"search", "--sync", "--pid", QString::number(pid)});
    search.waitForFinished(5000);
    const QString window = QString::fromLatin1(search.readAllStandardOutput()).split('\n').value(0).trimmed();
    if (window.isEmpty())
        return false;
    return run("xdotool", {"windowfocus", window}) && run("xdotool", {"key", name});
}

// ---- The device output alone

// A square wave that never falls silent: a gap in it is the output's.
class Tone final : public AudioRenderer {
public:
    qint64 render(float* out, qint64 frames) noexcept override
    {
        for (qint64 i = 0; i < frames * 2; ++i)
            out[i] = (m_frames + i / 2) / 48 % 2 ? 0.3f : -0.3f;
        m_frames += frames;
        return frames;
    }
    std::atomic<qint64> m_frames{0};
};

// The clock before the output asked the server for its own timing: a corked stream with the
// client library's interpolated timing and its automatic updates, read every 10 ms on the
// library's thread (pa_stream_get_time asks nothing of the server).
struct PreviousClock {
    pa_threaded_mainloop* loop = pa_threaded_mainloop_new();
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    pa_time_event* sampler = nullptr;

    static void due(pa_mainloop_api* api, pa_time_event* event, const timeval*, void* self)
    {
        auto* clock = static_cast<PreviousClock*>(self);
        pa_usec_t played = 0;
        if (clock->stream && pa_stream_get_state(clock->stream) == PA_STREAM_READY)
            pa_stream_get_time(clock->stream, &played);
        timeval when;
        api->time_restart(event, pa_timeval_add(pa_gettimeofday(&when), 10000));
    }

    PreviousClock()
    {
        pa_threaded_mainloop_start(loop);
        pa_threaded_mainloop_lock(loop);
        context = pa_context_new(pa_threaded_mainloop_get_api(loop), "previous clock");
        pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
        pa_threaded_mainloop_unlock(loop);
        for (int i = 0; i < 500; ++i) {
            pa_threaded_mainloop_lock(loop);
            const bool ready = pa_context_get_state(context) == PA_CONTEXT_READY;
            if (ready) {
                const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, uint32_t(rate), 2};
                stream = pa_stream_new(context, "previous clock", &format, nullptr);
                const uint32_t bytes = uint32_t(pa_usec_to_bytes(100000, &format));
                const pa_buffer_attr buffer{uint32_t(-1), bytes, uint32_t(-1), uint32_t(-1), uint32_t(-1)};
                pa_stream_connect_playback(stream, nullptr, &buffer,
                                           pa_stream_flags_t(PA_STREAM_START_CORKED | PA_STREAM_INTERPOLATE_TIMING |
                                                             PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY),
                                           nullptr, nullptr);
                pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
                timeval when;
                sampler = api->time_new(api, pa_timeval_add(pa_gettimeofday(&when), 10000), &due, this);
            }
            pa_threaded_mainloop_unlock(loop);
            if (ready)
                break;
            QThread::msleep(10);
        }
    }
    ~PreviousClock()
    {
        pa_threaded_mainloop_lock(loop);
        if (sampler)
            pa_threaded_mainloop_get_api(loop)->time_free(sampler);
        if (stream) {
            pa_stream_disconnect(stream);
            pa_stream_unref(stream);
        }
        pa_context_disconnect(context);
        pa_context_unref(context);
        pa_threaded_mainloop_unlock(loop);
        pa_threaded_mainloop_stop(loop);
        pa_threaded_mainloop_free(loop);
    }
};

int benchServer(SoundServer& sound)
{
    // 1. Paused: the server's context switches over 10 s, the output and the previous clock in
    // turns, and with no client at all.
    std::printf("sound server's voluntary context switches over 10 s, paused:\n");
    for (int round = 0; round < 2; ++round) {
        for (const char* who : {"nothing open", "the output, paused", "the previous clock, paused"}) {
            std::unique_ptr<AudioOutput> output;
            std::unique_ptr<PreviousClock> previous;
            if (who[4] == 'o') {
                output = AudioOutput::createDefault(rate);
                output->prepare();
            } else if (who[4] == 'p') {
                previous = std::make_unique<PreviousClock>();
            }
            QThread::msleep(1000);
            const long before = sound.contextSwitches();
            QThread::msleep(10000);
            std::printf("  %-28s %ld\n", who, sound.contextSwitches() - before);
            std::fflush(stdout);
        }
    }

    // 2. The server stopped for a while as the output plays: the position, read every
    // millisecond (as the player reads it), against the highest read before it; and the time
    // from the server going on to the position moving past where it stood then.
    const auto output = AudioOutput::createDefault(rate);
    output->prepare();
    QThread::msleep(1000);
    Tone tone;
    std::printf("greatest step back of the position (ms), and how long it stood after the server went on (ms),\n"
                "after the server stopped for:\n");
    for (int hung : {200, 400, 2000, 200, 400, 2000, 400}) {
        output->start(&tone);
        std::atomic<bool> reading{true};
        double worst = 0, stood = -1;
        std::atomic<qint64> wentOn{0};
        std::thread reader([&] {
            qint64 highest = 0, atWentOn = -1;
            while (reading) {
                // Before the first sound the output counts its lead silence, not the tone's frames.
                const qint64 frame =
                    output->withLatency([&](qint64 latency) { return std::max<qint64>(tone.m_frames - latency, 0); });
                highest = std::max(highest, frame);
                worst = std::max(worst, double(highest - frame) * 1000.0 / rate);
                if (const qint64 on = wentOn.load(); on > 0 && atWentOn < 0)
                    atWentOn = highest;
                else if (atWentOn >= 0 && stood < 0 && frame > atWentOn)
                    stood = double(steadyNanoseconds() - wentOn.load()) / 1e6;
                QThread::usleep(1000);
            }
        });
        QThread::msleep(1000);
        sound.hang(true);
        QThread::msleep(hung);
        sound.hang(false);
        wentOn = steadyNanoseconds();
        QThread::msleep(1500);
        reading = false;
        reader.join();
        output->stop();
        std::printf("  %4d ms: %.1f, %.1f\n", hung, worst, stood);
        std::fflush(stdout);
        QThread::msleep(500);
    }

    // 3. The server stopped for 1 s as the output plays, and a Pause 700 ms into the stop (the
    // player pauses once the output says that nothing is heard, and keeps where the output says
    // a Play takes up): how far the position ran past the last frame the sink played before it
    // stopped (the tone's frames recorded by the end of the stop), at most and at the Pause; and
    // the Pause past the last frame heard in all, once the server went on and played what it
    // held (negative: heard twice after a Play). The stop comes at another moment between the
    // server's reports in each run.
    std::printf("position past the last frame played while the server stopped for 1 s (ms): at most; at a Pause; "
                "at a Pause, past all heard\n");
    for (int run = 0; run < 7; ++run) {
        SinkRecorder heardBy;
        if (!heardBy.start()) {
            std::printf("parec could not record\n");
            return 1;
        }
        const qint64 from = tone.m_frames;
        output->start(&tone);
        QThread::msleep(1000 + 3 * run);
        sound.hang(true);
        qint64 highest = 0, kept = -1;
        QElapsedTimer stopped;
        stopped.start();
        while (stopped.elapsed() < 1000) {
            if (kept < 0) {
                const qint64 frame = output->withLatency([&](qint64 latency) { return tone.m_frames - latency; });
                highest = std::max(highest, frame);
                if (stopped.elapsed() >= 700) {
                    kept = output->withUntaken([&](qint64 untaken) { return tone.m_frames - untaken; });
                    output->stop();
                }
            }
            QThread::usleep(1000);
        }
        const qint64 heard = from + heardBy.samples(0.03);
        sound.hang(false);
        QThread::msleep(500);
        const qint64 heardInAll = from + heardBy.samples(0.03);
        std::printf("  %.1f; %.1f; %.1f\n", double(highest - heard) * 1000.0 / rate, double(kept - heard) * 1000.0 / rate,
                    double(kept - heardInAll) * 1000.0 / rate);
        std::fflush(stdout);
        heardBy.stop();
        QThread::msleep(500);
    }

    // 4. Seeks while playing: the longest silence heard around each.
    SinkRecorder recorder;
    if (!recorder.start()) {
        std::printf("parec could not record\n");
        return 1;
    }
    output->start(&tone);
    QThread::msleep(1000);
    std::vector<double> gaps;
    for (int seek = 0; seek < 10; ++seek) {
        const qint64 at = steadyNanoseconds();
        output->stopForRestart();
        output->start(&tone);
        QThread::msleep(700);
        // The longest run of silence from 100 ms before the seek to 400 ms after it.
        qint64 silentFrom = -1, longest = 0;
        for (qint64 t = at - 100'000'000; t < at + 400'000'000; t += 1'000'000'000 / rate) {
            const bool loud = recorder.soundBetween(t, t + 1'000'000'000 / rate);
            if (!loud && silentFrom < 0)
                silentFrom = t;
            if (loud && silentFrom >= 0) {
                longest = std::max(longest, t - silentFrom);
                silentFrom = -1;
            }
        }
        gaps.push_back(double(longest) / 1e6);
    }
    output->release();
    recorder.stop();
    std::printf("silence at a seek while playing (ms):");
    for (double gap : gaps)
        std::printf(" %.1f", gap);
    std::printf("\n");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const bool serverOnly = argc > 1 && QByteArray(argv[1]) == "--server";
    const int runs = argc > 1 && !serverOnly ? std::max(1, std::atoi(argv[1])) : 5;
    SoundServer sound;
    if (!sound.unavailable().isEmpty()) {
        std::printf("no sound server: %s\n", qPrintable(sound.unavailable()));
        return 1;
    }
    sound.useInThisProcess();
    if (serverOnly)
        return benchServer(sound);
    QApplication app(argc, argv);
    for (const char* program : {"ffmpeg", "ffplay", "xdotool"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty()) {
            std::printf("%s is not installed\n", program);
            return 1;
        }
    }
    const QString display = qEnvironmentVariable("DISPLAY");
    if (display.isEmpty()) {
        std::printf("no display: run under xvfb-run -a\n");
        return 1;
    }

    QTemporaryDir dir;
    const QString movie = dir.filePath("flash-burst.mkv");
    // Frames 0 and 1 of every second white; a 1 kHz burst of 20 ms at every whole second over a
    // quiet 400 Hz tone; the picture uncompressed in time (every frame a key frame), the sound PCM.
    if (!run("ffmpeg",
             {"-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i",
              QStringLiteral("color=c=black:s=320x240:r=%1:d=%2,format=yuv420p,"
                             "drawbox=x=0:y=0:w=iw:h=ih:t=fill:c=white:enable='lt(mod(n\\,%1)\\,2)'")
                  .arg(fps)
                  .arg(movieSeconds),
              "-f", "lavfi", "-i",
              QStringLiteral("aevalsrc='0.5*sin(2*PI*1000*t)*lt(mod(t\\,1)\\,0.02)+0.05*sin(2*PI*400*t)':s=%1:d=%2")
                  .arg(rate)
                  .arg(movieSeconds),
              "-c:v", "mjpeg", "-q:v", "3", "-c:a", "pcm_s16le", "-ac", "2", movie})) {
        std::printf("could not make the video\n");
        return 1;
    }

    // One capture for everything: the screen's corner where both players show their picture,
    // and the sink's monitor, both on the wall clock.
    const QString captured = dir.filePath("capture.nut");
    QProcess capture;
    capture.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    capture.start("ffmpeg", {"-v", "error", "-nostdin", "-y", "-thread_queue_size", "1024", "-f", "x11grab",
                             "-framerate", "60", "-video_size", "320x240", "-i", display + "+0,0",
                             "-thread_queue_size", "1024", "-f", "pulse", "-sample_rate", QString::number(rate),
                             "-channels", "1", "-fragment_size", "1920", "-i", "hf_test.monitor", "-copyts",
                             "-fps_mode", "passthrough", "-map", "0:v", "-vf", "scale=32:24,format=gray", "-c:v",
                             "rawvideo", "-map", "1:a", "-c:a", "pcm_s16le", "-f", "nut", captured});
    if (!capture.waitForStarted()) {
        std::printf("ffmpeg could not capture\n");
        return 1;
    }
    wait(2000);

    std::vector<Marks> ours, reference;
    QWidget window;
    window.setWindowFlags(Qt::FramelessWindowHint);
    auto* view = new PictureView(&window);
    view->setGeometry(QRect(QPoint(0, 0), windowSize));
    window.setGeometry(QRect(QPoint(0, 0), windowSize));
    AudioPlayerService player(AudioOutput::createDefault(rate));
    // When each frame was handed to the view, for how long the first frame after a seek stays.
    std::vector<std::pair<double, double>> shown;   // wall time, video time
    QObject::connect(&player, &AudioPlayerService::currentFrameChanged, view, [&](const QImage& frame) {
        view->setPlayerFrame(true, frame);
        shown.emplace_back(wallNow(), player.currentFrameTime());
    });
    std::vector<double> holds;
    AuditionFiles files;
    files.video = movie;
    files.original = movie;
    files.clean = movie;

    for (int i = 0; i < runs; ++i) {
        std::printf("run %d of %d\n", i + 1, runs);
        std::fflush(stdout);
        Marks marks;
        window.show();
        player.load(files);
        wait(loadedMs);
        marks.played = wallNow();
        player.play();
        for (int pause = 0; pause < 2; ++pause) {
            wait(pause == 0 ? firstPhaseMs : shortPhaseMs);
            marks.paused[pause] = wallNow();
            player.pause();
            wait(pauseMs[pause]);
            marks.resumed[pause] = wallNow();
            player.play();
        }
        wait(phaseMs);
        marks.sought = wallNow();
        player.seek(seekTarget);
        shown.clear();
        wait(phaseMs);
        for (size_t f = 0; f + 1 < shown.size(); ++f) {
            if (std::abs(shown[f].second - seekTarget) < 0.01) {
                holds.push_back(shown[f + 1].first - shown[f].first);
                break;
            }
        }
        marks.ended = wallNow();
        player.unload();
        window.hide();
        wait(500);
        ours.push_back(marks);

        Marks theirs;
        QProcess ffplay;
        ffplay.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        ffplay.setStandardOutputFile(QProcess::nullDevice());
        theirs.played = wallNow();
        ffplay.start("ffplay", {"-v", "error", "-noborder", "-left", "0", "-top", "0", "-x", "320", "-y",
                                "240", "-autoexit", movie});
        for (int pause = 0; pause < 2; ++pause) {
            wait(pause == 0 ? firstPhaseMs + 1000 : shortPhaseMs);   // the first with ffplay's own start
            theirs.paused[pause] = wallNow();
            theirs.pauseKeysSent[pause] = key(ffplay.processId(), "p");
            wait(pauseMs[pause]);
            theirs.resumed[pause] = wallNow();
            theirs.pauseKeysSent[pause] = key(ffplay.processId(), "p") && theirs.pauseKeysSent[pause];
        }
        wait(phaseMs);
        theirs.sought = wallNow();
        key(ffplay.processId(), "Right");   // 10 s on
        wait(phaseMs);
        theirs.ended = wallNow();
        ffplay.terminate();
        ffplay.waitForFinished(5000);
        wait(500);
        reference.push_back(theirs);
    }
    capture.terminate();
    if (!capture.waitForFinished(10000))
        capture.kill();

    if (qEnvironmentVariableIsSet("HF_KEEP_CAPTURE"))
        QFile::copy(captured, qEnvironmentVariable("HF_KEEP_CAPTURE"));
    const Capture recorded = readCapture(captured);
    Phases player_, ffplay_;
    for (const Marks& marks : ours)
        measure(recorded, marks, player_);
    for (const Marks& marks : reference)
        measure(recorded, marks, ffplay_);

    const auto ms = [](double seconds) { return seconds * 1000.0; };
    std::printf("\nsound minus picture (ms; negative: the sound comes first), median of the per-run medians over %d "
                "runs:\n",
                runs);
    std::printf("  %-16s %10s %10s %12s\n", "", "player", "ffplay", "difference");
    // Without a figure of ffplay's the reference run is invalid, and there is no difference.
    const auto row = [&](const char* name, const std::vector<double>& a, const std::vector<double>& b) {
        if (std::isnan(median(b)))
            std::printf("  %-16s %10.1f %10s %12s   (runs: ", name, ms(median(a)), "invalid", "none");
        else
            std::printf("  %-16s %10.1f %10.1f %12.1f   (runs: ", name, ms(median(a)), ms(median(b)),
                        ms(median(a) - median(b)));
        for (size_t i = 0; i < a.size(); ++i)
            std::printf("%s%.0f/%.0f", i ? ", " : "", ms(a[i]), i < b.size() ? ms(b[i]) : std::nan(""));
        std::printf(")\n");
    };
    row("first 3 s", player_.early, ffplay_.early);
    row("10-15 s later", player_.late, ffplay_.late);
    row("first less later", player_.step, ffplay_.step);
    row("after a pause", player_.afterPause, ffplay_.afterPause);
    row("after a seek", player_.afterSeek, ffplay_.afterSeek);
    // Worst by size: a repeat (negative) counts as much as a skip.
    const auto worst = [](const std::vector<double>& values) {
        return values.empty() ? std::nan("")
                              : *std::max_element(values.begin(), values.end(),
                                                  [](double a, double b) { return std::abs(a) < std::abs(b); });
    };
    std::printf("\nsound skipped by a Pause then Play (ms; negative: repeated): player median %.1f, worst %.1f (%zu "
                "pauses, %d not measurable; each:",
                ms(median(player_.skip)), ms(worst(player_.skip)), player_.skip.size(), player_.unmeasuredSkips);
    for (double skip : player_.skip)
        std::printf(" %.0f", ms(skip));
    std::printf("); ");
    if (ffplay_.skip.empty())
        std::printf("ffplay: reference run invalid (none of its %d pauses measurable)\n", ffplay_.unmeasuredSkips);
    else
        std::printf("ffplay median %.1f, worst %.1f (%zu pauses, %d not measurable)\n", ms(median(ffplay_.skip)),
                    ms(worst(ffplay_.skip)), ffplay_.skip.size(), ffplay_.unmeasuredSkips);
    std::printf("first frame after a seek while playing stays up (ms; a frame lasts %.1f): median %.1f, worst %.1f "
                "(%zu seeks)\n",
                1000.0 / fps, ms(median(holds)),
                holds.empty() ? std::nan("") : ms(*std::max_element(holds.begin(), holds.end())), holds.size());
    return 0;
}
