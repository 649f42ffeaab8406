// The device output against a real sound server (a private PulseAudio with a null sink): every
// start is heard at the server at once, however often it was stopped before, and a stop silences it.

#include "platform/audio_output.h"
#include "support/sound_server.h"

#include <QTest>

#include <algorithm>
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
    // or opened on each start: every start is heard, most within 100 ms, the device reads while
    // started, and the sound stops with the output.
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
        std::vector<qint64> heardAfter;   // milliseconds from each start to its sound
        for (int cycle = 0; cycle < cycles; ++cycle) {
            const QByteArray where = "Play " + QByteArray::number(cycle + 1);
            const qint64 started = steadyNanoseconds();
            output->start(&tone);
            std::optional<qint64> heard;
            QVERIFY2(QTest::qWaitFor([&] { return (heard = m_recorder.soundAfter(started)).has_value(); }, 2000),
                     where + ": nothing was heard");
            heardAfter.push_back((*heard - started) / millisecond);
            QVERIFY2(heardAfter.back() <= 1000, where + ": heard after " + QByteArray::number(heardAfter.back()) + " ms");

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
        output->release();
        // On a machine busy with other work one start may be heard later, but not most of them.
        std::ranges::sort(heardAfter);
        QVERIFY2(heardAfter[heardAfter.size() / 2] <= 100,
                 "median heard after " + QByteArray::number(heardAfter[heardAfter.size() / 2]) + " ms");
    }

private:
    std::unique_ptr<SoundServer> m_server;
    SinkRecorder m_recorder;
};

QTEST_GUILESS_MAIN(TestAudioOutput)
#include "test_audio_output.moc"
