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
#include <limits>
#include <thread>
#include <vector>

using namespace hf;
using namespace hf::test;

namespace {

constexpr qint64 millisecond = 1'000'000;

// A square wave, loud enough to tell from silence in the recording, with a louder click at every
// quarter second of its frames: a click heard tells which frame was heard when. A stopped tone
// can be set to go on from another frame.
class Tone final : public AudioRenderer {
public:
    static constexpr qint64 period = SoundServer::sampleRate / 4;
    static constexpr double click = 0.4;   // a level only clicks pass
    explicit Tone(int channels) : m_channels(channels) {}
    qint64 render(float* out, qint64 frames) noexcept override
    {
        if (m_muted) {
            std::fill(out, out + frames * m_channels, 0.0f);
            return 0;
        }
        for (qint64 i = 0; i < frames * m_channels; ++i) {
            const qint64 n = m_frames + i / m_channels;
            out[i] = (n % period < 96 ? 0.6f : 0.2f) * (n / 48 % 2 ? 1 : -1);
        }
        m_frames += frames;
        if (const AudioOutput* output = m_reader.load())
            (void)output->latencyFrames();
        return frames;
    }
    qint64 frames() const { return m_frames.load(); }
    void setFrames(qint64 frame) { m_frames = frame; }
    // Muted, it renders silence and its frames stand still.
    void mute(bool muted) { m_muted = muted; }
    // Reads the output's latency at each render, as a player may at any moment: also just as a
    // stream takes its first sound.
    void readWhileRendering(const AudioOutput* output) { m_reader = output; }

private:
    int m_channels;
    std::atomic<qint64> m_frames{0};
    std::atomic<bool> m_muted{false};
    std::atomic<const AudioOutput*> m_reader{nullptr};
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
        QTest::newRow("server killed while playing") << true << 2 << QStringLiteral("killed");
        QTest::newRow("server away for 5 s") << true << 2 << QStringLiteral("away");
        QTest::newRow("no server at start") << true << 2 << QStringLiteral("absent");
        QTest::newRow("server stopped a moment while playing") << true << 2 << QStringLiteral("stopped a moment");
        QTest::newRow("server stopped 1 s while playing") << true << 2 << QStringLiteral("stopped 1 s");
        QTest::newRow("server stopped over a pause") << true << 2 << QStringLiteral("stopped over a pause");
    }

