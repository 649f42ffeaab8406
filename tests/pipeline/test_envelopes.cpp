#include "helpers_media.h"

#include "pipeline/soundtrack_envelope.h"
#include "support/test_support.h"

#include <QFile>
#include <QMutex>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

using namespace hf;
using namespace hf::test;

namespace {

// The envelopes' log lines; envelopes log from worker threads, so the list is locked.
QMutex g_loggedLock;
QStringList g_logged;
QtMessageHandler g_previous = nullptr;

void capture(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (context.category && QByteArray(context.category).endsWith(".SoundtrackEnvelope")) {
        QMutexLocker lock(&g_loggedLock);
        g_logged << message;
    }
    g_previous(type, context, message);
}

QStringList logged()
{
    QMutexLocker lock(&g_loggedLock);
    return g_logged;
}

void clearLogged()
{
    QMutexLocker lock(&g_loggedLock);
    g_logged.clear();
}

} // namespace

class EnvelopesTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QUrl url(const QString& name) const { return fileUrl(path(name)); }

    // Exactly `samples` samples of 8 kHz mono float at a constant level.
    bool constant(const QString& name, const QString& level, int samples)
    {
        return ffmpeg({"-f", "lavfi", "-i", "aevalsrc=" + level + ":s=8000:d=2", "-af",
                       QStringLiteral("atrim=end_sample=%1").arg(samples), "-c:a", "pcm_f32le", path(name)});
    }

