// The device output against a real sound server (a private PulseAudio with a null sink): every
// start is heard at the server at once, however often it was stopped before, and a stop silences it.

#include "platform/audio_output.h"
#include "support/sound_server.h"

#include <QTest>

#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <future>
#include <thread>
#include <vector>

using namespace hf;
using namespace hf::test;

namespace {

constexpr qint64 millisecond = 1'000'000;

// A square wave, loud enough to tell from silence in the recording.
class Tone final : public AudioRenderer {
public:
    explicit Tone(int channels) : m_channels(channels) {}
    qint64 render(float* out, qint64 frames) noexcept override
    {
        for (qint64 i = 0; i < frames * m_channels; ++i)
            out[i] = (m_frames + i / m_channels) / 50 % 2 ? 0.3f : -0.3f;
        m_frames += frames;
        return frames;
    }
    qint64 frames() const { return m_frames.load(); }

private:
    int m_channels;
    std::atomic<qint64> m_frames{0};
};

// A quiet square wave with a loud click at every quarter second of its own frames, from a position
// that can be set while stopped: a click heard tells which frame was heard when.
class Clicks final : public AudioRenderer {
public:
    static constexpr qint64 period = SoundServer::sampleRate / 4;
    explicit Clicks(int channels) : m_channels(channels) {}
    qint64 render(float* out, qint64 frames) noexcept override
    {
        const qint64 first = m_position.load();
        for (qint64 f = 0; f < frames; ++f) {
            const qint64 n = first + f;
            const float level = n % period < 96 ? 0.6f : 0.1f;
            for (int c = 0; c < m_channels; ++c)
                out[f * m_channels + c] = n / 48 % 2 ? level : -level;
        }
        m_position = first + frames;
        return frames;
    }
    qint64 position() const { return m_position.load(); }
    void setPosition(qint64 frame) { m_position = frame; }

private:
    int m_channels;
    std::atomic<qint64> m_position{0};
};

} // namespace

