// The engine's song check: a catalogue of generated songs, one of them mixed under speech; it
// must be found where it plays, no other song may be reported, and after separation the verdicts
// must follow what is left in the stems.

#include "engine/engine.h"
#include "support/test_support.h"
#include "test_engine_fixtures.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <numbers>
#include <random>
#include <thread>

using namespace hf::engine;
namespace fx = hf::test::fixtures;

namespace {

std::filesystem::path fsPath(const QString& path) { return std::filesystem::path(path.toStdString()); }

constexpr int kRate = 44100;
constexpr double kSongStart = 6.0;   // where the song begins in the mix
constexpr double kSongFrom = 2.0;    // from where in the song
constexpr double kSongLength = 14.0; // for how long
constexpr double kMixLength = 24.0;

// One drum kit on one tempo (120 beats a minute): the same kick, snare and hi-hat samples on every
// hit, as songs made from one sample library share them.
fx::Signal drumKit(double seconds)
{
    constexpr double beat = 0.5;
    const double pi2 = 2 * std::numbers::pi;
    std::mt19937 random(11);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<float> snare(std::size_t(0.2 * kRate)), hat(std::size_t(0.06 * kRate));
    for (auto* sample : {&snare, &hat})
        for (float& v : *sample)
            v = float(noise(random));
    fx::lowPass(snare, kRate, 4000);
    fx::Signal out = fx::silence(2, std::size_t(seconds * kRate));
    for (int b = 0; b * beat < seconds; ++b) {
        const double t = b * beat;
        if (b % 2 == 0)
            fx::addSound(out, kRate, t, 0.3, {0.9, 0.9}, [&, phase = 0.0](double s, std::size_t) mutable {
                phase += pi2 * (50 + 90 * std::exp(-s / 0.03)) / kRate;
                return std::sin(phase) * std::exp(-s / 0.1);
            });
        else
            fx::addSound(out, kRate, t, 0.2, {0.6, 0.6}, [&](double s, std::size_t i) {
                return (snare[i] + std::sin(pi2 * 190 * s)) * std::exp(-s / 0.06);
            });
        for (int h = 0; h < 2; ++h)
            fx::addSound(out, kRate, t + h * beat / 2, 0.06, {0.25, 0.25},
                         [&](double s, std::size_t i) { return hat[i] * std::exp(-s / 0.015); });
    }
    return out;
}

// `seconds` of `signal` from `from` on.
fx::Signal cut(fx::Signal signal, double from, double seconds)
{
    for (auto& ch : signal) {
        ch.erase(ch.begin(), ch.begin() + std::ptrdiff_t(from * kRate));
        ch.resize(std::size_t(seconds * kRate));
    }
    return signal;
}

// The titles that `catalogue` names in `audio`, written to `file` first.
QStringList titlesFound(const Catalogue& catalogue, const fx::Signal& audio, const QString& file)
{
    if (!fx::writeWav(file, audio, kRate))
        return {"(not written)"};
    QStringList titles;
    for (const FoundSong& song : catalogue.identify(fsPath(file)).songs)
        titles << QString::fromStdString(song.title);
    return titles;
}

// A song of that kit with a tune of its own over it.
fx::Signal drumSong(double seconds, unsigned tune)
{
    fx::Signal song = fx::melody(kRate, seconds, tune);
    fx::scaleTo(song, 0.04);
    fx::Signal drums = drumKit(seconds);
    fx::scaleTo(drums, 0.08);
    fx::addInto(song, drums);
    return song;
}

} // namespace