private slots:
    void initTestCase()
    {
        g_previous = qInstallMessageHandler(capture);
        QVERIFY(haveProgram("ffmpeg") && haveProgram("ffprobe"));
        QVERIFY(constant("plus.wav", "0.5", 8000));
        QVERIFY(constant("minus.wav", "-0.5", 8000));
        QVERIFY(constant("tail40.wav", "0.25", 8040));
        QVERIFY(constant("tail48.wav", "0.25", 8048));
        QVERIFY(makeTone(path("music.m4a"), 2.0, 48000, 2, "0.5*sin(2*PI*440*t)", {"-c:a", "aac"}));
        QVERIFY(makeTone(path("swell.flac"), 3.0, 44100, 2, "t*sin(2*PI*330*t)/3"));
        QVERIFY(makeTone(path("silence.wav"), 1.0, 48000, 1, "0"));
        QVERIFY(ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x48:rate=10:duration=1", "-c:v", "libx264", "-preset",
                        "ultrafast", path("picture.mp4")}));
        QFile text(path("notes.wav"));
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write("not audio at all");
    }

    void cleanupTestCase() { qInstallMessageHandler(g_previous); }

    void bucketsAndStatistics()
    {
        struct Case {
            const char* file;
            qsizetype buckets;
            float peak, rms, high, low;
        };
        for (const Case& c : {Case{"plus.wav", 50, 0.5f, 0.5f, 0.5f, 0.0f}, Case{"minus.wav", 50, 0.5f, 0.5f, 0.0f, 0.5f},
                              Case{"tail40.wav", 50, 0.25f, 0.25f, 0.25f, 0.0f},
                              Case{"tail48.wav", 51, 0.25f, 0.25f, 0.25f, 0.0f}}) {
            const auto envelope = SoundtrackEnvelope::compute(url(c.file));
            QVERIFY2(envelope.has_value(), c.file);
            QCOMPARE(envelope->bucketCount(), c.buckets);
            QCOMPARE(qsizetype(envelope->rms.size()), c.buckets);
            for (qsizetype i = 0; i < c.buckets; ++i) {
                QCOMPARE(envelope->peaks[size_t(i)], c.peak);
                QVERIFY(qAbs(envelope->rms[size_t(i)] - c.rms) < 1e-6);
                QCOMPARE(envelope->highs[size_t(i)], c.high);
                QCOMPARE(envelope->lows[size_t(i)], c.low);
            }
        }
        // 48 kHz stereo AAC, brought to 8 kHz mono: 50 buckets a second, a sine of 0.5 peaking near it.
        const auto music = runTask(SoundtrackEnvelope::load(url("music.m4a")));
        QVERIFY(music);
        QCOMPARE(music->bucketCount(), 100);
        const float peak = *std::max_element(music->peaks.begin(), music->peaks.end());
        QVERIFY2(peak > 0.45f && peak < 0.56f, qPrintable(QString::number(peak)));
        QVERIFY(qAbs(music->rms[50] - 0.5f / std::sqrt(2.0f)) < 0.03f);
        QVERIFY(logged().isEmpty());
    }

    void maxima()
    {
        SoundtrackEnvelope e;
        QCOMPARE(e.maxima(0, 1), (std::array<float, 4>{0, 0, 0, 0}));
        for (int i = 0; i < 250; ++i) {   // 5 seconds
            e.peaks.push_back(float(i));
            e.rms.push_back(float(i) / 2);
            e.highs.push_back(float(i) / 4);
            e.lows.push_back(i == 3 ? 1000.0f : 0.0f);
        }
        QCOMPARE(e.maxima(0, 0), (std::array<float, 4>{0, 0, 0, 0}));
        QCOMPARE(e.maxima(0.04, 0.05), (std::array<float, 4>{2, 1, 0.5f, 0}));
        QCOMPARE(e.maxima(0, 0.1), (std::array<float, 4>{4, 2, 1, 1000}));
        QCOMPARE(e.maxima(4.9, 60), (std::array<float, 4>{249, 124.5f, 62.25f, 0}));
        QCOMPARE(e.maxima(-3, 0.02), (std::array<float, 4>{0, 0, 0, 0}));
        QCOMPARE(e.maxima(10, 11), (std::array<float, 4>{0, 0, 0, 0}));
    }

    void missingEnvelopes()
    {
        clearLogged();
        QVERIFY(!SoundtrackEnvelope::compute(url("picture.mp4")));
        QVERIFY(logged().isEmpty());   // no audio: nothing to log
        QVERIFY(!SoundtrackEnvelope::compute(url("notes.wav")));
        QCOMPARE(logged().size(), 1);
        QVERIFY(logged()[0].startsWith("Envelope for notes.wav failed: "));

        const auto stems = runTask(StemEnvelopes::load(url("plus.wav"), url("minus.wav"), url("music.m4a")));
        QVERIFY(stems);
        QCOMPARE(stems->dialogue.highs[0], 0.5f);
        QCOMPARE(stems->music.lows[0], 0.5f);
        QCOMPARE((*stems)[Stem::effects].bucketCount(), 100);
        QVERIFY(!runTask(StemEnvelopes::load(url("plus.wav"), url("missing.wav"), url("music.m4a"))));
        QVERIFY(!runTask(StemEnvelopes::load(url("notes.wav"), url("minus.wav"), url("music.m4a"))));

        std::stop_source stop;
        stop.request_stop();
        QVERIFY(!runTask(StemEnvelopes::load(url("plus.wav"), url("minus.wav"), url("music.m4a"), stop.get_token())));
        QVERIFY(!runTask(SoundtrackEnvelope::load(url("plus.wav"), stop.get_token())));
    }

    void waveformBars()
    {
        QVERIFY(computeWaveformBars(url("music.m4a"), 0).empty());
        QCOMPARE(computeWaveformBars(url("silence.wav"), 100), std::vector<float>(100, 0.0f));
        QCOMPARE(computeWaveformBars(url("missing.wav"), 7), std::vector<float>(7, 0.0f));
        const auto bars = runTask(loadWaveformBars(url("swell.flac"), 100));
        QCOMPARE(bars.size(), size_t(100));
        QCOMPARE(*std::max_element(bars.begin(), bars.end()), 1.0f);
        // The swell grows: the last bars are the loudest, the first nearly silent.
        QVERIFY(bars[99] > 0.95f);
        QVERIFY(bars[1] < 0.05f);
        QVERIFY(bars[50] > 0.4f && bars[50] < 0.6f);
        // More bars than frames: each still measures its own window.
        const auto dense = computeWaveformBars(url("plus.wav"), 10000);
        QCOMPARE(dense.size(), size_t(10000));
        QCOMPARE(dense[9999], 1.0f);
    }
};

QTEST_GUILESS_MAIN(EnvelopesTest)
#include "test_envelopes.moc"
