// The picture against the sound after a Play that follows a Pause, on a busy machine: the
// audition player and mpv play the same H.264 video (long groups of pictures, as cameras and
// encoders make them) through the same private PulseAudio null sink, one after the other, beside
// busy processes (`yes` writing to /dev/null, one per core by default, started and ended here).
// Each plays 5 s, then Pauses and Plays again: 5 s playing and 0.5, 1 or 1.5 s paused in turn,
// the first 2 s after each Play and the 2 s from 3 s on (straight play) measured. All the while a thread reads, every 2 ms, how far the sound heard is past the time of
// the frame on screen: for the player, the position as the output hears it against the time of
// the frame last handed to its picture pane; for mpv, its `audio-pts` (the audio position, less
// what its audio output holds) against its `time-pos` (the time of the frame it shows), both
// asked through its JSON IPC.
// Run under a display of its own: xvfb-run -a bench_pause_play [Plays, 20 by default] [busy processes]

#include "bench_measure.h"
#include "bench_wait.h"
#include "player/audio_player_service.h"
#include "player/audition_mixer.h"
#include "editor/picture_view.h"
#include "platform/audio_output.h"
#include "support/sound_server.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

using namespace hf;
using namespace hf::test;
using hf::bench::run;
using hf::bench::wait;

namespace {

constexpr int rate = 48000;
// Each Play after a Pause is measured for its first 2 s; 3 s on, the next 2 s are measured as
// straight play, 5 s after any Pause, so that both see the same load. Then a Pause of one of these.
constexpr int windowMs = 2000;
constexpr int straightFromMs = 3000;
constexpr int pausesMs[] = {500, 1000, 1500};
// The picture counts as behind the sound when the sound is this far past the frame on screen.
constexpr double behindLimit = 0.045;

// The device output, passed through, that also tells the position heard to any thread: the
// renderer it plays is the player's mixer.
class WatchedOutput final : public AudioOutput {
public:
    explicit WatchedOutput(std::unique_ptr<AudioOutput> inner) : m_inner(std::move(inner)) {}
    int sampleRate() const override { return m_inner->sampleRate(); }
    int channels() const override { return m_inner->channels(); }
    bool isDevice() const override { return m_inner->isDevice(); }
    void prepare() override { m_inner->prepare(); }
    void release() override { m_inner->release(); }
    void start(AudioRenderer* renderer) override
    {
        m_mixer = dynamic_cast<AuditionMixer*>(renderer);
        m_inner->start(renderer);
    }
    void stop() override { m_inner->stop(); }
    bool isStarted() const override { return m_inner->isStarted(); }
    void stopForRestart() override { m_inner->stopForRestart(); }
    qint64 latencyFrames() const override { return m_inner->latencyFrames(); }
    qint64 withLatency(const std::function<qint64(qint64)>& heard) const override
    {
        return m_inner->withLatency(heard);
    }
    qint64 withUntaken(const std::function<qint64(qint64)>& heard) const override
    {
        return m_inner->withUntaken(heard);
    }
    bool isStalled() const override { return m_inner->isStalled(); }
    bool isUnreachable() const override { return m_inner->isUnreachable(); }

