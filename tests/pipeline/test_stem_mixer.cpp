#include "helpers_media.h"

#include "pipeline/stem_mixer.h"
#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cmath>

using namespace hf;
using namespace hf::test;

class StemMixerTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QUrl url(const QString& name) const { return fileUrl(path(name)); }

    static const QStringList& pcm()
    {
        static const QStringList args{"-c:a", "pcm_f32le"};
        return args;
    }

    // The output decoded by an independent reader, channel by channel.
    std::vector<std::vector<float>> channelsOf(const QString& file, int* rate = nullptr)
    {
        int ch = 0;
        const auto interleaved = decodeSamples(file, &ch, rate);
        std::vector<std::vector<float>> out(size_t(std::max(ch, 0)));
        for (size_t i = 0; ch > 0 && i < interleaved.size(); ++i)
            out[i % size_t(ch)].push_back(interleaved[i]);
        return out;
    }

    StemMixerError::Case errorOf(const std::function<void()>& f, QString* payload = nullptr)
    {
        try {
            f();
        } catch (const StemMixerError& e) {
            if (payload)
                *payload = e.payload();
            return e.errorCase();
        }
        return StemMixerError::Case(-1);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(haveProgram("ffmpeg") && haveProgram("ffprobe"));
        QVERIFY(makeTone(path("dialogue.wav"), 1.5, 48000, 1, "0.5", pcm()));
        QVERIFY(makeTone(path("loud.wav"), 1.0, 48000, 1, "0.8", pcm()));
        QVERIFY(makeTone(path("quiet.wav"), 1.0, 48000, 1, "-0.8", pcm()));
        QVERIFY(makeTone(path("effects.wav"), 0.5, 48000, 2, "0.4", pcm()));
        QVERIFY(makeTone(path("long-effects.wav.in.wav"), 2.0, 48000, 2, "0.4", pcm()));
        QVERIFY(makeTone(path("negative.wav"), 1.0, 48000, 2, "-0.4", pcm()));
        QVERIFY(makeTone(path("cd.wav"), 1.0, 44100, 2, "0.1", pcm()));
        QVERIFY(makeTone(path("noise.flac"), 2.0, 48000, 1, "0.3*sin(2*PI*440*t)+0.4*(random(0)-0.5)"));
        QVERIFY(makeTone(path("noise2.flac"), 2.0, 48000, 2, "0.3*sin(2*PI*330*t)+0.4*(random(1)-0.5)"));
        QVERIFY(ffmpeg({"-f", "lavfi", "-i", "anullsrc=r=48000:cl=mono", "-t", "0", "-c:a", "pcm_f32le", path("empty.wav")}));
    }

    void levels_data()
    {
        QTest::addColumn<double>("ambience");
        QTest::addColumn<float>("expected");   // while both stems play
        QTest::newRow("full") << 1.0 << 0.9f;
        QTest::newRow("half") << 0.5 << 0.7f;
        QTest::newRow("clamped above") << 1.7 << 0.9f;
        QTest::newRow("dialogue only") << 0.0 << 0.5f;
        QTest::newRow("negative") << -0.2 << 0.5f;
        QTest::newRow("not a number") << std::nan("") << 0.5f;
    }

    // Mono dialogue of 1.5 s with stereo effects of 0.5 s: stereo output as long as the dialogue,
    // both channels carrying it, the effects only in the first half second.
    void levels()
    {
        QFETCH(double, ambience);
        QFETCH(float, expected);
        const QString out = path("levels.wav");
        StemMixer::mixNow(url("dialogue.wav"), url("effects.wav"), fileUrl(out), AudioQuality::losslessPCM, ambience);
        const auto stream = probeStreams(out, "audio").at(0).toObject();
        QCOMPARE(stream.value("codec_name").toString(), QString("pcm_s24le"));
        int rate = 0;
        const auto channels = channelsOf(out, &rate);
        QCOMPARE(rate, 48000);
        QCOMPARE(int(channels.size()), 2);
        for (const auto& c : channels) {
            QCOMPARE(qint64(c.size()), qint64(72000));
            QVERIFY2(qAbs(c[100] - expected) < 1e-5, qPrintable(QString::number(c[100])));
            QVERIFY(qAbs(c[23999] - expected) < 1e-5);
            QVERIFY(qAbs(c[24000] - 0.5f) < 1e-5);
            QVERIFY(qAbs(c[71999] - 0.5f) < 1e-5);
        }
    }

    // Every sample of each output channel is the sum of that channel of each stem (a narrower
    // stem repeats its last), chunk after chunk over a long mix.
    void mixIsTheSumOfItsStems_data()
    {
        QTest::addColumn<QString>("dialogue");   // the stems' expressions; "|" parts a channel
        QTest::addColumn<QString>("effects");
        QTest::addColumn<double>("seconds");
        QTest::newRow("stereo dialogue, mono effects") << "0.4|-0.4" << "-0.1" << 1.0;
        QTest::newRow("mono dialogue, stereo effects") << "0.5" << "0.2|-0.2" << 1.0;
        QTest::newRow("ten seconds of noise") << "0.5*(random(0)-0.5)|0.3*sin(2*PI*300*t)"
                                              << "0.4*(random(1)-0.5)|0.4*(random(2)-0.5)" << 10.0;
    }
    void mixIsTheSumOfItsStems()
    {
        QFETCH(QString, dialogue);
        QFETCH(QString, effects);
        QFETCH(double, seconds);
        QVERIFY(makeTone(path("sum-dialogue.flac"), seconds, 48000, 1, dialogue));
        QVERIFY(makeTone(path("sum-effects.flac"), seconds, 48000, 1, effects));
        const QString out = path("sum-mix.wav");
        StemMixer::mixNow(url("sum-dialogue.flac"), url("sum-effects.flac"), fileUrl(out), AudioQuality::losslessPCM, 0.5);
        const auto d = channelsOf(path("sum-dialogue.flac"));
        const auto e = channelsOf(path("sum-effects.flac"));
        const auto mixed = channelsOf(out);
        QCOMPARE(int(mixed.size()), 2);
        double worst = 0;
        for (size_t c = 0; c < 2; ++c) {
            const auto& dc = d[std::min(c, d.size() - 1)];
            const auto& ec = e[std::min(c, e.size() - 1)];
            QCOMPARE(mixed[c].size(), size_t(seconds * 48000));
            for (size_t i = 0; i < mixed[c].size(); ++i)
                worst = std::max(worst, double(std::fabs(mixed[c][i] - std::clamp(dc[i] + 0.5f * ec[i], -1.0f, 1.0f))));
        }
        QVERIFY2(worst < 1e-5, qPrintable(QString::number(worst)));
    }

    // A long mix says how far it has come, often and in order, up to its end.
    void progressArrivesInOrder()
    {
        QVERIFY(makeTone(path("long-dialogue.flac"), 180, 48000, 2, "0.3*sin(2*PI*200*t)"));
        QVERIFY(makeTone(path("long-noise.flac"), 180, 48000, 2, "0.2*(random(0)-0.5)"));
        std::vector<double> reports;
        StemMixer::mixNow(url("long-dialogue.flac"), url("long-noise.flac"), QUrl(), url("long-mix.m4a"),
                          AudioQuality::aac, 0.5, {}, [&](double f) { reports.push_back(f); });
        // One report a chunk of 65536 frames: 132 for three minutes at 48 kHz.
        QVERIFY2(reports.size() >= 130, qPrintable(QString::number(reports.size())));
        for (size_t i = 1; i < reports.size(); ++i)
            QVERIFY2(reports[i] > reports[i - 1], qPrintable(QString::number(i)));
        QVERIFY(reports.front() > 0 && reports.front() < 0.02);
        QCOMPARE(reports.back(), 1.0);
        QVERIFY(reports[reports.size() / 2] > 0.4 && reports[reports.size() / 2] < 0.6);
    }

    void clipping()
    {
        const QString out = path("clipped.wav");
        StemMixer::mixNow(url("loud.wav"), url("effects.wav"), fileUrl(out), AudioQuality::losslessPCM, 1.0);
        auto channels = channelsOf(out);
        QVERIFY(qAbs(channels[0][10] - 1.0f) < 1e-6);
        QVERIFY(channels[0][10] <= 1.0f);
        QVERIFY(qAbs(channels[1][30000] - 0.8f) < 1e-5);   // the effects ended at 0.5 s
        StemMixer::mixNow(url("quiet.wav"), url("negative.wav"), fileUrl(out), AudioQuality::losslessPCM, 1.0);
        channels = channelsOf(out);
        QCOMPARE(channels[1][10], -1.0f);
    }

    // Effects that outlast the dialogue go on at the ambience level to their own end.
    void effectsLongerThanTheDialogue()
    {
        const QString out = path("long-effects.wav");
        StemMixer::mixNow(url("loud.wav"), url("long-effects.wav.in.wav"), fileUrl(out), AudioQuality::losslessPCM, 0.5);
        const auto channels = channelsOf(out);
        QCOMPARE(int(channels.size()), 2);
        for (const auto& c : channels) {
            QCOMPARE(qint64(c.size()), qint64(96000));
            QVERIFY(qAbs(c[100] - 1.0f) < 1e-5);   // 0.8 + 0.5 x 0.4
            QVERIFY(qAbs(c[48000] - 0.2f) < 1e-5);
            QVERIFY2(qAbs(c[95999] - 0.2f) < 1e-5, qPrintable(QString::number(c[95999])));
        }
    }

    // Stems with starts of their own keep them, on one timeline; stems that start at zero are
    // placed where the soundtrack they were separated from starts.
    void stemsOnTheSoundtracksTimeline()
    {
        QVERIFY(ffmpeg({"-itsoffset", "1", "-i", path("dialogue.wav"), "-c:a", "aac", path("late.m4a")}));
        const double lateStart = probeStreams(path("late.m4a"), "audio").at(0).toObject().value("start_time").toString().toDouble();
        QVERIFY2(qAbs(lateStart - 1.0) < 0.03, qPrintable(QString::number(lateStart)));

        const QString together = path("together.wav");
        StemMixer::mixNow(url("loud.wav"), url("late.m4a"), fileUrl(together), AudioQuality::losslessPCM, 1.0);
        const auto mixed = channelsOf(together);
        // From 0 to the late stem's end, within the AAC file's millisecond of rounding.
        QVERIFY2(qAbs(qint64(mixed[0].size()) - 120000) < 480, qPrintable(QString::number(mixed[0].size())));
        QVERIFY(qAbs(mixed[0][24000] - 0.8f) < 1e-4);
        QVERIFY(qAbs(mixed[0][60000] - 0.5f) < 0.01);

        const QString placed = path("placed.m4a");
        StemMixer::mixNow(url("loud.wav"), url("effects.wav"), url("late.m4a"), fileUrl(placed), AudioQuality::aac, 1.0);
        const QJsonObject stream = probeStreams(placed, "audio").at(0).toObject();
        QVERIFY2(qAbs(stream.value("start_time").toString().toDouble() - lateStart) < 0.025,
                 qPrintable(stream.value("start_time").toString()));
        QVERIFY(qAbs(stream.value("duration").toString().toDouble() - 1.0) < 0.03);
    }

    void aacBitRates()
    {
        struct Case {
            const char* dialogue;
            const char* effects;
            int channels;
            int bitRate;
        };
        for (const Case& c : {Case{"noise.flac", "noise.flac", 1, 160000}, Case{"noise.flac", "noise2.flac", 2, 256000}}) {
            const QString out = path("clean.m4a");
            StemMixer::mixNow(url(c.dialogue), url(c.effects), fileUrl(out), AudioQuality::aac, 0.75);
            const auto stream = probeStreams(out, "audio").at(0).toObject();
            QCOMPARE(stream.value("codec_name").toString(), QString("aac"));
            QCOMPARE(stream.value("channels").toInt(), c.channels);
            const double measured = stream.value("bit_rate").toString().toDouble();
            QVERIFY2(qAbs(measured - c.bitRate) < 0.2 * c.bitRate, qPrintable(QString::number(measured)));
            QVERIFY(qAbs(probeDuration(out) - 2.0) < 0.03);
        }
    }

    void errorsComeInOrderAndKeepTheOldFile()
    {
        const QString out = path("kept.wav");
        QFile old(out);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("an earlier mix");
        old.close();
        using C = StemMixerError::Case;
        QString payload;
        auto mix = [&](const char* d, const char* e, const char* o = "kept.wav",
                       AudioQuality q = AudioQuality::losslessPCM) {
            return [=, this] { StemMixer::mixNow(url(d), url(e), url(o), q, 1.0); };
        };
        QCOMPARE(errorOf(mix("missing.wav", "missing.flac"), &payload), C::unreadableStem);
        QCOMPARE(payload, QString("dialogue"));
        QCOMPARE(errorOf(mix("dialogue.wav", "missing.flac"), &payload), C::unreadableStem);
        QCOMPARE(payload, QString("effects"));
        QCOMPARE(errorOf(mix("dialogue.wav", "cd.wav")), C::sampleRateMismatch);
        QCOMPARE(errorOf(mix("dialogue.wav", "effects.wav", "clean.m4a", AudioQuality::losslessPCM), &payload),
                 C::writeFailed);
        QCOMPARE(payload, QString("Unsupported audio format."));
        QCOMPARE(StemMixerError::sampleRateMismatch().localizedDescription(),
                 QString("The downloaded stems don't share a sample rate."));
        QCOMPARE(StemMixerError::writeFailed("x").localizedDescription(), QString("Couldn't write the clean soundtrack: x"));

        std::stop_source stop;
        stop.request_stop();
        QVERIFY_THROWS_EXCEPTION(Cancelled, StemMixer::mixNow(url("dialogue.wav"), url("effects.wav"), fileUrl(out),
                                                              AudioQuality::losslessPCM, 1.0, stop.get_token()));
        QVERIFY(old.open(QIODevice::ReadOnly));
        QCOMPARE(old.readAll(), QByteArray("an earlier mix"));
        old.close();
        const QStringList leftovers = QDir(m_dir.path()).entryList({".*.part"}, QDir::Files | QDir::Hidden);
        QVERIFY2(leftovers.isEmpty(), qPrintable(leftovers.join(", ")));

        // A finished mix replaces it.
        const QUrl written = runTask(StemMixer::mix(url("dialogue.wav"), url("effects.wav"), fileUrl(out),
                                                    AudioQuality::losslessPCM, 1.0));
        QCOMPARE(written, fileUrl(out));
        QCOMPARE(probeStreams(out, "audio").size(), 1);
    }

    void emptyStems()
    {
        const QString out = path("empty-mix.wav");
        StemMixer::mixNow(url("empty.wav"), url("empty.wav"), fileUrl(out), AudioQuality::losslessPCM, 1.0);
        QVERIFY(QFileInfo::exists(out));
        QVERIFY(decodeSamples(out).empty());
    }
};

QTEST_GUILESS_MAIN(StemMixerTest)
#include "test_stem_mixer.moc"
