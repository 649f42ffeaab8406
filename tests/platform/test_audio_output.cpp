// The device output against a real sound server (a private PulseAudio with a null sink): every
// start is heard at the server at once, however often it was stopped before, and a stop silences it.

#include "platform/audio_output.h"
#include "support/sound_server.h"

#include <QTest>

#include <cmath>

using namespace hf;
using namespace hf::test;

namespace {

constexpr qint64 millisecond = 1'000'000;

// A steady tone, loud enough to tell from silence in the recording.
class Tone final : public AudioRenderer {
public:
    explicit Tone(int channels) : m_channels(channels) {}
    qint64 render(float* out, qint64 frames) noexcept override
    {
        for (qint64 i = 0; i < frames; ++i) {
            const float value = 0.3f * float(std::sin(m_phase));
            m_phase = std::fmod(m_phase + 2 * M_PI * 440.0 / SoundServer::sampleRate, 2 * M_PI);
            for (int c = 0; c < m_channels; ++c)
                out[i * m_channels + c] = value;
        }
        m_frames += frames;
        return frames;
    }
    qint64 frames() const { return m_frames.load(); }

private:
    int m_channels;
    double m_phase = 0;
    std::atomic<qint64> m_frames{0};
};

void waitNanoseconds(qint64 duration)
{
    const qint64 until = steadyNanoseconds() + duration;
    while (steadyNanoseconds() < until)
        QTest::qWait(5);
}

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

    // Play and pause as a user does, with the device kept open across pauses (as the player
    // keeps it) and without (opened on each start): each start is heard within 100 ms, the sound
    // goes on while started, and stops with the output.
    void everyStartIsHeard_data()
    {
        QTest::addColumn<bool>("prepared");
        QTest::addColumn<int>("cycles");
        QTest::newRow("kept open across pauses") << true << 20;
        QTest::newRow("opened on each start") << false << 5;
    }

    void everyStartIsHeard()
    {
        QFETCH(bool, prepared);
        QFETCH(int, cycles);
        const std::unique_ptr<AudioOutput> output = AudioOutput::createDefault(SoundServer::sampleRate);
        QVERIFY2(output->isDevice(), "the sound server's sink is not the default device");
        Tone tone(output->channels());
        if (prepared)
            output->prepare();
        for (int cycle = 0; cycle < cycles; ++cycle) {
            const QByteArray where = "Play " + QByteArray::number(cycle + 1);
            const qint64 started = steadyNanoseconds();
            output->start(&tone);
            std::optional<qint64> heard;
            QVERIFY2(QTest::qWaitFor([&] { return (heard = m_recorder.soundAfter(started)).has_value(); }, 2000),
                     where + ": nothing was heard");
            QVERIFY2(*heard - started <= 100 * millisecond,
                     where + ": heard after " + QByteArray::number((*heard - started) / millisecond) + " ms");

            // Playing on: the device keeps reading and does not count as stalled.
            waitNanoseconds(200 * millisecond);
            const qint64 framesBefore = tone.frames();
            waitNanoseconds(100 * millisecond);
            QVERIFY2(tone.frames() > framesBefore, where + ": the device stopped reading");
            QVERIFY2(!output->isStalled(), where);
            const qint64 stillPlaying = steadyNanoseconds() - 150 * millisecond;
            QVERIFY2(QTest::qWaitFor([&] { return m_recorder.soundBetween(stillPlaying, steadyNanoseconds()); }, 1000),
                     where + ": the sound stopped while playing");

            output->stop();
            const qint64 stopped = steadyNanoseconds();
            QVERIFY(!output->isStarted());
            waitNanoseconds(300 * millisecond);
            QVERIFY2(!m_recorder.soundAfter(stopped + 150 * millisecond).has_value(), where + ": still heard after stop");
        }
        output->release();
    }

private:
    std::unique_ptr<SoundServer> m_server;
    SinkRecorder m_recorder;
};

QTEST_GUILESS_MAIN(TestAudioOutput)
#include "test_audio_output.moc"
