// The engine's separation and probing: stem quality on a mixture whose parts are known, stem
// format and length, progress, cancellation, and bad input.

#include "engine/engine.h"
#include "test_engine_fixtures.h"
#include "support/test_support.h"

#include <QDir>
#include <QScopeGuard>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <filesystem>
#include <fstream>

#include <sys/resource.h>

using namespace hf::engine;
namespace fx = hf::test::fixtures;

namespace {

std::filesystem::path fsPath(const QString& path) { return std::filesystem::path(path.toStdString()); }

QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
}

} // namespace

class TestEngineSeparation : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!hf::test::haveProgram("ffmpeg") || !hf::test::haveProgram("ffprobe"))
            QSKIP("ffmpeg and ffprobe are needed");
    }

    void separatesKnownMixtureIntoItsParts()
    {
        if (!hf::test::haveProgram("espeak-ng"))
            QSKIP("espeak-ng is needed for the speech of the fixture");
        QTemporaryDir dir;
        constexpr int rate = 44100;
        constexpr double seconds = 20;
        const std::vector<float> voice = fx::speech(dir.path(), seconds, rate);
        QVERIFY(!voice.empty());
        fx::Signal dialogue{voice, voice}; // centred
        fx::Signal music = fx::chords(rate, seconds, 3);
        fx::Signal effects = fx::noiseBursts(rate, seconds, 5);
        fx::scaleTo(dialogue, 0.05);
        fx::scaleTo(music, 0.03);
        fx::scaleTo(effects, 0.025);
        fx::Signal mix = fx::silence(2, dialogue[0].size());
        for (const auto* part : {&dialogue, &music, &effects})
            fx::addInto(mix, *part);
        const QString input = dir.filePath("mix.wav");
        QVERIFY(fx::writeWav(input, mix, rate));

        const QString out = dir.filePath("stems");
        std::vector<double> reports;
        QElapsedTimer timer;
        timer.start();
        const AudioInfo info = separateStems(fsPath(input), fsPath(out), [&](double f) { reports.push_back(f); }, {});
        const double elapsed = timer.nsecsElapsed() / 1e9;

        QCOMPARE(info.frames, std::int64_t(mix[0].size()));
        QCOMPARE(info.sampleRate, rate);
        QCOMPARE(info.channels, 2);
        QVERIFY(!reports.empty());
        QVERIFY(std::is_sorted(reports.begin(), reports.end()));
        QCOMPARE(reports.back(), 1.0);
        QCOMPARE(filesIn(out), (QStringList{"dialogue.flac", "effects.flac", "music.flac"}));

        std::array<fx::Signal, 3> stems;
        for (int s = 0; s < 3; ++s) {
            const QString file = out + "/" + QString::fromLatin1(kStemFileNames[s].data(), int(kStemFileNames[s].size()));
            QCOMPARE(fx::probeField(file, "codec_name"), QByteArray("flac"));
            QCOMPARE(fx::probeField(file, "sample_rate"), QByteArray("44100"));
            QCOMPARE(fx::probeField(file, "channels"), QByteArray("2"));
            QCOMPARE(fx::probeSamples(file), std::int64_t(mix[0].size()));
            stems[s] = fx::decode(file, 2);
            QCOMPARE(stems[s][0].size(), mix[0].size());
        }

        fx::Signal sum = fx::silence(2, mix[0].size());
        for (const auto& stem : stems)
            fx::addInto(sum, stem);
        const double reconstruction = -fx::sdr(mix, sum);
        const double dialogueSdr = fx::sdr(dialogue, stems[0]);
        const double musicSdr = fx::sdr(music, stems[1]);
        const double effectsSdr = fx::sdr(effects, stems[2]);
        const double speed = seconds / elapsed;

        const QString figures = QStringLiteral(
            "Separation of a %1 s synthetic mixture (44.1 kHz stereo: espeak-ng speech in the centre, "
            "sustained chords, noise bursts):\n"
            "  SDR dialogue %2 dB, music %3 dB, effects %4 dB\n"
            "  reconstruction error of the summed stems %5 dB\n"
            "  speed %6 s of audio per second (one thread, decode and FLAC encode included)\n")
                                    .arg(seconds)
                                    .arg(dialogueSdr, 0, 'f', 1)
                                    .arg(musicSdr, 0, 'f', 1)
                                    .arg(effectsSdr, 0, 'f', 1)
                                    .arg(reconstruction, 0, 'f', 1)
                                    .arg(speed, 0, 'f', 1);
        qInfo().noquote() << figures;
        QFile record(QDir(hf::test::outputFolder()).filePath("engine-separation.txt"));
        if (record.open(QIODevice::WriteOnly | QIODevice::Truncate))
            record.write(figures.toUtf8());

        QVERIFY2(dialogueSdr >= 6, qPrintable(figures));
        QVERIFY2(musicSdr >= 3, qPrintable(figures));
        QVERIFY2(effectsSdr >= 3, qPrintable(figures));
        QVERIFY2(reconstruction < -60, qPrintable(figures));
    }

    // In a 5.1 mix the dialogue sits in the front-centre channel, on its own.
    void keepsSurroundDialogueOfTheCentreChannel()
    {
        if (!hf::test::haveProgram("espeak-ng"))
            QSKIP("espeak-ng is needed for the speech of the fixture");
        QTemporaryDir dir;
        constexpr int rate = 44100;
        constexpr double seconds = 10;
        const std::size_t frames = std::size_t(seconds * rate);
        fx::Signal voice{fx::speech(dir.path(), seconds, rate)};
        QVERIFY(!voice[0].empty());
        fx::scaleTo(voice, 0.05);
        fx::Signal chords = fx::chords(rate, seconds, 4);
        fx::scaleTo(chords, 0.03);
        fx::Signal bursts = fx::noiseBursts(rate, seconds, 6);
        fx::scaleTo(bursts, 0.025);
        // FL FR FC LFE BL BR
        fx::Signal dialogue = fx::silence(6, frames), music = fx::silence(6, frames), effects = fx::silence(6, frames);
        dialogue[2] = voice[0];
        music[0] = chords[0];
        music[1] = chords[1];
        effects[4] = bursts[0];
        effects[5] = bursts[1];
        fx::Signal mix = fx::silence(6, frames);
        for (const auto* part : {&dialogue, &music, &effects})
            fx::addInto(mix, *part);
        const QString input = dir.filePath("surround.wav");
        QVERIFY(fx::writeWav(input, mix, rate));

        separateStems(fsPath(input), fsPath(dir.filePath("stems")), {}, {});
        const double dialogueSdr = fx::sdr(dialogue, fx::decode(dir.filePath("stems/dialogue.flac"), 6));
        const double musicSdr = fx::sdr(music, fx::decode(dir.filePath("stems/music.flac"), 6));
        qInfo("5.1 mixture: SDR dialogue %.1f dB, music %.1f dB", dialogueSdr, musicSdr);
        QVERIFY(dialogueSdr >= 6);
        QVERIFY(musicSdr >= 3);
    }

    // Compressed input, other rates and channel counts: the stems follow the decoded input exactly.
    void stemsFollowTheDecodedInput_data()
    {
        QTest::addColumn<QStringList>("make");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("channels");
        QTest::newRow("aac in m4a, 48 kHz stereo")
            << QStringList{"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=3.3", "-ac", "2", "-c:a", "aac", "-b:a", "128k", "in.m4a"}
            << 48000 << 2;
        QTest::newRow("wav, 22.05 kHz mono")
            << QStringList{"-f", "lavfi", "-i", "anoisesrc=sample_rate=22050:duration=2.5:amplitude=0.3", "-c:a", "pcm_s16le", "in.wav"}
            << 22050 << 1;
        QTest::newRow("wav, four samples")
            << QStringList{"-f", "lavfi", "-i", "sine=sample_rate=44100:duration=0.0001", "-ac", "2", "in.wav"} << 44100 << 2;
        QTest::newRow("flac, 8 kHz, 6 channels")
            << QStringList{"-f", "lavfi", "-i", "sine=frequency=300:sample_rate=8000:duration=1.7", "-ac", "6", "in.flac"}
            << 8000 << 6;
    }

    void stemsFollowTheDecodedInput()
    {
        QFETCH(QStringList, make);
        QFETCH(int, rate);
        QFETCH(int, channels);
        QTemporaryDir dir;
        QVERIFY(fx::run("ffmpeg", QStringList{"-v", "error", "-nostdin", "-y"} + make.mid(0, make.size() - 1) + QStringList{dir.filePath(make.last())}));
        const QString input = dir.filePath(make.last());
        const fx::Signal decoded = fx::decode(input, channels);
        QVERIFY(!decoded.empty());

        const AudioInfo probed = probeAudio(fsPath(input));
        QCOMPARE(probed.frames, std::int64_t(decoded[0].size()));
        QCOMPARE(probed.sampleRate, rate);
        QCOMPARE(probed.channels, channels);
        QCOMPARE(probed.durationSeconds, double(decoded[0].size()) / rate);

        const AudioInfo info = separateStems(fsPath(input), fsPath(dir.filePath("stems")), {}, {});
        QCOMPARE(info.frames, probed.frames);
        fx::Signal sum = fx::silence(channels, decoded[0].size());
        for (auto name : kStemFileNames) {
            const QString file = dir.filePath("stems/" + QString::fromLatin1(name.data(), int(name.size())));
            QCOMPARE(fx::probeField(file, "sample_rate").toInt(), rate);
            QCOMPARE(fx::probeField(file, "channels").toInt(), channels);
            QCOMPARE(fx::probeSamples(file), probed.frames);
            fx::addInto(sum, fx::decode(file, channels));
        }
        QVERIFY(fx::sdr(decoded, sum) > 60);
    }

    // Stretches of one second, so that notes, bursts and the tune's phrases straddle their
    // boundaries: one thread, several threads and one long stretch give the same stems.
    void sameStemsOnAnyNumberOfThreads_data()
    {
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("rate");
        QTest::newRow("stereo, 44.1 kHz") << 2 << 44100;
        QTest::newRow("5.1, 48 kHz") << 6 << 48000;
    }

    void sameStemsOnAnyNumberOfThreads()
    {
        QFETCH(int, channels);
        QFETCH(int, rate);
        QTemporaryDir dir;
        constexpr double seconds = 7.3;
        const std::size_t frames = std::size_t(seconds * rate);
        fx::Signal tune = fx::melody(rate, seconds, 2), chords = fx::chords(rate, seconds, 8), bursts = fx::noiseBursts(rate, seconds, 9);
        fx::Signal mix = fx::silence(channels, frames);
        for (int c = 0; c < channels; ++c)
            for (std::size_t i = 0; i < frames; ++i)
                mix[c][i] = 0.1f * tune[c % 2][i] + 0.05f * chords[(c + 1) % 2][i] + (c >= 4 || channels == 2 ? 0.05f * bursts[c % 2][i] : 0.0f);
        const QString input = dir.filePath("mix.wav");
        QVERIFY(fx::writeWav(input, mix, rate));

        auto separate = [&](const QString& name, int threads, double stretchSeconds) {
            std::vector<double> reports;
            const AudioInfo info = separateStems(fsPath(input), fsPath(dir.filePath(name)), [&](double f) { reports.push_back(f); }, {},
                                                 SeparationOptions{threads, stretchSeconds});
            [&] {
                QCOMPARE(info.frames, std::int64_t(frames));
                QVERIFY(std::is_sorted(reports.begin(), reports.end()));
                QCOMPARE(reports.back(), 1.0);
            }();
            std::array<fx::Signal, 3> stems;
            for (int s = 0; s < 3; ++s)
                stems[s] = fx::decode(dir.filePath(name + "/" + QString::fromLatin1(kStemFileNames[s].data(), int(kStemFileNames[s].size()))), channels);
            return stems;
        };
        const auto one = separate("one", 1, 1.0);
        const auto several = separate("several", 4, 1.0);
        const auto whole = separate("whole", 1, 60.0);
        fx::Signal sum = fx::silence(channels, frames);
        for (int s = 0; s < 3; ++s) {
            QCOMPARE(one[s][0].size(), frames);
            QVERIFY2(one[s] == several[s], kStemFileNames[s].data());
            QVERIFY2(one[s] == whole[s], kStemFileNames[s].data());
            fx::addInto(sum, one[s]);
        }
        QVERIFY(fx::sdr(mix, sum) > 60);
    }

    // A surround layout's side and back pairs are judged on their own: what plays in one pair
    // decides nothing in another, nor in the front, so changing the front leaves each pair's
    // stems as they were, sample for sample, and changing a pair leaves the front's.
    void surroundPairsAreJudgedApart_data()
    {
        QTest::addColumn<int>("channels");
        QTest::newRow("5.1") << 6;
        QTest::newRow("7.1") << 8;
    }

    void surroundPairsAreJudgedApart()
    {
        QFETCH(int, channels);
        const QList<int> front{0, 1, 3};   // left, right and the low frequencies; 2 is the centre
        QList<QList<int>> pairs;           // side, then back
        for (int c = 4; c + 1 < channels; c += 2)
            pairs << QList<int>{c, c + 1};
        QTemporaryDir dir;
        constexpr int rate = 44100;
        constexpr double seconds = 3;
        const std::size_t frames = std::size_t(seconds * rate);
        const fx::Signal tune = fx::melody(rate, seconds, 3), chords = fx::chords(rate, seconds, 5),
                         bursts = fx::noiseBursts(rate, seconds, 7), other = fx::chords(rate, seconds, 11);
        // Each pair gets its own sounds; `changed` (-1: the front) gets other chords instead.
        auto mixWith = [&](int changed) {
            fx::Signal mix = fx::silence(channels, frames);
            for (std::size_t i = 0; i < frames; ++i) {
                mix[2][i] = 0.1f * tune[0][i];
                for (int c : front)
                    mix[c][i] = 0.05f * (changed == -1 ? other : chords)[c % 2][i] + 0.02f * tune[c % 2][i];
                for (int p = 0; p < int(pairs.size()); ++p)
                    for (int side = 0; side < 2; ++side)
                        mix[pairs[p][side]][i] = 0.05f * bursts[(side + p) % 2][i] + 0.03f * (changed == p ? other : chords)[side][i] * float(p + 1) / 2;
            }
            return mix;
        };
        auto separate = [&](const QString& name, const fx::Signal& mix) {
            const QString input = dir.filePath(name + ".wav");
            [&] { QVERIFY(fx::writeWav(input, mix, rate)); }();
            separateStems(fsPath(input), fsPath(dir.filePath(name)), {}, {});
            std::array<fx::Signal, 3> stems;
            for (int s = 0; s < 3; ++s)
                stems[s] = fx::decode(dir.filePath(name + "/" + QString::fromLatin1(kStemFileNames[s].data(), int(kStemFileNames[s].size()))), channels);
            return stems;
        };
        const auto base = separate("base", mixWith(-2));
        // Changing one group changes its own stems and no other group's.
        const auto group = [&](int g) { return g < 0 ? front : pairs[g]; };
        for (int changed = -1; changed < int(pairs.size()); ++changed) {
            const auto stems = separate(QString("changed%1").arg(changed), mixWith(changed));
            for (int g = -1; g < int(pairs.size()); ++g) {
                bool same = true;
                for (int s = 0; s < 3; ++s)
                    for (int c : group(g))
                        same = same && stems[s][c] == base[s][c];
                QVERIFY2(same == (g != changed), qPrintable(QString("group %1 after changing %2").arg(g).arg(changed)));
            }
        }
    }

    void cancellationStopsAndLeavesNoStems()
    {
        QTemporaryDir dir;
        const QString input = dir.filePath("long.wav");
        QVERIFY(fx::run("ffmpeg", {"-v", "error", "-nostdin", "-f", "lavfi", "-i", "anoisesrc=sample_rate=44100:duration=60", "-ac", "2", input}));
        const QString out = dir.filePath("stems");

        std::stop_source source;
        int reportsAfterStop = 0;
        QVERIFY_THROWS_EXCEPTION(Cancelled, separateStems(fsPath(input), fsPath(out), [&](double) {
            if (source.stop_requested())
                ++reportsAfterStop;
            source.request_stop();
        }, source.get_token()));
        QVERIFY(reportsAfterStop <= 1);
        QVERIFY(filesIn(out).isEmpty());

        // In the middle of a run on several threads, with stretches in flight: it stops within
        // a stretch's work and leaves nothing behind.
        std::stop_source parallel;
        QElapsedTimer sinceStop;
        QVERIFY_THROWS_EXCEPTION(Cancelled, separateStems(fsPath(input), fsPath(out), [&](double f) {
            if (f >= 0.3 && !parallel.stop_requested()) {
                parallel.request_stop();
                sinceStop.start();
            }
        }, parallel.get_token(), SeparationOptions{4, 2.0}));
        QVERIFY(parallel.stop_requested());
        QVERIFY2(sinceStop.elapsed() < 5000, qPrintable(QString::number(sinceStop.elapsed())));
        QVERIFY(filesIn(out).isEmpty());

        std::stop_source stopped;
        stopped.request_stop();
        QVERIFY_THROWS_EXCEPTION(Cancelled, separateStems(fsPath(input), fsPath(out), {}, stopped.get_token()));
        QVERIFY_THROWS_EXCEPTION(Cancelled, probeAudio(fsPath(input), stopped.get_token()));
        QVERIFY(filesIn(out).isEmpty());
    }

    void badInputIsAClearErrorAndLeavesNoStems_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("missing") << "missing";
        QTest::newRow("empty file") << "empty";
        QTest::newRow("not audio") << "text";
        QTest::newRow("no samples") << "silent";
        QTest::newRow("truncated m4a") << "truncated";
        QTest::newRow("video without audio") << "video";
        QTest::newRow("no room for the stems") << "full";
    }

    void badInputIsAClearErrorAndLeavesNoStems()
    {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        const QString input = dir.filePath("input");
        if (kind == "empty") {
            std::ofstream(input.toStdString());
        } else if (kind == "text") {
            std::ofstream(input.toStdString()) << "Dear server, this is a letter and not a song.\n";
        } else if (kind == "silent") {
            QVERIFY(fx::writeWav(input, fx::silence(2, 0), 44100));
        } else if (kind == "truncated") {
            const QString whole = dir.filePath("whole.m4a");
            QVERIFY(fx::run("ffmpeg", {"-v", "error", "-nostdin", "-f", "lavfi", "-i", "sine=duration=5", "-c:a", "aac", "-movflags", "+faststart", whole}));
            QFile full(whole);
            QVERIFY(full.open(QIODevice::ReadOnly));
            const QByteArray bytes = full.readAll();
            QFile cut(input);
            QVERIFY(cut.open(QIODevice::WriteOnly));
            cut.write(bytes.left(bytes.size() / 2));
        } else if (kind == "video") {
            QVERIFY(fx::run("ffmpeg", {"-v", "error", "-nostdin", "-f", "lavfi", "-i", "testsrc=duration=1:size=64x64", "-f", "matroska", input}));
        } else if (kind == "full") {
            QVERIFY(fx::run("ffmpeg", {"-v", "error", "-nostdin", "-f", "lavfi", "-i", "sine=duration=5", "-f", "wav", input}));
        }
        const QString out = dir.filePath("stems");
        QVERIFY(QDir().mkpath(out));
        std::ofstream((out + "/music.flac").toStdString()) << "a stem of an earlier run";

        // The process's file size limit stands in for a full disk.
        rlimit unlimited{};
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &unlimited) == 0);
        const auto restore = qScopeGuard([&] { ::setrlimit(RLIMIT_FSIZE, &unlimited); });
        if (kind == "full") {
            ::signal(SIGXFSZ, SIG_IGN);
            rlimit small = unlimited;
            small.rlim_cur = 64 * 1024;
            QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
        }
        try {
            separateStems(fsPath(input), fsPath(out), {}, {});
            QFAIL("separation of bad input succeeded");
        } catch (const EngineError& error) {
            QVERIFY(std::string(error.what()).size() > 10);
            QCOMPARE(error.kind() == EngineError::Kind::emptyInput, kind == "silent");
            QCOMPARE(error.kind() == EngineError::Kind::outOfSpace, kind == "full");
        }
        QVERIFY(filesIn(out).isEmpty());
        if (kind != "full")
            QVERIFY_THROWS_EXCEPTION(EngineError, probeAudio(fsPath(input)));
    }
};

QTEST_GUILESS_MAIN(TestEngineSeparation)
#include "test_engine_separation.moc"