class TestEngineSongCheck : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_catalogueFolder;
    std::shared_ptr<const Catalogue> m_catalogue;
    bool m_haveSpeech = false;
    fx::Signal m_song;

    QString path(const QString& name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase()
    {
        if (!hf::test::haveProgram("ffmpeg"))
            QSKIP("ffmpeg is needed");
        m_catalogueFolder = path("catalogue");
        QVERIFY(QDir().mkpath(m_catalogueFolder));
        for (unsigned seed = 1; seed <= 5; ++seed) {
            fx::Signal tune = fx::melody(kRate, 22.0, seed);
            fx::scaleTo(tune, 0.1);
            QVERIFY(fx::writeWav(m_catalogueFolder + QStringLiteral("/Band %1 - Tune %1.wav").arg(seed), tune, kRate));
            if (seed == 3)
                m_song = tune;
        }
        // A compressed reference too, as catalogues usually hold.
        QVERIFY(fx::run("ffmpeg", {"-v", "error", "-nostdin", "-i", m_catalogueFolder + "/Band 5 - Tune 5.wav", "-c:a", "aac",
                                   "-b:a", "160k", m_catalogueFolder + "/Band 5 - Tune 5.m4a"}));
        QVERIFY(QFile::remove(m_catalogueFolder + "/Band 5 - Tune 5.wav"));
        std::ofstream((m_catalogueFolder + "/Liner Notes - Not A Song.mp3").toStdString()) << "Recorded live, mostly.\n";

        m_haveSpeech = hf::test::haveProgram("espeak-ng");
        if (!m_haveSpeech)
            return;
        std::vector<float> voice = fx::speech(m_dir.path(), kMixLength, kRate);
        QVERIFY(!voice.empty());
        fx::Signal dialogue{voice, voice};
        fx::scaleTo(dialogue, 0.05);
        fx::Signal music = fx::silence(2, dialogue[0].size());
        fx::Signal excerpt = m_song;
        for (auto& ch : excerpt)
            ch.resize(std::size_t((kSongFrom + kSongLength) * kRate));
        fx::addInto(music, excerpt, std::size_t(kSongStart * kRate), std::size_t(kSongFrom * kRate));
        fx::scaleTo(music, 0.02); // under the speech
        fx::Signal effects = fx::noiseBursts(kRate, kMixLength, 9);
        fx::scaleTo(effects, 0.02);
        fx::Signal mix = fx::silence(2, dialogue[0].size());
        for (const auto* part : {&dialogue, &music, &effects})
            fx::addInto(mix, *part);
        QVERIFY(fx::writeWav(path("mix.wav"), mix, kRate));
        QVERIFY(fx::writeWav(path("speech.wav"), dialogue, kRate));
        QVERIFY(fx::writeWav(path("music.wav"), music, kRate));
        QVERIFY(fx::writeWav(path("effects.wav"), effects, kRate));
        QVERIFY(fx::writeWav(path("silence.wav"), fx::silence(2, mix[0].size()), kRate));
    }

    void catalogueReadsNamesCachesFingerprintsAndSkipsNonAudio()
    {
        m_catalogue = Catalogue::load(fsPath(m_catalogueFolder));
        QCOMPARE(m_catalogue->entries().size(), std::size_t(5));
        for (int i = 0; i < 5; ++i) {
            const auto& entry = m_catalogue->entries()[std::size_t(i)];
            QCOMPARE(QString::fromStdString(entry.artist), QStringLiteral("Band %1").arg(i + 1));
            QCOMPARE(QString::fromStdString(entry.title), QStringLiteral("Tune %1").arg(i + 1));
            QVERIFY(std::filesystem::exists(entry.file.string() + ".hffp"));
        }
        QVERIFY(!QFile::exists(m_catalogueFolder + "/Liner Notes - Not A Song.mp3.hffp"));

        // A damaged cache is rebuilt, not trusted: the catalogue still finds the song in itself.
        const QString cache = m_catalogueFolder + "/Band 2 - Tune 2.wav.hffp";
        QFile damaged(cache);
        QVERIFY(damaged.open(QIODevice::ReadWrite));
        QVERIFY(damaged.resize(damaged.size() / 2));
        damaged.close();
        auto reloaded = Catalogue::load(fsPath(m_catalogueFolder));
        QCOMPARE(reloaded->entries().size(), std::size_t(5));
        const Identification self = reloaded->identify(fsPath(m_catalogueFolder + "/Band 2 - Tune 2.wav"));
        QCOMPARE(self.songs.size(), std::size_t(1));
        QCOMPARE(self.songs[0].title, std::string("Tune 2"));
        QVERIFY(self.songs[0].stretches.front().start < 1.0);
        QVERIFY(self.songs[0].stretches.back().end > 21.0);

        QVERIFY_THROWS_EXCEPTION(EngineError, Catalogue::load(fsPath(path("no such folder"))));
    }

    void findsTheSongUnderSpeechWhereItPlays()
    {
        if (!m_haveSpeech)
            QSKIP("espeak-ng is needed for the speech of the fixture");
        QVERIFY(m_catalogue);
        QElapsedTimer timer;
        timer.start();
        const Identification found = m_catalogue->identify(fsPath(path("mix.wav")));
        const double elapsed = timer.nsecsElapsed() / 1e9;

        QCOMPARE(found.songs.size(), std::size_t(1)); // no song that is not in the mix
        const FoundSong& song = found.songs[0];
        QCOMPARE(song.artist, std::string("Band 3"));
        QCOMPARE(song.title, std::string("Tune 3"));
        QVERIFY(song.score > 0 && song.score <= 1);
        const double start = song.stretches.front().start;
        const double end = song.stretches.back().end;
        QVERIFY2(std::abs(start - kSongStart) <= 1.0, qPrintable(QString::number(start)));
        QVERIFY2(std::abs(end - (kSongStart + kSongLength)) <= 1.0, qPrintable(QString::number(end)));
        QVERIFY(found.checkedSegments >= 4);

        const QString figures = QStringLiteral("Song check of a %1 s mix (song under speech from %2 s to %3 s): found at "
                                               "%4-%5 s, score %6, %7 stretch(es), %8 segments, %9 s\n")
                                    .arg(kMixLength)
                                    .arg(kSongStart)
                                    .arg(kSongStart + kSongLength)
                                    .arg(start, 0, 'f', 2)
                                    .arg(end, 0, 'f', 2)
                                    .arg(song.score, 0, 'f', 3)
                                    .arg(song.stretches.size())
                                    .arg(found.checkedSegments)
                                    .arg(elapsed, 0, 'f', 2);
        qInfo().noquote() << figures;
        QFile record(QDir(hf::test::outputFolder()).filePath("engine-song-check.txt"));
        if (record.open(QIODevice::WriteOnly | QIODevice::Truncate))
            record.write(figures.toUtf8());

        QVERIFY(m_catalogue->identify(fsPath(path("speech.wav"))).songs.empty());
        QVERIFY(m_catalogue->identify(fsPath(path("effects.wav"))).songs.empty());
    }

    // Songs made from one drum kit on one tempo agree on many landmarks at every offset that
    // lines their bars up, and tunes in one scale share notes; only the song itself may be named.
    void songsSharingDrumsAndTempoAreNotTakenForEachOther()
    {
        const QString folder = path("drum catalogue");
        QVERIFY(QDir().mkpath(folder));
        for (unsigned tune = 1; tune <= 3; ++tune)
            QVERIFY(fx::writeWav(folder + QStringLiteral("/Kit Band - Song %1.wav").arg(tune), drumSong(40.0, tune), kRate));
        // The tune of Song 2 without its drums, as a recording of its own: another tune in the
        // same scale meets its notes by chance.
        fx::Signal tuneOnly = fx::melody(kRate, 40.0, 2);
        fx::scaleTo(tuneOnly, 0.04);
        QVERIFY(fx::writeWav(folder + "/Kit Band - Song 2 Tune.wav", tuneOnly, kRate));
        const auto catalogue = Catalogue::load(fsPath(folder));

        const fx::Signal excerpt = cut(drumSong(40.0, 2), 8.0, 20.0);
        fx::Signal underSpeech = excerpt;
        if (m_haveSpeech) {
            std::vector<float> voice = fx::speech(m_dir.path(), 20.0, kRate);
            fx::Signal dialogue{voice, voice};
            fx::scaleTo(dialogue, 0.08);
            fx::addInto(underSpeech, dialogue);
        }
        const struct {
            const char* name;
            fx::Signal audio;
            const char* expected; // the one title to be named, or none
        } cases[] = {
            {"another tune over the kit", drumSong(30.0, 9), nullptr},
            {"the kit alone", drumKit(30.0), nullptr},
            {"a catalogue song, from its middle", excerpt, "Song 2"},
            {"the same under speech", underSpeech, "Song 2"},
        };
        for (const auto& c : cases) {
            const QStringList names = titlesFound(*catalogue, c.audio, path("drum case.wav"));
            const QStringList expected = c.expected ? QStringList{c.expected} : QStringList{};
            QVERIFY2(names == expected, qPrintable(QStringLiteral("%1: %2").arg(c.name, names.join(", "))));
        }
    }

    // A recording whose sounds are all part of another one (a song and its melody alone): where
    // one of them plays, only the one that explains the landmarks is named.
    void aRecordingWithinAnotherIsNamedOnlyWhereItAloneExplainsTheSound()
    {
        const QString folder = path("layered catalogue");
        QVERIFY(QDir().mkpath(folder));
        fx::Signal melody = fx::melody(kRate, 40.0, 4);
        fx::scaleTo(melody, 0.05);
        fx::Signal song = fx::chords(kRate, 40.0, 4);
        fx::scaleTo(song, 0.04);
        fx::addInto(song, melody);
        QVERIFY(fx::writeWav(folder + "/Duo - Song.wav", song, kRate));
        QVERIFY(fx::writeWav(folder + "/Duo - Song Melody.wav", melody, kRate));
        const auto catalogue = Catalogue::load(fsPath(folder));

        const struct {
            fx::Signal audio;
            const char* expected;
        } cases[] = {{cut(song, 5.0, 20.0), "Song"}, {cut(melody, 5.0, 20.0), "Song Melody"}};
        for (const auto& c : cases) {
            const QStringList names = titlesFound(*catalogue, c.audio, path("layered case.wav"));
            QVERIFY2(names == QStringList{c.expected}, qPrintable(c.expected + QStringLiteral(": ") + names.join(", ")));
        }
    }

    void verdictsFollowWhatTheStemsStillHold()
    {
        if (!m_haveSpeech)
            QSKIP("espeak-ng is needed for the speech of the fixture");
        const std::vector<FoundSong> songs = m_catalogue->identify(fsPath(path("mix.wav"))).songs;
        QCOMPARE(songs.size(), std::size_t(1));

        // The engine's own stems: the music stem took the song away.
        separateStems(fsPath(path("mix.wav")), fsPath(path("stems")), {}, {});
        VerdictReport report = m_catalogue->verdicts(songs, fsPath(path("stems/dialogue.flac")), fsPath(path("stems/effects.flac")));
        QCOMPARE(report.songs.size(), std::size_t(1));
        QCOMPARE(verdictName(report.songs[0].verdict), std::string_view("gone"));
        QCOMPARE(report.songs[0].song.title, std::string("Tune 3"));
        QVERIFY(report.clearWithoutAmbience);
        QVERIFY(report.checkedSegments > 0);

        // The song left in the effects only: removed with the ambience at 0.
        report = m_catalogue->verdicts(songs, fsPath(path("speech.wav")), fsPath(path("music.wav")));
        QCOMPARE(verdictName(report.songs[0].verdict), std::string_view("ambienceZero"));
        QVERIFY(report.clearWithoutAmbience);

        // The song left in the dialogue.
        report = m_catalogue->verdicts(songs, fsPath(path("mix.wav")), fsPath(path("silence.wav")));
        QCOMPARE(verdictName(report.songs[0].verdict), std::string_view("stillThere"));
        QVERIFY(!report.clearWithoutAmbience);

        QVERIFY(m_catalogue->verdicts({}, fsPath(path("nothing.flac")), fsPath(path("nothing.flac"))).clearWithoutAmbience);
        QVERIFY_THROWS_EXCEPTION(EngineError, m_catalogue->verdicts(songs, fsPath(path("nothing.flac")), fsPath(path("effects.wav"))));
    }

    void sharedCatalogueAnswersThreadsAlikeAndStops()
    {
        if (!m_haveSpeech)
            QSKIP("espeak-ng is needed for the speech of the fixture");
        std::vector<std::size_t> counts(3);
        std::vector<std::jthread> threads;
        for (std::size_t i = 0; i < counts.size(); ++i)
            threads.emplace_back([&, i] { counts[i] = m_catalogue->identify(fsPath(path("mix.wav"))).songs.size(); });
        threads.clear();
        QCOMPARE(counts, (std::vector<std::size_t>{1, 1, 1}));

        std::stop_source stopped;
        stopped.request_stop();
        QVERIFY_THROWS_EXCEPTION(Cancelled, m_catalogue->identify(fsPath(path("mix.wav")), stopped.get_token()));
        QVERIFY_THROWS_EXCEPTION(Cancelled, Catalogue::load(fsPath(m_catalogueFolder), stopped.get_token()));
        QVERIFY_THROWS_EXCEPTION(EngineError, m_catalogue->identify(fsPath(m_catalogueFolder + "/Liner Notes - Not A Song.mp3")));
    }
};

QTEST_GUILESS_MAIN(TestEngineSongCheck)
#include "test_engine_song_check.moc"