    void everyStartIsHeard()
    {
        QFETCH(bool, prepared);
        QFETCH(int, cycles);
        QFETCH(QString, fault);
        if (fault == "absent")
            m_server->kill();
        else if (!m_recorder.isRecording())
            QVERIFY(m_recorder.start());   // after a row that failed while the server was away
        const std::unique_ptr<AudioOutput> output = AudioOutput::createDefault(SoundServer::sampleRate);
        QVERIFY2(output->isDevice(), "the sound server's sink is not the default device");
        Tone tone(output->channels());
        if (prepared)
            output->prepare();
        for (int cycle = 0; cycle < cycles; ++cycle) {
            const QByteArray where = "Play " + QByteArray::number(cycle + 1);
            const bool afterFault = !fault.isEmpty() && (fault == "absent" ? cycle == 0 : cycle > 0);
            if (afterFault) {
                const QByteArray failed = startWhileAway(*output, tone, fault);
                QVERIFY2(failed.isEmpty(), where + ": " + failed);
            }
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
            (void)QTest::qWaitFor(
                [&] {
                    gaveUp = gaveUp || output->isStalled();
                    return (heard = m_recorder.soundAfter(started)).has_value();
                },
                4000);
            QVERIFY2(heard, where + ": nothing was heard");
            QVERIFY2(!gaveUp, where + ": the output said it was not heard before it was");

            // A device that reads takes about what the sink plays meanwhile (more than half of it);
            // one that stopped takes no more than its buffer, 70 ms. Over 300 ms the sink played, not
            // of the clock: a server that waited for a core plays less, and asks for no more. Nor
            // over 300 ms in which the server was late (its monitor's data came over 50 ms late):
            // its main thread, which asks for more sound, waited for a core, and the sink played
            // silence meanwhile. Another 300 ms are measured, five at most.
            qint64 taken = 0, played = 0, late = 0;
            for (int span = 0; span < 5 && (span == 0 || late > 50 * millisecond); ++span) {
                const qint64 spanFrom = steadyNanoseconds(), framesBefore = tone.frames(), playedBefore = m_recorder.samples();
                (void)QTest::qWaitFor([&] { return m_recorder.samples() - playedBefore >= 300 * 48; }, 5000);
                taken = tone.frames() - framesBefore;
                played = m_recorder.samples() - playedBefore;
                late = m_recorder.lateBetween(spanFrom, steadyNanoseconds());
            }
            QVERIFY2(played >= 300 * 48 && taken > played / 2,
                     where + ": the device took " + QByteArray::number(taken) + " frames while the sink played "
                         + QByteArray::number(double(played) / 48, 'f', 1) + " ms (the server up to "
                         + QByteArray::number(late / millisecond) + " ms late)");
            QVERIFY2(!output->isStalled(), where);

            output->stop();
            const qint64 stopped = steadyNanoseconds();
            QTest::qWait(300);
            QVERIFY2(!m_recorder.soundAfter(stopped + 150 * millisecond).has_value(), where + ": still heard after stop");
        }
        if (prepared && fault.isEmpty()) {
            // Paused, the output asks the server nothing: the server wakes no more than without
            // the output. The recording stops meanwhile: it wakes the server some 400 times a
            // second, more or fewer as the machine is busy, and an output asking for its timing
            // about 300.
            m_recorder.stop();
            const auto wakes = [&] {
                const long before = m_server->contextSwitches();
                QTest::qWait(1000);
                return m_server->contextSwitches() - before;
            };
            const long paused = wakes();
            output->release();
            const long away = wakes();
            output->prepare();
            QVERIFY2(paused < away + 50, "the server was woken while paused: " + QByteArray::number(paused) +
                                                 " times in a second, against " + QByteArray::number(away) + " without it");
            QVERIFY(m_recorder.start());
            // A seek while playing is heard without a gap: no 5 ms without the tone. The stream
            // played until then sounds on for the time its buffer lasts (some 80 ms) while the
            // server makes the new one; on a busy machine that may take longer, and a silence
            // after it says nothing of the seek. Nor does one where the tone starved (a thread waited
            // for a core) just before or after its window, or where the server was late (its
            // monitor's data came over 50 ms late, and so did its requests for more sound): another
            // seek is made, three are judged.
            output->start(&tone);
            QTest::qWait(300);
            const auto gapAt = [&](qint64 t, qint64 to) {   // the first gap's time, else `to`
                for (; t < to && m_recorder.soundBetween(t, t + 5 * millisecond); t += millisecond) {}
                return t;
            };
            int judged = 0;
            int seek = 0;
            for (; seek < 20 && judged < 3; ++seek) {
                const qint64 at = steadyNanoseconds(), from = at - 50 * millisecond, to = at + 60 * millisecond;
                output->stopForRestart();
                output->start(&tone);
                QTest::qWait(400);
                if (gapAt(from - 100 * millisecond, from) < from || gapAt(to, to + 100 * millisecond) < to + 100 * millisecond
                    || m_recorder.lateBetween(from - 100 * millisecond, to + 100 * millisecond) > 50 * millisecond)
                    continue;
                ++judged;
                const qint64 t = gapAt(from, to);
                QVERIFY2(t == to, "a gap " + QByteArray::number((t - at) / millisecond) + " ms after a seek");
            }
            QVERIFY2(judged == 3, "the tone starved, or the server was late, around " + QByteArray::number(seek - judged)
                                      + " seeks of " + QByteArray::number(seek));
            output->stop();
            // Seeks while playing stop and start at once, before the server has made the silent
            // stream a stop asks for: none of those streams stays on the server.
            for (int seek = 0; seek < 8; ++seek) {
                output->start(&tone);
                output->stop();
            }
            int streams = -1;
            (void)QTest::qWaitFor([&] { return (streams = streamsOnServer()) == 1; }, 3000);
            QCOMPARE(streams, 1);
        }
        output->release();
    }

