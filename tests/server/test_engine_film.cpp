// The engine's separation on film-like soundtracks: a score with drum kit, bass, brass and strings,
// dialogue lines with pauses (centred, off-centre, or in the centre channel of a 5.1 mix), and
// everyday effects. The pieces, voices, lines and effects here are generated from their own seeds
// and never used to tune the engine (HF_FILM_SET=dev runs the set that was).

#include "engine/engine.h"
#include "test_engine_fixtures.h"
#include "support/test_support.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <ctime>
#include <filesystem>

using namespace hf::engine;
namespace fx = hf::test::fixtures;

namespace {

struct FilmSet {
    QString voice;
    int lines;
    unsigned seed;
};

FilmSet filmSet()
{
    if (qEnvironmentVariable("HF_FILM_SET") == "dev")
        return {"en-us", 0, 1};
    return {"en-gb-scotland+f2", 1, 7};
}

struct Figures {
    double dialogueSdr = 0, musicSdr = 0, effectsSdr = 0;
    double dialogueOutside = 0; // dB: the dialogue stem's power outside the centre channel against the dialogue (5.1)
    double speed = 0;           // seconds of audio per second of the process's CPU time
    std::vector<std::vector<double>> shares;
    QString perSound; // shares of each instrument and effect (HF_FILM_SET=dev only)
};

QString describe(const QString& name, const Figures& f)
{
    QString text = QStringLiteral("%1: SDR dialogue %2 dB, music %3 dB, effects %4 dB; %5 s of audio per CPU second\n")
                       .arg(name)
                       .arg(f.dialogueSdr, 0, 'f', 1)
                       .arg(f.musicSdr, 0, 'f', 1)
                       .arg(f.effectsSdr, 0, 'f', 1)
                       .arg(f.speed, 0, 'f', 1);
    if (f.dialogueOutside != 0)
        text += QStringLiteral("  dialogue stem outside the centre channel: %1 dB\n").arg(f.dialogueOutside, 0, 'f', 1);
    const char* rows[] = {"dialogue", "music", "effects"};
    for (std::size_t i = 0; i < f.shares.size(); ++i)
        text += QStringLiteral("  %1 went to dialogue %2 %, music %3 %, effects %4 %\n")
                    .arg(rows[i], -8)
                    .arg(100 * f.shares[i][0], 4, 'f', 1)
                    .arg(100 * f.shares[i][1], 4, 'f', 1)
                    .arg(100 * f.shares[i][2], 4, 'f', 1);
    return text + f.perSound;
}

void record(const QString& text)
{
    qInfo().noquote() << text;
    QFile file(QDir(hf::test::outputFolder()).filePath("engine-film.txt"));
    if (file.open(QIODevice::Append))
        file.write(text.toUtf8());
}

// Separates `mix` and scores the stems against the parts.
Figures separateAndScore(const QString& name, const QString& folder, int rate, const fx::Signal& mix,
                         const std::array<fx::Signal, 3>& parts, const std::vector<std::pair<QString, fx::Signal>>& sounds = {})
{
    Figures f;
    const QString input = folder + "/film.wav";
    if (!fx::writeWav(input, mix, rate))
        return f;
    // CPU time rather than the clock, so that other work on the machine does not count.
    const std::clock_t start = std::clock();
    separateStems(input.toStdString(), (folder + "/stems").toStdString(), {}, {});
    f.speed = double(mix[0].size()) / rate / (double(std::clock() - start) / CLOCKS_PER_SEC);
    const int channels = int(mix.size());
    std::array<fx::Signal, 3> stems;
    for (int s = 0; s < 3; ++s)
        stems[s] = fx::decode(folder + "/stems/" + QString::fromLatin1(kStemFileNames[s].data(), int(kStemFileNames[s].size())), channels);
    fx::dumpCase("HF_FILM_DUMP", name, rate, mix, parts, stems);
    f.dialogueSdr = fx::sdr(parts[0], stems[0]);
    f.musicSdr = fx::sdr(parts[1], stems[1]);
    f.effectsSdr = fx::sdr(parts[2], stems[2]);
    const auto shares = fx::StemShares::measure(mix, {stems[0], stems[1], stems[2]}, {parts[0], parts[1], parts[2]});
    for (const auto& row : shares)
        f.shares.push_back({row[0], row[1], row[2]});
    if (!sounds.empty()) {
        std::vector<fx::Signal> tracks;
        for (const auto& sound : sounds)
            tracks.push_back(sound.second);
        const auto each = fx::StemShares::measure(mix, {stems[0], stems[1], stems[2]}, tracks);
        for (std::size_t i = 0; i < sounds.size(); ++i)
            f.perSound += QStringLiteral("    %1 to dialogue %2 %, music %3 %, effects %4 %\n")
                              .arg(sounds[i].first, -9)
                              .arg(100 * each[i][0], 4, 'f', 1)
                              .arg(100 * each[i][1], 4, 'f', 1)
                              .arg(100 * each[i][2], 4, 'f', 1);
    }
    return f;
}

} // namespace