class TestAudioOutput : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_server = std::make_unique<SoundServer>();
        if (!m_server->unavailable().isEmpty())
            QSKIP(qPrintable(m_server->unavailable()));
        m_server->useInThisProcess();
        QVERIFY(m_recorder.start());
    }

    void cleanupTestCase() { m_recorder.stop(); }

    // Play and pause as a user does, the device kept open across pauses (as the player keeps it)
    // or opened on each start: every start is heard, the device reads while started, and the
    // sound stops with the output. A sound server that goes away (for a moment or for longer
    // than any single try to reconnect), stops answering, or is not there when the output is
    // made is a fault before a Play: while it is away a start says it is not heard, no call
    // waits for it, and once it is back the next start is heard.
    void everyStartIsHeard_data()
    {
        QTest::addColumn<bool>("prepared");
        QTest::addColumn<int>("cycles");
        QTest::addColumn<QString>("fault");
        QTest::newRow("kept open across pauses") << true << 20 << QString();
        QTest::newRow("opened on each start") << false << 5 << QString();
        QTest::newRow("server restarted while paused") << true << 4 << QStringLiteral("restarted");
        QTest::newRow("server hung while paused") << true << 3 << QStringLiteral("hung");
        QTest::newRow("server away for 5 s") << true << 2 << QStringLiteral("away");
        QTest::newRow("no server at start") << true << 2 << QStringLiteral("absent");
    }

    void everyStartIsHeard()
    {
        QFETCH(bool, prepared);
        QFETCH(int, cycles);
        QFETCH(QString, fault);
        if (fault == "absent")
            m_server->kill();
        const std::unique_ptr<AudioOutput> output = AudioOutput::createDefault(SoundServer::sampleRate);
        QVERIFY2(output->isDevice(), "the sound server's sink is not the default device");
        Tone tone(output->channels());
        if (prepared)
            output->prepare();
        for (int cycle = 0; cycle < cycles; ++cycle) {
            const QByteArray where = "Play " + QByteArray::number(cycle + 1);
            const bool afterFault = !fault.isEmpty() && (fault == "absent" ? cycle == 0 : cycle > 0);
            if (afterFault)
                QVERIFY2(startWhileAway(*output, tone, fault), where);
            // A server that is back (resumed, restarted or started) is heard at the first start,
            // and the output does not give up on it while the server wakes its device.
            const qint64 started = steadyNanoseconds();
            output->start(&tone);
            // The recording of a server that was away starts again only now: a recorded sink is
            // kept awake, and a user's is not.
            if (afterFault && !m_recorder.isRecording())
                QVERIFY2(m_recorder.start(), where);
            std::optional<qint64> heard;
            bool gaveUp = false;
            QTest::qWaitFor(
                [&] {
                    gaveUp = gaveUp || output->isStalled();
                    return (heard = m_recorder.soundAfter(started)).has_value();
                },
                4000);
            QVERIFY2(heard, where + ": nothing was heard");
            QVERIFY2(!gaveUp, where + ": the output said it was not heard before it was");

            // A device that reads takes about the pace of playback (more than half of it); one that
            // stopped takes no more than its buffer, 70 ms.
            const qint64 framesBefore = tone.frames();
            QTest::qWait(300);
            const qint64 taken = tone.frames() - framesBefore;
            QVERIFY2(taken > SoundServer::sampleRate * 150 / 1000,
                     where + ": the device took " + QByteArray::number(taken) + " frames in 300 ms");
            QVERIFY2(!output->isStalled(), where);

            output->stop();
            const qint64 stopped = steadyNanoseconds();
            QTest::qWait(300);
            QVERIFY2(!m_recorder.soundAfter(stopped + 150 * millisecond).has_value(), where + ": still heard after stop");
        }
        if (prepared && fault.isEmpty()) {
            // Seeks while playing stop and start at once, before the server has made the silent
            // stream a stop asks for: none of those streams stays on the server.
            for (int seek = 0; seek < 8; ++seek) {
                output->start(&tone);
                output->stop();
            }
            int streams = -1;
            QTest::qWaitFor([&] { return (streams = streamsOnServer()) == 1; }, 3000);
            QCOMPARE(streams, 1);
        }
        output->release();
    }

    // The position a player reads from the output (what it rendered less the output's latency) is
    // the frame heard at the sink, from the first moment after a start as much as seconds later,
    // and a start that takes up that position again (Pause then Play, a seek while playing) is
    // heard from its first frame on: nothing skipped, nothing repeated.
    void positionIsWhatIsHeard_data()
    {
        QTest::addColumn<bool>("prepared");
        QTest::addColumn<int>("gap");   // milliseconds from a stop to the next start
        QTest::newRow("Pause then Play, kept open") << true << 400;
        QTest::newRow("Pause then Play, opened on each start") << false << 400;
        QTest::newRow("seek while playing") << true << 0;
    }

    void positionIsWhatIsHeard()
    {
        QFETCH(bool, prepared);
        QFETCH(int, gap);
        constexpr double rate = SoundServer::sampleRate;
        const std::unique_ptr<AudioOutput> output = AudioOutput::createDefault(SoundServer::sampleRate);
        Clicks clicks(output->channels());
        if (prepared) {
            // Left waiting a while, as a player is between loading and Play.
            output->prepare();
            QTest::qWait(1000);
        }
        // The position the output gives, read every 2 ms while it plays: (steady time, frame).
        std::vector<std::pair<qint64, qint64>> claims;
        const auto playFor = [&](int milliseconds) {
            QElapsedTimer timer;
            timer.start();
            while (timer.elapsed() < milliseconds) {
                claims.emplace_back(steadyNanoseconds(), clicks.position() - output->latencyFrames());
                QThread::msleep(2);
            }
        };
        // The position given at `ns` (a median of the reads around it, taken back to `ns`).
        const auto claimedAt = [&](qint64 ns) {
            std::vector<double> near;
            for (const auto& [t, frame] : claims)
                if (std::abs(t - ns) < 20 * millisecond)
                    near.push_back(double(frame) - double(t - ns) * rate / 1e9);
            std::sort(near.begin(), near.end());
            return near.empty() ? std::nan("") : near[near.size() / 2];
        };
        // The frame a click heard at `ns` marks: the click nearest to the position given then.
        const auto clickAt = [&](qint64 ns) { return std::round(claimedAt(ns) / Clicks::period) * Clicks::period; };

        struct Start {
            qint64 at;
            qint64 frame;
        };
        std::vector<Start> starts{{steadyNanoseconds(), 0}};
        output->start(&clicks);
        // The second stop comes soon after a start: a position still settling would be met there.
        for (int played : {3100, 300, 3100}) {
            playFor(played);
            const qint64 frame = clicks.position() - output->latencyFrames();
            output->stop();
            clicks.setPosition(frame);
            if (gap > 0)
                QTest::qWait(gap);
            starts.push_back({steadyNanoseconds(), frame});
            output->start(&clicks);
        }
        playFor(7000);
        output->stop();
        output->release();
        QTest::qWait(200);

        QByteArray figures;
        bool ok = true;
        for (size_t i = 0; i < starts.size(); ++i) {
            const qint64 from = starts[i].at;
            const qint64 to = i + 1 < starts.size() ? starts[i + 1].at : from + 7000 * millisecond;
            // Position given less position heard, at every click: early after the start as later on.
            figures += "start " + QByteArray::number(i) + ", position given less heard (ms) at each click:";
            for (std::optional<qint64> heard = m_recorder.soundAfter(from, 0.35); heard && *heard < to;
                 heard = m_recorder.soundAfter(*heard + 100 * millisecond, 0.35)) {
                const double off = (claimedAt(*heard) - clickAt(*heard)) * 1000.0 / rate;
                figures += ' ' + QByteArray::number(off, 'f', 1);
                ok = ok && std::abs(off) <= 15;
            }
            figures += '\n';
            if (i > 0 && gap == 0)
                continue;   // the sound before the stop runs into the start: where one begins is not heard
            // The first frame heard after the start is the one it started from.
            const std::optional<qint64> sounding = m_recorder.soundAfter(from);
            const std::optional<qint64> click = sounding ? m_recorder.soundAfter(*sounding, 0.35) : std::nullopt;
            if (!click) {
                figures += "  nothing heard\n";
                ok = false;
                continue;
            }
            const double first = clickAt(*click) - double(*click - *sounding) * rate / 1e9;
            const double late = (first - double(starts[i].frame)) * 1000.0 / rate;
            figures += "  heard from " + QByteArray::number(late, 'f', 1) + " ms after its frame";
            ok = ok && std::abs(late) <= 2;
            if (i > 0 && gap > 0) {
                // Sound skipped (negative: repeated) from the last frame heard before the stop.
                const std::optional<qint64> ended = m_recorder.soundBefore(from);
                const std::optional<qint64> lastClick = ended ? m_recorder.soundBefore(*ended, 0.35) : std::nullopt;
                if (!lastClick) {
                    figures += ", no sound before the stop\n";
                    ok = false;
                    continue;
                }
                // A click is loud for its first 96 frames.
                const double last = clickAt(*lastClick) + 95 + double(*ended - *lastClick) * rate / 1e9;
                const double skipped = (first - last) * 1000.0 / rate;
                figures += ", skipped " + QByteArray::number(skipped, 'f', 1) + " ms";
                ok = ok && std::abs(skipped) <= 15;
            }
            figures += '\n';
        }
        if (qEnvironmentVariableIsSet("HF_SHOW_FIGURES"))
            std::fprintf(stderr, "%s", figures.constData());
        QVERIFY2(ok, figures.constData());
    }