    // The position a player reads from the output (what it rendered less the output's latency) is
    // the frame heard, from the first moment after a start as much as seconds later, and a Pause
    // then Play that takes up that position again is heard from that frame on: nothing skipped,
    // nothing repeated. The output waits opened before each start, as a player's does. Also on a
    // sink of long latency, part of what is not heard yet: one that plays into a FIFO, played once
    // and measured from a second on (the FIFO keeps what was played before a stop, and the sink's
    // latency settles over its first half second).
    void positionIsWhatIsHeard_data()
    {
        QTest::addColumn<bool>("piped");
        QTest::newRow("null sink") << false;
        QTest::newRow("sink of long latency") << true;
    }

    void positionIsWhatIsHeard()
    {
        QFETCH(bool, piped);
        constexpr double rate = SoundServer::sampleRate;
        SinkRecorder fromPipe;
        QVERIFY(!piped || fromPipe.startFromPipe(m_server->usePipeSink(true)));
        if (!piped && !m_recorder.isRecording())
            QVERIFY(m_recorder.start());   // after a row that failed while its recording was stopped
        SinkRecorder& recorder = piped ? fromPipe : m_recorder;
        const std::unique_ptr<AudioOutput> output = AudioOutput::createDefault(SoundServer::sampleRate);
        Tone tone(output->channels());
        output->prepare();
        QTest::qWait(1000);
        // The position given, read every 2 ms while playing (as a player reads it): (steady time, frame).
        std::vector<std::pair<qint64, qint64>> given;
        const auto position = [&] { return output->withLatency([&](qint64 latency) { return tone.frames() - latency; }); };
        std::vector<qint64> ends;   // the last read of each Play
        const auto playFor = [&](int milliseconds) {
            QElapsedTimer timer;
            timer.start();
            while (timer.elapsed() < milliseconds) {
                given.emplace_back(steadyNanoseconds(), position());
                QThread::msleep(2);
            }
            ends.push_back(given.back().first);
        };
        // The position given at `ns` (the median of the reads around it), and the click heard then.
        const auto givenAt = [&](qint64 ns) {
            std::vector<double> near;
            for (const auto& [t, frame] : given)
                if (std::abs(t - ns) < 20 * millisecond)
                    near.push_back(double(frame) - double(t - ns) * rate / 1e9);
            std::sort(near.begin(), near.end());
            return near.empty() ? std::nan("") : near[near.size() / 2];
        };
        const auto clickAt = [&](qint64 ns) { return std::round(givenAt(ns) / Tone::period) * Tone::period; };
        const auto unbroken = [&](qint64 from, qint64 to) {
            for (qint64 t = from; t + 5 * millisecond <= to; t += millisecond)
                if (!recorder.soundBetween(t, t + 5 * millisecond))
                    return false;
            return true;
        };

        std::vector<std::pair<qint64, qint64>> starts{{steadyNanoseconds(), 0}};   // (when, from which frame)
        std::vector<qint64> pauses{0};   // when the position was read at each Pause
        output->start(&tone);
        // The second Pause comes soon after a Play: a position still settling is met there.
        for (int played : piped ? std::vector<int>{} : std::vector<int>{3100, 300, 3100}) {
            playFor(played);
            pauses.push_back(steadyNanoseconds());
            const qint64 frame = position();
            output->stop();
            tone.setFrames(frame);
            QTest::qWait(400);
            starts.emplace_back(steadyNanoseconds(), frame);
            output->start(&tone);
        }
        playFor(7000);
        output->release();
        QTest::qWait(200);
        fromPipe.stop();
        m_server->usePipeSink(false);

        QByteArray figures, failed;
        const auto fail = [&](const QByteArray& why) { failed += "\n" + why; };
        int broken = 0, allClicks = 0, astray = 0, late = 0;
        const qint64 lateBound = (piped ? 20 : 50) * millisecond;
        const auto note = [&](size_t play, const char* what, double ms, double bound) {
            figures += "; " + QByteArray(what) + " " + QByteArray::number(ms, 'f', 1);
            if (std::abs(ms) > bound)
                fail("Play " + QByteArray::number(play + 1) + ": " + what + " " + QByteArray::number(ms, 'f', 1)
                     + ", past " + QByteArray::number(bound) + " ms");
        };
        for (size_t i = 0; i < starts.size(); ++i) {
            const auto [from, frame] = starts[i];
            // Each click heard while the position was read; one with no read near it (the reading
            // thread waited for a core that long) says nothing. So does one heard soon after the
            // recording came late: on a busy machine the server's main thread waits for a core,
            // and it asks for more sound too late (the sound breaks off) and reports late (the
            // position moves on through such a break until the next report says it, and holds
            // after it until the sound is there again); a click read late from the pipe is timed
            // that much late. One soon after a break in the sound while the server was on time
            // counts as a click past twice the bound (on the null sink; the pipe's reader does not
            // see when the server is late).
            figures += "\nPlay " + QByteArray::number(i + 1) + ": position given less heard at each click (ms)";
            int clicks = 0;
            std::vector<double> offsets;
            const qint64 soundFrom = recorder.soundAfter(from + (piped ? 1000 : 0) * millisecond).value_or(from);
            for (auto heard = recorder.soundAfter(from + (piped ? 1000 : 0) * millisecond, Tone::click);
                 heard && *heard < ends[i];
                 heard = recorder.soundAfter(*heard + 100 * millisecond, Tone::click)) {
                if (std::isnan(givenAt(*heard)))
                    continue;
                if (recorder.lateBetween(*heard - 200 * millisecond, *heard) > lateBound) {
                    ++late;
                    continue;
                }
                ++clicks;
                if (!piped && !unbroken(std::max(soundFrom, *heard - 200 * millisecond), *heard)) {
                    figures += " (broken)";
                    ++astray;
                    continue;
                }
                offsets.push_back((givenAt(*heard) - clickAt(*heard)) * 1000 / rate);
            }
            // The Play's median click is held to the bound, and all but one click in ten to twice
            // it: a busy machine holds back the server's reports now and then for longer than the
            // stream's buffer lasts (the position waits for the next one meanwhile), or the reads,
            // or the sink itself (a null sink late on a core plays what it owes at once, while the
            // recording counts its samples evenly); what the pipe gives is timed by a thread
            // reading it, late on a busy machine.
            const double bound = piped ? 40 : 15;
            for (const double offset : offsets) {
                figures += " " + QByteArray::number(offset, 'f', 1);
                astray += std::abs(offset) > 2 * bound;
            }
            allClicks += clicks;
            if (!offsets.empty()) {
                std::nth_element(offsets.begin(), offsets.begin() + offsets.size() / 2, offsets.end());
                note(i, "median click", offsets[offsets.size() / 2], bound);
            }
            if (piped)
                continue;
            // The first frame heard is the one played from; the last one heard before the Pause, too.
            // Each is told by a click with a read near it, the first such after or before it (the
            // tone between runs on without a gap).
            const auto sounding = recorder.soundAfter(from);
            auto click = sounding ? recorder.soundAfter(*sounding, Tone::click) : std::nullopt;
            while (click && *click < ends[i] && std::isnan(givenAt(*click)))
                click = recorder.soundAfter(*click + 100 * millisecond, Tone::click);
            const auto ended = recorder.soundBefore(from);
            auto lastClick = ended ? recorder.soundBefore(*ended, Tone::click) : std::nullopt;
            while (i > 0 && lastClick && *lastClick > starts[i - 1].first && std::isnan(givenAt(*lastClick)))
                lastClick = recorder.soundBefore(*lastClick - 100 * millisecond, Tone::click);
            if (!click || (i > 0 && !lastClick)) {
                fail("Play " + QByteArray::number(i + 1) + ": not heard, or no click of it with a read near it");
                continue;
            }
            // A frame is told from a click by the time since it, while the sound went on without
            // a break: on a busy machine the stream may run dry for a while (the output's thread
            // waited for a core that long, or the server's), and a Play or a Pause with a break so
            // near it says nothing of the position; one of them at most has one where the server
            // was on time.
            if (!unbroken(*sounding, *click) || (i > 0 && !unbroken(*lastClick, *ended))) {
                figures += "; the sound broke off near it";
                if (recorder.lateBetween(*sounding - 100 * millisecond, *click) > lateBound
                    || (i > 0 && recorder.lateBetween(*lastClick, *ended + 100 * millisecond) > lateBound))
                    figures += " (the server late)";
                else if (++broken > 1)
                    fail("Play " + QByteArray::number(i + 1) + ": the sound broke off near its start or end, "
                         "as near an earlier one");
                continue;
            }
            const double first = clickAt(*click) - double(*click - *sounding) * rate / 1e9;
            note(i, "heard from (ms after its frame)", (first - double(frame)) * 1000 / rate, 2);
            if (i == 0)
                continue;
            // A click is loud for its first 96 frames.
            const double last = clickAt(*lastClick) + 95 + double(*ended - *lastClick) * rate / 1e9;
            // What sounded from the read to the stop taking effect is heard again after the Play;
            // on a busy machine the stop may take long (the thread or the server waited for a
            // core), which says nothing of the position: the position kept is judged against what
            // was heard when it was read.
            const double ranOn = double(*ended - pauses[i]) * rate / 1e9;
            figures += "; sounded on after the read (ms) " + QByteArray::number(ranOn * 1000 / rate, 'f', 1);
            note(i, "kept less heard then (ms)", (first - last + ranOn) * 1000 / rate, 15);
        }
        figures += "\nclicks past twice the bound: " + QByteArray::number(astray) + " of " + QByteArray::number(allClicks)
                   + " (not judged: " + QByteArray::number(late) + " soon after the recording came late)";
        if (astray * 10 > allClicks)
            fail("clicks past twice the bound: " + QByteArray::number(astray) + " of " + QByteArray::number(allClicks));
        if (allClicks < 10)
            fail(QByteArray::number(allClicks) + " clicks judged: the recording came late near most");
        // Between the server's reports the position moves on with the time, and it never goes
        // back while playing: two reads 2 ms apart in a Play (past its first 200 ms) stand still
        // only where a report came later than the stream's buffer lasts, now and then on a busy
        // machine: reads where the server was late (its monitor's data came over 50 ms late in
        // the 100 ms before) are not counted for that. (The pipe sink's reports may put the sound
        // behind where the one before had it, and the position holds until it is there: up to 5 %
        // of its reads beside 8 busy processes.)
        int reads = 0, still = 0, back = 0;
        for (size_t i = 0; i < starts.size(); ++i)
            for (size_t k = 1; k < given.size(); ++k) {
                if (given[k - 1].first < starts[i].first + 200 * millisecond || given[k].first > ends[i])
                    continue;
                back += given[k].second < given[k - 1].second;
                if (!piped && recorder.lateBetween(given[k].first - 100 * millisecond, given[k].first) > 50 * millisecond)
                    continue;
                ++reads;
                still += given[k].second == given[k - 1].second;
            }
        figures += "\nreads standing still: " + QByteArray::number(still) + " of " + QByteArray::number(reads)
                   + " with the server on time; going back: " + QByteArray::number(back);
        if (back > 0)
            fail("the position went back " + QByteArray::number(back) + " times");
        if (!piped && still * 10 > reads)
            fail("reads standing still: " + QByteArray::number(still) + " of " + QByteArray::number(reads));
        if (qEnvironmentVariableIsSet("HF_SHOW_FIGURES"))
            std::fprintf(stderr, "%s\n", figures.constData());
        QVERIFY2(failed.isEmpty(), (failed + "\n" + figures).constData());
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

    // Takes the server away (`fault`; an absent one is away already; a killed one goes while the
    // output plays), starts and stops the output while it is away (again and again for 5 s when
    // it is away for long), and brings the server back. A start and a stop return at once
    // whatever the server does; a started output says within seconds that nothing is heard, and
    // whether no server could be reached or one stopped answering. Returns what failed, else
    // nothing.
    QByteArray startWhileAway(AudioOutput& output, Tone& tone, const QString& fault)
    {
        if (fault.startsWith("stopped"))
            return stopWhilePlaying(output, tone, fault);
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
            if (fault == "killed")
                output.start(&tone);
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
        QByteArray failed;
        do {
            ok = quick([&] { output.start(&tone); }) && ok;
            ok = QTest::qWaitFor([&] { return output.isStalled(); }, 8000) && ok;
            // (A server killed while paused may be found gone only after the start.)
            if (fault == "absent" || fault == "hung" || fault == "killed")
                ok = output.isUnreachable() == (fault == "absent") && ok;
            ok = quick([&] { output.stop(); }) && ok;
        } while (fault == "away" && away.elapsed() < 5000);
        if (!ok)
            failed = fault.toUtf8() + " server: a call waited for it, or a start was not reported as unheard";
        back.set_value();
        if (rescue.joinable())
            rescue.join();
        m_server->hang(false);
        if (fault != "hung" && !m_server->start())
            return failed + " the server did not start again: " + m_server->unavailable().toUtf8();
        // The recording has a gap (or ended with the server): it starts again with the next start.
        m_recorder.stop();
        return failed;
    }

    // Stops the server for a moment while the output plays (`fault`). Meanwhile the position moves
    // on with the time from the server's last report for most of a stop shorter than the stream's
    // buffer, as a server late to answer on a busy machine plays on (a moment, five times), and
    // the output asks the stopped server once, not again at every sample (1 s). A Pause and a
    // Play from another frame while it is stopped take nothing from the closed stream's answer
    // that comes once it goes on (read at the new stream's first render, it would put the new
    // position at all rendered for as long as the old had played). Returns what failed, else
    // nothing.
    QByteArray stopWhilePlaying(AudioOutput& output, Tone& tone, const QString& fault)
    {
        const auto position = [&] { return output.withLatency([&](qint64 latency) { return tone.frames() - latency; }); };
        const qint64 stoppedFor = fault == "stopped 1 s" ? 1000 : 100;
        if (!m_recorder.start())   // counts the tone's frames the sink plays from here on
            return "the recording did not start";
        const qint64 toneFrom = tone.frames();
        std::optional<qint64> kept;   // the tone's frame a Play takes up from once nothing is heard
        output.start(&tone);
        QTest::qWait(fault == "stopped over a pause" ? 1500 : 300);
        std::optional<qint64> heardInAll;   // the tone's frames the sink played, before the stop and after it
        qint64 moved = 0;   // the most the position moved on during a stop, frames
        qint64 piled = 0;
        int reads = 0, heardAll = 0;   // after the Play: reads once rendering, and those with no latency
        for (int stop = 0; stop < (fault == "stopped a moment" ? 5 : 1); ++stop) {
            m_server->hang(true);
            // What the output sends the stopped server once an answer on its way has come: a
            // request of under a kilobyte (as the kernel counts it) at most; asked again at every
            // sample, one every 10 ms (up to the client library's 32). Sound it sends for a request
            // that came before the stop (late on a busy machine) is not counted.
            qint64 sent = -1, framesThen = 0;
            qint64 least = std::numeric_limits<qint64>::max(), most = 0;
            for (QElapsedTimer stopped; !stopped.isValid() || stopped.elapsed() < stoppedFor; QThread::msleep(1)) {
                if (!stopped.isValid())
                    stopped.start();
                if (sent < 0 && stopped.elapsed() >= 20) {
                    framesThen = tone.frames();
                    sent = SoundServer::unreadSent();
                }
                const qint64 frame = position();
                least = std::min(least, frame);
                most = std::max(most, frame);
                if (!kept && output.isStalled()) {
                    kept = output.withUntaken([&](qint64 untaken) { return tone.frames() - untaken; }) - toneFrom;
                    // From here on the tone is silent: what is heard of it in all was given before.
                    tone.mute(true);
                }
            }
            const qint64 sound = (tone.frames() - framesThen) * output.channels() * qint64(sizeof(float));
            piled = std::max(piled, SoundServer::unreadSent() - sent - sound);
            // (Of five stops, one at least begins soon after a report.)
            moved = std::max(moved, most - least);
            if (fault == "stopped over a pause") {
                output.stop();
                const qint64 from = position() + 10 * SoundServer::sampleRate;
                tone.setFrames(from);
                tone.readWhileRendering(&output);
                output.start(&tone);
                m_server->hang(false);
                for (QElapsedTimer played; !played.isValid() || played.elapsed() < 1000; QThread::msleep(2)) {
                    if (!played.isValid())
                        played.start();
                    qint64 rendered = 0;
                    const qint64 latency = output.withLatency([&](qint64 latency) { return rendered = tone.frames(), latency; });
                    reads += rendered > from;
                    heardAll += rendered > from && latency == 0;
                }
                tone.readWhileRendering(nullptr);
            }
            m_server->hang(false);
            QTest::qWait(100);
            // What the server held when it stopped it plays once it goes on, and that reaches the
            // recording late on a busy machine: counted once the recording has stood still for 200 ms.
            if (kept && !heardInAll) {
                heardInAll = m_recorder.samples(0.03);
                for (QElapsedTimer waited; !waited.isValid() || waited.elapsed() < 5000;) {
                    if (!waited.isValid())
                        waited.start();
                    QThread::msleep(200);
                    const qint64 now = m_recorder.samples(0.03);
                    if (now == *heardInAll)
                        break;
                    heardInAll = now;
                }
            }
        }
        output.stop();
        tone.mute(false);
        m_recorder.stop();
        // Playing on, the stream's buffer is not heard yet: the position is behind all rendered.
        const bool ownAnswer = heardAll * 4 < reads || fault != "stopped over a pause";
        const double movedMs = double(moved) * 1000 / SoundServer::sampleRate;
        const bool movedOn = movedMs >= stoppedFor / 2 || fault != "stopped a moment", askedOnce = piled < 2048;
        // Once the output says nothing is heard (the player pauses), a Play takes up from the last
        // frame heard, before the stop or after it: nothing heard twice, nothing lost.
        const double keptMs = kept && heardInAll ? double(*kept - *heardInAll) * 1000 / SoundServer::sampleRate
                                                 : std::nan("");
        const bool keptHeard = fault != "stopped 1 s" || std::abs(keptMs) <= 10;
        const QByteArray figures =
            QString::asprintf("the position moved on %.1f ms at most while stopped for %lld ms; %lld bytes sent "
                                 "meanwhile at most; %d of %d reads after the Play had heard all rendered; a Play once "
                                 "nothing was heard would take up %.1f ms past the last frame heard",
                                 movedMs, stoppedFor, piled, heardAll, reads, keptMs)
                .toUtf8();
        if (qEnvironmentVariableIsSet("HF_SHOW_FIGURES"))
            std::fprintf(stderr, "Server stopped: %s\n", figures.constData());
        return movedOn && askedOnce && ownAnswer && keptHeard ? QByteArray() : figures;
    }

private:
    std::unique_ptr<SoundServer> m_server;
    SinkRecorder m_recorder;
};

QTEST_GUILESS_MAIN(TestAudioOutput)
#include "test_audio_output.moc"