class TestEngineFilm : public QObject {
    Q_OBJECT

    static constexpr int kRate = 44100;
    static constexpr double kSeconds = 24;
    QTemporaryDir m_dir;
    std::vector<float> m_voice;
    fx::Signal m_score, m_effects;
    std::vector<std::pair<QString, fx::Signal>> m_sounds;
    double m_stereoSpeed = 0;

private slots:
    void initTestCase()
    {
        if (!hf::test::haveProgram("ffmpeg") || !hf::test::haveProgram("espeak-ng"))
            QSKIP("ffmpeg and espeak-ng are needed");
        const FilmSet set = filmSet();
        m_voice = fx::dialogueLines(m_dir.path(), kSeconds, kRate, set.voice, set.lines, set.seed);
        QVERIFY(!m_voice.empty());
        m_score = fx::filmScore(kRate, kSeconds, set.seed);
        m_effects = fx::filmEffects(kRate, kSeconds, set.seed);
        const double scoreGain = 0.035 / std::sqrt(0.5 * (std::pow(fx::rms(m_score[0]), 2) + std::pow(fx::rms(m_score[1]), 2)));
        const double effectsGain = 0.03 / std::sqrt(0.5 * (std::pow(fx::rms(m_effects[0]), 2) + std::pow(fx::rms(m_effects[1]), 2)));
        fx::scaleTo(m_score, 0.035);
        fx::scaleTo(m_effects, 0.03);
        if (qEnvironmentVariable("HF_FILM_SET") == "dev") {
            const char* instruments[] = {"drums", "bass", "brass", "strings"};
            const char* effects[] = {"rain", "steps", "doors", "car", "wind", "phone"};
            for (int i = 0; i < 4; ++i) {
                fx::Signal part = fx::filmScore(kRate, kSeconds, set.seed, 1u << i);
                for (auto& plane : part)
                    for (float& v : plane)
                        v = float(v * scoreGain);
                m_sounds.emplace_back(instruments[i], part);
            }
            for (int i = 0; i < 6; ++i) {
                fx::Signal part = fx::filmEffects(kRate, kSeconds, set.seed, 1u << i);
                for (auto& plane : part)
                    for (float& v : plane)
                        v = float(v * effectsGain);
                m_sounds.emplace_back(effects[i], part);
            }
        }
        QFile::remove(QDir(hf::test::outputFolder()).filePath("engine-film.txt"));
    }

    // Dialogue in the centre, and panned to one side as a character off-centre would be.
    void stereoFilm_data()
    {
        QTest::addColumn<double>("left");
        QTest::addColumn<double>("right");
        QTest::addColumn<double>("dialogueAim");
        // Held-out figures: centred 10.2 dB, off-centre 8.7 dB. Music left is measured where music
        // plays alone, on the real recordings (test_engine_recordings).
        QTest::newRow("centred dialogue") << 1.0 << 1.0 << 9.0;
        QTest::newRow("off-centre dialogue") << 1.0 << 0.45 << 7.5;
    }

