// The audition engine's decoder and mixer on compressed files: sample-exact seeks, one shared
// position, and a track that cannot keep up holding the others back.

#include "player/audition_mixer.h"
#include "player/audition_track_decoder.h"
#include "helpers_audition.h"
#include "pipeline/ffmpeg_support.h"

#include <QTemporaryDir>
#include <QTest>

using namespace hf;
using namespace hf::test;

namespace {

// Reads `frames` frames from `position` out of a started decoder's ring.
std::vector<float> readRing(AuditionTrackDecoder& track, int64_t position, int64_t frames)
{
    std::vector<float> out(size_t(frames) * 2, 0.0f);
    int64_t done = 0;
    (void)QTest::qWaitFor(
        [&] {
            const int64_t n = std::min(frames - done, track.ring().availableAt(position + done));
            if (n > 0) {
                track.ring().mixInto(out.data() + done * 2, position + done, n, 1.0f, 0.0f);
                done += n;
            }
            return done >= frames;
        },
        5000);
    out.resize(size_t(done) * 2);
    return out;
}

} // namespace

class TestAuditionEngine : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!runFfmpeg({"-version"}))
            QSKIP("ffmpeg is not available");
        QVERIFY(m_dir.isValid());
        m_wav = m_dir.filePath("ramp.wav");
        QVERIFY(writeTrackWav(m_wav, 4.0, 0.25f));
        // 24-bit FLAC keeps the index ramp exact enough to read back every frame's index.
        m_flac = m_dir.filePath("ramp.flac");
        QVERIFY(runFfmpeg({"-i", m_wav, "-c:a", "flac", "-sample_fmt", "s32", m_flac}));
    }

    void seeksAreSampleExact_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("wav") << m_wav;
        QTest::newRow("flac") << m_flac;
    }

    void seeksAreSampleExact()
    {
        QFETCH(QString, file);
        AuditionTrackDecoder track(file, fixtureRate, 2, 4096);
        QVERIFY(std::abs(track.duration() - 4.0) < 0.01);
        track.start(0);
        auto got = readRing(track, 0, 10000);
        QString why;
        QVERIFY2(consecutive(got, 0, 0, &why), qPrintable(why));
        for (int64_t target : {int64_t(123457), int64_t(5), int64_t(191000), int64_t(80001)}) {
            track.seek(target);
            got = readRing(track, target, 3000);
            QCOMPARE(frameCount(got), 3000);
            // Past the end of the file the track reads as silence.
            const int64_t real = qMin<int64_t>(3000, 192000 - target);
            QVERIFY(std::all_of(got.begin() + real * 2, got.end(), [](float v) { return v == 0.0f; }));
            got.resize(size_t(real) * 2);
            QVERIFY2(consecutive(got, 0, target, &why), qPrintable(QString::number(target) + ": " + why));
        }
        // Past the end: the track reads as finished at once.
        track.seek(200000);
        QVERIFY(QTest::qWaitFor([&] { return track.ring().endedAt(200000); }, 5000));
    }

    // Tracks of different formats and lengths stay on one frame; after the shorter one ends,
    // the other plays on.
    void mixerKeepsTracksTogether()
    {
        const QString shortFlac = m_dir.filePath("short.flac");
        QVERIFY(runFfmpeg({"-i", m_wav, "-t", "1", "-c:a", "flac", "-sample_fmt", "s32", shortFlac}));
        AuditionMixer mixer(fixtureRate, 2);
        mixer.setTrack(AuditionMixer::clean, std::make_unique<AuditionTrackDecoder>(m_wav, fixtureRate, 2));
        mixer.setTrack(AuditionMixer::music, std::make_unique<AuditionTrackDecoder>(shortFlac, fixtureRate, 2));
        mixer.setGain(AuditionMixer::clean, 0.5f);
        mixer.setGain(AuditionMixer::music, 0.5f);
        mixer.seek(46000);
        mixer.setPlaying(true);

        std::vector<float> out;
        std::vector<float> block(2048);
        (void)QTest::qWaitFor(
            [&] {
                for (;;) {
                    const qint64 n = mixer.render(block.data(), std::min<qint64>(1024, 4000 - frameCount(out)));
                    out.insert(out.end(), block.begin(), block.begin() + n * 2);
                    if (frameCount(out) >= 4000)
                        return true;
                    if (n == 0)
                        return false;
                }
            },
            5000);
        QCOMPARE(frameCount(out), 4000);
        const qint64 fade = mixer.rampFrames();
        // Both halves carry the same frame: their sum is the full index until the short one
        // ends at 48000, then half of it.
        for (qint64 f = fade; f < 4000; ++f) {
            const double index = 46000 + f;
            const double expected = index < 48000 ? index : index / 2;
            QVERIFY2(std::abs(heardAt(out, f).rawIndex - expected) < 0.2,
                     qPrintable(QStringLiteral("frame %1: %2").arg(f).arg(heardAt(out, f).rawIndex)));
        }
        QVERIFY(mixer.trackEnded(AuditionMixer::music, mixer.position()));
        QVERIFY(!mixer.trackEnded(AuditionMixer::clean, mixer.position()));
    }

    // A full-scale 5.1 source on a stereo output is folded down as the export folds it: every
    // frame as the export's decoder gives it, and never past full scale.
    void surroundIsFoldedDownAsTheExportFoldsIt()
    {
        const QString surround = m_dir.filePath("surround.wav");
        const QString full = "sin(2*PI*440*t)";
        const QString source = "aevalsrc=exprs=" + QStringList(6, full).join('|') + ":c=5.1:s=48000:d=1";
        QVERIFY(runFfmpeg({"-f", "lavfi", "-i", source, "-c:a", "pcm_f32le", surround}));
        AuditionTrackDecoder track(surround, fixtureRate, 2);
        track.start(0);
        const std::vector<float> played = readRing(track, 0, 40000);
        media::AudioDecoder exported(surround, {fixtureRate, 2});
        std::vector<float> left(40000), right(40000);
        float* planes[] = {left.data(), right.data()};
        QVERIFY(frameCount(played) == 40000 && exported.read(planes, 40000) == 40000);
        float peak = 0, worst = 0;
        for (size_t f = 0; f < 40000; ++f) {
            peak = std::max({peak, std::abs(played[f * 2]), std::abs(played[f * 2 + 1])});
            worst = std::max({worst, std::abs(played[f * 2] - left[f]), std::abs(played[f * 2 + 1] - right[f])});
        }
        QVERIFY2(peak > 0.9f && peak <= 1.0f && worst < 1e-5f,
                 qPrintable(QStringLiteral("peak %1, off the export by %2").arg(peak).arg(worst)));
    }

private:
    QTemporaryDir m_dir;
    QString m_wav;
    QString m_flac;
};

QTEST_MAIN(TestAuditionEngine)
#include "test_audition_engine.moc"