    // The position heard in seconds, as the player reads it; NaN before the first Play.
    double heardSeconds() const
    {
        AuditionMixer* mixer = m_mixer.load();
        if (!mixer)
            return std::nan("");
        return double(m_inner->withLatency([mixer](qint64 latency) { return mixer->audibleFrame(latency); })) / rate;
    }

private:
    std::unique_ptr<AudioOutput> m_inner;
    std::atomic<AuditionMixer*> m_mixer{nullptr};
};

// Sound heard minus the time of the frame on screen, read every 2 ms into the window being
// measured (none between windows).
class Sampler {
public:
    explicit Sampler(std::function<double()> lag) : m_lag(std::move(lag))
    {
        m_thread = std::thread([this] {
            while (!m_stopping) {
                const int window = m_window.load();
                if (window >= 0) {
                    const double lag = m_lag();
                    if (std::isfinite(lag)) {
                        std::lock_guard lock(m_mutex);
                        m_lags.resize(std::max<size_t>(m_lags.size(), size_t(window) + 1));
                        m_lags[size_t(window)].push_back(lag);
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
    }
    ~Sampler()
    {
        m_stopping = true;
        m_thread.join();
    }
    void measure(int window) { m_window = window; }
    void pauseMeasuring() { m_window = -1; }
    std::vector<std::vector<double>> lags() const
    {
        std::lock_guard lock(m_mutex);
        return m_lags;
    }

private:
    std::function<double()> m_lag;
    std::atomic<int> m_window{-1};
    std::atomic<bool> m_stopping{false};
    mutable std::mutex m_mutex;
    std::vector<std::vector<double>> m_lags;
    std::thread m_thread;
};

// What a series gave: the windows after each Play, and those of straight play.
struct Series {
    std::vector<std::vector<double>> afterPlay, straight;
};

// The windows measured by a player driven by `play` and `pause`: after the first Play, 5 s of
// play, then Pauses and Plays.
Series drive(Sampler& sampler, int plays, const std::function<void()>& play, const std::function<void()>& pause)
{
    play();
    wait(straightFromMs + windowMs);
    for (int p = 0; p < plays; ++p) {
        pause();
        wait(pausesMs[p % std::size(pausesMs)]);
        sampler.measure(2 * p);
        play();
        wait(windowMs);
        sampler.pauseMeasuring();
        wait(straightFromMs - windowMs);
        sampler.measure(2 * p + 1);
        wait(windowMs);
        sampler.pauseMeasuring();
    }
    pause();
    auto lags = sampler.lags();
    lags.resize(size_t(2 * plays));
    Series series;
    for (size_t w = 0; w < lags.size(); ++w)
        (w % 2 ? series.straight : series.afterPlay).push_back(lags[w]);
    return series;
}

// A client of mpv's JSON IPC on its socket: one command, one answer.
class MpvClient {
public:
    ~MpvClient()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool connect(const QString& path)
    {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray name = path.toLocal8Bit();
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", name.constData());
        return m_fd >= 0 && ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    // The answer's "data", or NaN when the property has no number (yet).
    double property(const char* name) { return command(QStringLiteral("[\"get_property\",\"%1\"]").arg(name)); }
    void setPause(bool paused)
    {
        command(QStringLiteral("[\"set_property\",\"pause\",%1]").arg(paused ? "true" : "false"));
    }

private:
    double command(const QString& arguments)
    {
        const QByteArray line = QStringLiteral("{\"command\":%1,\"request_id\":%2}\n")
                                    .arg(arguments)
                                    .arg(++m_request)
                                    .toUtf8();
        if (::write(m_fd, line.constData(), size_t(line.size())) != line.size())
            return std::nan("");
        // Events come to every client between the answers: skip them.
        for (;;) {
            qsizetype end;
            while ((end = m_buffer.indexOf('\n')) < 0) {
                char chunk[4096];
                const ssize_t got = ::read(m_fd, chunk, sizeof chunk);
                if (got <= 0)
                    return std::nan("");
                m_buffer.append(chunk, got);
            }
            const QJsonObject answer = QJsonDocument::fromJson(m_buffer.left(end)).object();
            m_buffer.remove(0, end + 1);
            if (answer.value("request_id").toInt() != m_request)
                continue;
            const QJsonValue data = answer.value("data");
            return data.isDouble() ? data.toDouble() : std::nan("");
        }
    }

    int m_fd = -1;
    int m_request = 0;
    QByteArray m_buffer;
};

struct Figures {
    double timeShare = 0;   // of the samples, those behind
    int windowsBehind = 0;
    int windows = 0;
    double worst = 0;
};

Figures judge(const std::vector<std::vector<double>>& windows)
{
    Figures figures;
    size_t samples = 0, behind = 0;
    for (const auto& window : windows) {
        const auto late = size_t(std::count_if(window.begin(), window.end(), [](double lag) { return lag > behindLimit; }));
        samples += window.size();
        behind += late;
        figures.windowsBehind += late > 0;
        figures.windows += !window.empty();
        for (double lag : window)
            figures.worst = std::max(figures.worst, lag);
    }
    figures.timeShare = samples ? double(behind) / double(samples) : std::nan("");
    return figures;
}

void report(const char* who, const Series& series)
{
    const Figures straight = judge(series.straight), afterPlay = judge(series.afterPlay);
    std::printf("  %-10s after a Play: %5.1f %% of the time, %2d of %2d Plays, worst %6.1f ms; "
                "straight: %5.1f %% of the time, %2d of %2d windows, worst %6.1f ms\n",
                who, afterPlay.timeShare * 100, afterPlay.windowsBehind, afterPlay.windows, afterPlay.worst * 1000,
                straight.timeShare * 100, straight.windowsBehind, straight.windows, straight.worst * 1000);
}

} // namespace

int main(int argc, char** argv)
{
    const int plays = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const int busy = argc > 2 ? std::max(0, std::atoi(argv[2])) : int(std::thread::hardware_concurrency());
    SoundServer sound;
    if (!sound.unavailable().isEmpty()) {
        std::printf("no sound server: %s\n", qPrintable(sound.unavailable()));
        return 1;
    }
    sound.useInThisProcess();
    QApplication app(argc, argv);
    for (const char* program : {"ffmpeg", "mpv", "yes"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty()) {
            std::printf("%s is not installed\n", program);
            return 1;
        }
    }
    if (qEnvironmentVariable("DISPLAY").isEmpty()) {
        std::printf("no display: run under xvfb-run -a\n");
        return 1;
    }

    QTemporaryDir dir;
    const QString movie = dir.filePath("pictures.mkv");
    const int seconds = 10 + 5 * plays;
    // 1080p at 30 fps, as phones record, H.264 with the encoder's usual key frame every 250 frames (8.3 s); AAC sound.
    if (!run("ffmpeg", {"-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i",
                        QStringLiteral("testsrc2=s=1920x1080:r=30:d=%1").arg(seconds), "-f", "lavfi", "-i",
                        QStringLiteral("sine=f=440:r=%1:d=%2").arg(rate).arg(seconds), "-c:v", "libx264",
                        "-preset", "veryfast", "-pix_fmt", "yuv420p", "-c:a", "aac", "-ac", "2", movie})) {
        std::printf("could not make the video\n");
        return 1;
    }

    std::vector<std::unique_ptr<QProcess>> load;
    for (int i = 0; i < busy; ++i) {
        auto process = std::make_unique<QProcess>();
        process->setStandardOutputFile(QProcess::nullDevice());
        process->start("yes", {});
        load.push_back(std::move(process));
    }
    wait(2000);
    std::printf("%d busy processes, %d Plays after a Pause each; load average %.1f\n", busy, plays, bench::loadAverage());
    std::fflush(stdout);

    // The player, its picture pane fed as the editor feeds it.
    Series ours;
    {
        QWidget window;
        window.setWindowFlags(Qt::FramelessWindowHint);
        auto* view = new PictureView(&window);
        view->setGeometry(0, 0, 320, 240);
        window.setGeometry(0, 0, 320, 240);
        window.show();
        auto output = std::make_unique<WatchedOutput>(AudioOutput::createDefault(rate));
        WatchedOutput* watched = output.get();
        AudioPlayerService player(std::move(output));
        std::atomic<double> onScreen{std::nan("")};
        // How long from each Pause to its frame on screen again (the picture's re-show).
        QElapsedTimer sincePause;
        std::vector<double> reshows;
        QObject::connect(&player, &AudioPlayerService::currentFrameChanged, view, [&](const QImage& frame) {
            view->setPlayerFrame(true, frame);
            onScreen = player.currentFrameTime();
            if (sincePause.isValid()) {
                reshows.push_back(double(sincePause.nsecsElapsed()) / 1e6);
                sincePause.invalidate();
            }
        });
        AuditionFiles files;
        files.video = movie;
        files.original = movie;
        files.clean = movie;
        player.load(files);
        wait(3000);
        Sampler sampler([&] { return watched->heardSeconds() - onScreen.load(); });
        ours = drive(sampler, plays, [&] { player.play(); }, [&] {
            sincePause.start();
            player.pause();
        });
        std::sort(reshows.begin(), reshows.end());
        if (!reshows.empty())
            std::printf("a Pause's frame on screen again after: median %.1f ms, worst %.1f ms (%zu Pauses)\n",
                        reshows[reshows.size() / 2], reshows.back(), reshows.size());
        player.unload();
    }
    wait(500);

    // mpv on the same file, screen and sink.
    Series theirs;
    {
        const QString socket = dir.filePath("mpv.socket");
        QProcess mpv;
        mpv.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        mpv.setStandardOutputFile(QProcess::nullDevice());
        mpv.start("mpv", {"--no-config", "--really-quiet", "--ao=pulse", "--vo=x11", "--no-border",
                          "--geometry=320x240+0+0", "--pause", "--keep-open=yes", "--input-ipc-server=" + socket, movie});
        MpvClient control, reader;
        bool connected = false;
        for (int i = 0; i < 100 && !connected; ++i) {
            wait(100);
            connected = control.connect(socket) && reader.connect(socket);
        }
        for (int i = 0; i < 100 && connected && std::isnan(control.property("time-pos")); ++i)
            wait(100);
        wait(2000);
        if (!connected) {
            std::printf("mpv did not answer on its socket\n");
        } else {
            Sampler sampler([&] {
                const double audio = reader.property("audio-pts");
                return audio - reader.property("time-pos");
            });
            theirs = drive(sampler, plays, [&] { control.setPause(false); }, [&] { control.setPause(true); });
        }
        mpv.terminate();
        if (!mpv.waitForFinished(5000))
            mpv.kill();
    }

    for (auto& process : load) {
        process->kill();
        process->waitForFinished(5000);
    }

    std::printf("\nsound heard more than %.0f ms past the frame on screen:\n", behindLimit * 1000);
    report("player", ours);
    report("mpv", theirs);
    return 0;
}