    void stereoFilm()
    {
        QFETCH(double, left);
        QFETCH(double, right);
        QFETCH(double, dialogueAim);
        QTemporaryDir dir;
        fx::Signal dialogue{m_voice, m_voice};
        for (float& v : dialogue[0])
            v = float(v * left);
        for (float& v : dialogue[1])
            v = float(v * right);
        fx::scaleTo(dialogue, 0.05);
        fx::Signal mix = fx::silence(2, m_voice.size());
        for (const auto* part : {&dialogue, &m_score, &m_effects})
            fx::addInto(mix, *part);
        const Figures f = separateAndScore(QTest::currentDataTag(), dir.path(), kRate, mix, {dialogue, m_score, m_effects}, m_sounds);
        const QString text = describe(QTest::currentDataTag(), f);
        record(text);
        if (left == right)
            m_stereoSpeed = f.speed;
        if (qEnvironmentVariable("HF_FILM_SET") == "dev")
            return;
        QVERIFY2(f.dialogueSdr >= dialogueAim, qPrintable(text));
        QVERIFY2(f.musicSdr >= 3.5, qPrintable(text));   // 4.7 and 4.1 dB
        QVERIFY2(f.effectsSdr >= 2.8, qPrintable(text)); // 3.8 and 3.4 dB
    }

    // 5.1: the dialogue in the centre channel only; the score in the front and back pairs with its
    // bass in the LFE channel; the effects around.
    void surroundFilm()
    {
        QTemporaryDir dir;
        const std::size_t frames = m_voice.size();
        std::array<fx::Signal, 3> parts = {fx::silence(6, frames), fx::silence(6, frames), fx::silence(6, frames)};
        fx::Signal voice{m_voice};
        fx::scaleTo(voice, 0.05);
        parts[0][2] = voice[0];
        for (std::size_t i = 0; i < frames; ++i) {
            parts[1][0][i] = m_score[0][i];
            parts[1][1][i] = m_score[1][i];
            parts[1][4][i] = 0.4f * m_score[0][i];
            parts[1][5][i] = 0.4f * m_score[1][i];
            parts[2][0][i] = 0.7f * m_effects[0][i];
            parts[2][1][i] = 0.7f * m_effects[1][i];
            parts[2][4][i] = 0.7f * m_effects[0][i];
            parts[2][5][i] = 0.7f * m_effects[1][i];
        }
        fx::Signal mix = fx::silence(6, frames);
        for (const auto& part : parts)
            fx::addInto(mix, part);
        Figures f = separateAndScore("5.1", dir.path(), kRate, mix, parts);
        const fx::Signal dialogueStem = fx::decode(dir.filePath("stems/dialogue.flac"), 6);
        double outside = 0;
        for (int c = 0; c < 6; ++c)
            if (c != 2)
                outside += fx::rms(dialogueStem[c]) * fx::rms(dialogueStem[c]);
        f.dialogueOutside = 10 * std::log10(std::max(outside, 1e-20) / (fx::rms(voice[0]) * fx::rms(voice[0])));
        const QString text = describe("5.1, dialogue in the centre channel", f);
        record(text);
        if (qEnvironmentVariable("HF_FILM_SET") == "dev")
            return;
        // Held out: dialogue 22.3 dB, music 6.6 dB, nothing outside the centre channel.
        QVERIFY2(f.dialogueSdr >= 21, qPrintable(text));
        QVERIFY2(f.musicSdr >= 5.5, qPrintable(text));
        QVERIFY2(f.dialogueOutside < -60, qPrintable(text));
        // Per channel at least as fast as stereo (about 1.5 times as fast when measured; timing
        // on a busy machine is noisy, hence the margin).
        if (m_stereoSpeed > 0)
            QVERIFY2(f.speed * 6 >= 0.8 * m_stereoSpeed * 2, qPrintable(text));
    }
};

QTEST_GUILESS_MAIN(TestEngineFilm)
#include "test_engine_film.moc"