private:
    // The playback streams the sound server holds.
    static int streamsOnServer()
    {
        QProcess pactl;
        pactl.start(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sink-inputs")});
        if (!pactl.waitForFinished(5000) || pactl.exitCode() != 0)
            return -1;
        return int(pactl.readAllStandardOutput().count('\n'));
    }

    // Takes the server away (`fault`; an absent one is away already), starts and stops the
    // output while it is away (again and again for 5 s when it is away for long), and brings the
    // server back. A start and a stop return at once whatever the server does; a started output
    // says within seconds that nothing is heard.
    bool startWhileAway(AudioOutput& output, Tone& tone, const QString& fault)
    {
        // A call that waits for a hung server would wait for ever: let the server go on after
        // a while, so that such a call returns and fails the check.
        std::promise<void> back;
        std::thread rescue;
        if (fault == "hung") {
            m_server->hang(true);
            rescue = std::thread([this, done = back.get_future()] {
                done.wait_for(std::chrono::seconds(5));
                m_server->hang(false);
            });
        } else if (fault != "absent") {
            m_server->kill();
        }
        const auto quick = [](auto call) {
            QElapsedTimer timer;
            timer.start();
            call();
            return timer.elapsed() < 1000;
        };
        QElapsedTimer away;
        away.start();
        bool ok = true;
        do {
            ok = quick([&] { output.start(&tone); }) && ok;
            ok = QTest::qWaitFor([&] { return output.isStalled(); }, 8000) && ok;
            ok = quick([&] { output.stop(); }) && ok;
        } while (fault == "away" && away.elapsed() < 5000);
        if (!ok)
            qWarning("%s server: a call waited for it, or a start was not reported as unheard", qPrintable(fault));
        back.set_value();
        if (rescue.joinable())
            rescue.join();
        m_server->hang(false);
        if (fault != "hung" && !m_server->start())
            return false;
        // The recording has a gap (or ended with the server): it starts again with the next start.
        m_recorder.stop();
        return ok;
    }

private:
    std::unique_ptr<SoundServer> m_server;
    SinkRecorder m_recorder;
};

QTEST_GUILESS_MAIN(TestAudioOutput)
#include "test_audio_output.moc"
