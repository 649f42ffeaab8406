// The engine's separation on film-like soundtracks mixed from real recordings: recorded voices,
// music and effects from Debian packages that scripts/install-deps installs. The packages of the
// held-out set are never used to train or tune the engine; HF_RECORDINGS_SET=dev runs a set from
// other packages (installed by hand) that may be, HF_RECORDINGS_SET=second a second held-out set. Each case goes through the upload's AAC, and is
// scored three ways: the engine, the ideal ratio masks made from the true parts at the engine's
// frame length (the bound of a mask separation), and doing nothing (the input as every stem).

#include "engine/engine.h"
#include "support/test_support.h"
#include "test_engine_fixtures.h"
#include "test_engine_measures.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <random>

using namespace hf::engine;
namespace fx = hf::test::fixtures;
namespace ms = hf::test::measures;

namespace {

constexpr int kRate = 44100;
constexpr double kSeconds = 20;
constexpr std::size_t kFrames = std::size_t(kSeconds * kRate);

// A folder of a voice's recorded prompts.
struct Voice {
    QString folder;
    QString format;        // ffmpeg's input format, when the files need one
    int bytesPerSecond;    // of the files, to pick lines by their size
};

// Where a set's recordings are: two voices (a woman's and, in the held-out set, a man's), three
// pieces of music, and effects by kind (files, or members of a zip archive).
struct RecordingSet {
    QString name;
    Voice firstVoice, secondVoice;
    QStringList music;
    QString effectsArchive; // empty: the effects are plain files
    QMap<QString, QStringList> effects;
    QStringList packages;
};

RecordingSet heldOutSet()
{
    return {"held-out",
            {"/usr/share/asterisk/sounds/fr_CA_f_June", "g722", 8000},
            {"/usr/share/asterisk/sounds/it_IT_m_Carlo", "g722", 8000},
            {"/usr/share/games/asc/music/frontiers.mp3", "/usr/share/games/asc/music/machine_wars.mp3",
             "/usr/share/games/asc/music/time_to_strike.mp3"},
            "/usr/share/games/ufoai/base/0snd.pk3",
            {{"fire", {"sound/ambience/fire.ogg"}},
             {"wind", {"sound/ambience/arcticwind.ogg"}},
             {"water", {"sound/ambience/water01.ogg"}},
             {"city", {"sound/ambience/city_abnd_ufoai_atm.ogg"}},
             {"thunder", {"sound/ambience/thunder2.ogg"}},
             {"steps", {"sound/footsteps/gravel1.ogg", "sound/footsteps/gravel2.ogg", "sound/footsteps/gravel3.ogg",
                        "sound/footsteps/gravel4.ogg"}},
             {"door", {"sound/doors/door1-close.ogg", "sound/doors/door2-open.ogg", "sound/doors/door3-close.ogg"}}},
            {"asterisk-core-sounds-fr-g722", "asterisk-core-sounds-it-g722", "asc-music", "ufoai-sound"}};
}

// Other packages, installed by hand (asterisk-core-sounds-ru-g722, asterisk-prompt-es-co,
// colobot-common-sounds), for trying changes to the engine on: two women's voices, and the game's
// numbered sounds standing in for the held-out set's kinds of effects.
RecordingSet devSet()
{
    const QString sounds = "/usr/share/games/colobot/sounds/sound%1.wav";
    const QString music = "/usr/share/games/colobot/music/%1.ogg";
    return {"dev",
            {"/usr/share/asterisk/sounds/ru_RU_f_IvrvoiceRU", "g722", 8000},
            {"/usr/share/asterisk/sounds/es", "gsm", 1650},
            {music.arg("Constructive"), music.arg("Humanitarian"), music.arg("Quite")},
            {},
            {{"fire", {sounds.arg("044")}},
             {"wind", {sounds.arg("047")}},
             {"water", {sounds.arg("042")}},
             {"city", {sounds.arg("076")}},
             {"thunder", {sounds.arg("070")}},
             {"steps", {sounds.arg("013"), sounds.arg("059"), sounds.arg("005"), sounds.arg("035")}},
             {"door", {sounds.arg("022"), sounds.arg("062"), sounds.arg("033")}}},
            {"asterisk-core-sounds-ru-g722", "asterisk-prompt-es-co", "colobot-common-sounds"}};
}

// A second held-out set, from packages that no other set and no training run has used, installed
// by hand (ktuberling-data, warmux-data, singularity-music, widelands-data, hyperrogue-music,
// unknown-horizons): a Ukrainian woman's and a Catalan man's recorded words, rock, electronic and
// orchestral game music, and the nearest kinds of effects these packages hold (a steam hiss for
// the fire, a storm, sea waves for the water, a town square, an explosion's rumble for the
// thunder, footsteps, gates and a trapdoor for the doors). Run once, for a change already chosen.
RecordingSet secondHeldOutSet()
{
    const QString words = "/usr/share/ktuberling/sounds/%1";
    const QString hyper = "/usr/share/hyperrogue/sounds/%1.ogg";
    const QString horizons = "/usr/share/unknown-horizons/content/audio/%1.ogg";
    return {"second held-out",
            {words.arg("uk"), {}, 14578},
            {words.arg("ca"), {}, 10938},
            {"/usr/share/games/warmux/music/ingame/Olivier_Militon.-.Like_a_rock.ogg",
             "/usr/share/games/singularity/music/Media Threat.ogg", "/usr/share/games/widelands/data/music/ingame_10.ogg"},
            {},
            {{"fire", {hyper.arg("steamhiss")}},
             {"wind", {hyper.arg("storm")}},
             {"water", {horizons.arg("music/waves")}},
             {"city", {horizons.arg("sounds/main_square")}},
             {"thunder", {hyper.arg("explosion")}},
             {"steps", {"/usr/share/games/warmux/sound/default/misc/step.ogg"}},
             {"door", {hyper.arg("closegate"), hyper.arg("opengate"), hyper.arg("trapdoor")}}},
            {"ktuberling-data", "warmux-data", "singularity-music", "widelands-data", "hyperrogue-music", "unknown-horizons"}};
}

// HF_DEV_MUSIC (paths joined by ':') puts other music in the set's three places, for trying the engine
// on a style of music the set lacks.
RecordingSet currentSet()
{
    const QString which = qEnvironmentVariable("HF_RECORDINGS_SET");
    RecordingSet set = which == "dev" ? devSet() : which == "second" ? secondHeldOutSet() : heldOutSet();
    if (qEnvironmentVariableIsSet("HF_DEV_MUSIC")) {
        set.name += " with other music"; // not the held-out set any more: its floors do not apply
        set.music = qEnvironmentVariable("HF_DEV_MUSIC").split(':');
    }
    return set;
}

fx::Signal decodeFile(const QString& path, int channels, const QString& format = {}, double from = 0, double length = 0)
{
    QStringList options;
    if (!format.isEmpty())
        options << "-f" << format;
    if (from > 0)
        options << "-ss" << QString::number(from);
    if (length > 0)
        options << "-t" << QString::number(length);
    return fx::decode(path, channels, kRate, options);
}

// Mean power over every sample of every channel.
double power(const fx::Signal& s) { return s.empty() || s[0].empty() ? 0 : ms::dot(s, s) / double(s.size() * s[0].size()); }

void scale(fx::Signal& s, double gain)
{
    for (auto& plane : s)
        for (float& v : plane)
            v = float(v * gain);
}

// Cuts the quiet (40 dB under the peak) off both ends of a mono recording.
std::vector<float> trimmed(std::vector<float> x)
{
    float peak = 0;
    for (float v : x)
        peak = std::max(peak, std::abs(v));
    const float floor = peak * 0.01f;
    auto first = std::find_if(x.begin(), x.end(), [&](float v) { return std::abs(v) > floor; });
    auto last = std::find_if(x.rbegin(), x.rend(), [&](float v) { return std::abs(v) > floor; }).base();
    return first < last ? std::vector<float>(first, last) : std::vector<float>{};
}

// Lines of one voice from `from` seconds on, pauses of 0.8-1.8 s between them, the lines drawn from
// the folder's prompts of 1-4 s. Mono, speech at an RMS of 0.1 (about -20 dBFS) while it sounds.
std::vector<float> voiceLines(const Voice& voice, double from, double until, unsigned seed)
{
    QStringList files;
    for (const QFileInfo& file : QDir(voice.folder).entryInfoList(QDir::Files, QDir::Name))
        if (file.size() >= 1.2 * voice.bytesPerSecond && file.size() <= 4.5 * voice.bytesPerSecond)
            files << file.fileName();
    std::mt19937 random(seed);
    std::shuffle(files.begin(), files.end(), random);
    std::vector<float> out(kFrames, 0.0f);
    std::size_t at = std::size_t(from * kRate);
    double speech = 0;
    std::size_t spoken = 0;
    for (const QString& file : files) {
        const fx::Signal s = decodeFile(voice.folder + "/" + file, 1, voice.format);
        if (s.empty())
            continue;
        const std::vector<float> line = trimmed(s[0]);
        if (line.size() < std::size_t(1.0 * kRate) || line.size() > std::size_t(4.0 * kRate))
            continue;
        if (at + line.size() > std::size_t(until * kRate))
            break;
        std::copy(line.begin(), line.end(), out.begin() + std::ptrdiff_t(at));
        for (float v : line)
            speech += double(v) * v;
        spoken += line.size();
        at += line.size() + std::size_t((0.8 + (random() % 100) / 100.0) * kRate);
    }
    const double gain = spoken ? 0.1 / std::sqrt(speech / double(spoken)) : 0;
    for (float& v : out)
        v = float(v * gain);
    return out;
}

// 1 where no one speaks, 0.3 (about -10 dB) while a line sounds (and 0.3 s around it), with
// 0.2 s ramps: music ducked under speech and louder between lines.
std::vector<float> ducking(const std::vector<float>& voice)
{
    const std::size_t reach = std::size_t(0.3 * kRate);
    std::vector<float> target(voice.size(), 1.0f);
    std::size_t lastSpoken = std::numeric_limits<std::size_t>::max();
    for (std::size_t i = 0; i < voice.size(); ++i)
        if (std::abs(voice[i]) > 1e-4f)
            lastSpoken = i;
        else if (lastSpoken != std::numeric_limits<std::size_t>::max() && i - lastSpoken < reach)
            target[i] = 0.3f;
    for (std::size_t i = voice.size(); i-- > 0;)
        if (std::abs(voice[i]) > 1e-4f)
            lastSpoken = i, target[i] = 0.3f;
        else if (lastSpoken != std::numeric_limits<std::size_t>::max() && lastSpoken - i < reach)
            target[i] = 0.3f;
    const double a = 1 - std::exp(-1.0 / (0.07 * kRate));
    double g = 1;
    for (float& t : target) {
        g += a * (t - g);
        t = float(g);
    }
    return target;
}

struct Sound {
    QString name;
    int stem; // 0 dialogue, 1 music, 2 effects
    fx::Signal signal;
};

struct Case {
    QString name;
    int channels = 2;
    std::vector<Sound> sounds;

    fx::Signal part(int stem) const
    {
        fx::Signal out = fx::silence(channels, kFrames);
        for (const Sound& s : sounds)
            if (s.stem == stem)
                fx::addInto(out, s.signal);
        return out;
    }
};

// Places a recording (stereo or mono, given as two channels) into `channels` channels with a gain
// for each, from `at` seconds, at `rms` over its own length.
fx::Signal placed(fx::Signal recording, int channels, std::initializer_list<double> gains, double at, double rms)
{
    fx::Signal out = fx::silence(channels, kFrames);
    if (recording.empty() || recording[0].empty())
        return out;
    scale(recording, rms / std::sqrt(power(recording)));
    std::size_t c = 0;
    for (double g : gains) {
        // Channels 0, 2, 4 take the recording's left, 1, 3, 5 its right (a centre takes the left).
        const auto& plane = recording[c % 2 < recording.size() ? c % 2 : 0];
        for (std::size_t i = 0; i < plane.size() && std::size_t(at * kRate) + i < kFrames; ++i)
            out[c][std::size_t(at * kRate) + i] = float(plane[i] * g);
        if (++c == std::size_t(channels))
            break;
    }
    return out;
}

class Library {
public:
    Library(RecordingSet set, const QString& folder) : m_set(std::move(set)), m_folder(folder) {}

    bool extract()
    {
        if (m_set.effectsArchive.isEmpty())
            return true;
        QStringList members;
        for (const QStringList& files : m_set.effects)
            members += files;
        return fx::run("unzip", QStringList{"-q", "-o", m_set.effectsArchive} + members + QStringList{"-d", m_folder});
    }

    // A steady recording looped to `length` seconds (stereo).
    fx::Signal ambience(const QString& kind, double length) const
    {
        const fx::Signal one = decodeFile(effectFile(kind, 0), 2);
        fx::Signal out = fx::silence(2, std::size_t(length * kRate));
        if (one.empty() || one[0].empty())
            return {};
        for (int c = 0; c < 2; ++c)
            for (std::size_t i = 0; i < out[c].size(); ++i)
                out[c][i] = one[c][i % one[c].size()];
        return out;
    }

    fx::Signal event(const QString& kind, int index) const { return decodeFile(effectFile(kind, index), 2); }

    // A sequence of events, one every `every` seconds, for `length` seconds.
    fx::Signal sequence(const QString& kind, double length, double every) const
    {
        fx::Signal out = fx::silence(2, std::size_t(length * kRate));
        for (int k = 0; k * every < length; ++k) {
            const fx::Signal e = event(kind, k);
            if (e.empty())
                return {};
            fx::addInto(out, e, std::size_t(k * every * kRate));
        }
        for (auto& plane : out)
            plane.resize(std::size_t(length * kRate));
        return out;
    }

    fx::Signal music(int index, double length) const { return decodeFile(m_set.music[index], 2, {}, 40, length); }

    const RecordingSet& set() const { return m_set; }

private:
    QString effectFile(const QString& kind, int index) const
    {
        const QStringList& files = m_set.effects[kind];
        const QString file = files[index % files.size()];
        return m_set.effectsArchive.isEmpty() ? file : m_folder + "/" + file;
    }

    RecordingSet m_set;
    QString m_folder;
};

std::vector<Case> makeCases(const Library& lib)
{
    const RecordingSet& set = lib.set();
    const std::vector<float> woman = voiceLines(set.firstVoice, 3, kSeconds - 0.5, 11);
    const std::vector<float> man = voiceLines(set.secondVoice, 3, kSeconds - 0.5, 12);
    auto duckedMusic = [&](int index, const std::vector<float>& voice, int channels, std::initializer_list<double> gains) {
        fx::Signal m = placed(lib.music(index, kSeconds), channels, gains, 0, 0.06);
        const std::vector<float> gain = ducking(voice);
        for (auto& plane : m)
            for (std::size_t i = 0; i < plane.size(); ++i)
                plane[i] *= gain[i];
        return m;
    };
    std::vector<Case> cases;
    // Music alone for the first 3 s, then a woman's lines in the centre over fire and footsteps,
    // a door near the end.
    cases.push_back({"stereo: woman centred, music, fire, steps, door",
                     2,
                     {{"woman", 0, placed({woman, woman}, 2, {1, 1}, 0, std::sqrt(power({woman})))},
                      {"music", 1, duckedMusic(0, woman, 2, {1, 1})},
                      {"fire", 2, placed(lib.ambience("fire", 17), 2, {1, 0.6}, 3, 0.02)},
                      {"steps", 2, placed(lib.sequence("steps", 4, 0.55), 2, {0.8, 1}, 6, 0.04)},
                      {"door", 2, placed(lib.event("door", 0), 2, {1, 0.7}, 14, 0.05)}}});
    // Music alone for 3 s, then a man's lines off to one side over wind and a city, two doors.
    cases.push_back({"stereo: man off-centre, music, wind, city, doors",
                     2,
                     {{"man", 0, placed({man, man}, 2, {1, 0.45}, 0, std::sqrt(power({man})))},
                      {"music", 1, duckedMusic(1, man, 2, {1, 1})},
                      {"wind", 2, placed(lib.ambience("wind", 17), 2, {1, 1}, 3, 0.02)},
                      {"city", 2, placed(lib.ambience("city", 12), 2, {1, 1}, 8, 0.02)},
                      {"doors", 2, fx::sum(placed(lib.event("door", 1), 2, {0.7, 1}, 11, 0.05), placed(lib.event("door", 2), 2, {1, 0.6}, 17, 0.05))}}});
    // 5.1 (L R C LFE Ls Rs): the man and footsteps in the centre channel, music in the front and back
    // pairs, water and thunder around.
    {
        Case c{"5.1: man and steps in the centre, music, water, thunder", 6, {}};
        c.sounds.push_back({"man", 0, placed({man}, 6, {0, 0, 1}, 0, std::sqrt(power({man})))});
        c.sounds.push_back({"music", 1, duckedMusic(2, man, 6, {1, 1, 0, 0, 0.5, 0.5})});
        c.sounds.push_back({"steps", 2, placed(lib.sequence("steps", 5, 0.6), 6, {0, 0, 1}, 9, 0.04)});
        c.sounds.push_back({"water", 2, placed(lib.ambience("water", 17), 6, {0.7, 0.7, 0, 0, 1, 1}, 3, 0.02)});
        c.sounds.push_back({"thunder", 2, placed(lib.event("thunder", 0), 6, {1, 1, 0, 0, 1, 1}, 6, 0.04)});
        cases.push_back(c);
    }
    cases.push_back({"stereo: music alone", 2, {{"music", 1, placed(lib.music(2, kSeconds), 2, {1, 1}, 0, 0.06)}}});
    // No music at all: whatever goes to the music stem is lost from the clean soundtrack.
    cases.push_back({"stereo: woman centred, no music, water, steps, thunder",
                     2,
                     {{"woman", 0, placed({woman, woman}, 2, {1, 1}, 0, std::sqrt(power({woman})))},
                      {"water", 2, placed(lib.ambience("water", 20), 2, {0.6, 1}, 0, 0.02)},
                      {"steps", 2, placed(lib.sequence("steps", 5, 0.5), 2, {1, 1}, 4, 0.04)},
                      {"thunder", 2, placed(lib.event("thunder", 0), 2, {1, 1}, 12, 0.04)}}});
    return cases;
}

struct Score {
    std::array<double, 3> sdr{}, siSdr{};
    double musicLeft = 0;
    double effectsKept = 0;                      // the effects part's share in the effects stem
    std::vector<std::array<double, 3>> routing; // per sound of the case
};

Score score(const Case& c, const fx::Signal& input, const std::array<fx::Signal, 3>& stems, const ms::Stretches& musicAlone)
{
    Score s;
    for (int k = 0; k < 3; ++k) {
        const fx::Signal truth = c.part(k);
        const bool silent = power(truth) == 0;
        s.sdr[k] = silent ? std::nan("") : ms::sdr(truth, stems[k]);
        s.siSdr[k] = silent ? std::nan("") : ms::siSdr(truth, stems[k]);
    }
    s.musicLeft = musicAlone.empty() ? std::nan("") : ms::musicLeft(input, stems[0], stems[2], musicAlone);
    for (const Sound& sound : c.sounds)
        s.routing.push_back(ms::routing(stems, sound.signal));
    const fx::Signal effects = c.part(2);
    s.effectsKept = power(effects) > 0 ? ms::routing(stems, effects)[2] : std::nan("");
    return s;
}

ms::Stretches musicAloneIn(const Case& c)
{
    const fx::Signal d = c.part(0), e = c.part(2);
    return ms::silentStretches({&d, &e}, kFrames, kRate);
}

QString dB(double v) { return std::isnan(v) ? QStringLiteral("-") : std::isinf(v) ? QString(v < 0 ? "-inf" : "inf") : QString::number(v, 'f', 1); }

void record(const QString& text)
{
    qInfo().noquote() << text;
    QFile file(QDir(hf::test::outputFolder()).filePath("engine-recordings.txt"));
    if (file.open(QIODevice::Append))
        file.write(text.toUtf8());
}

QString describe(const Case& c, const Score& engine, const Score& ideal, const Score& nothing)
{
    QString text = c.name + "\n";
    const std::pair<const char*, const Score*> rows[] = {{"engine", &engine}, {"ideal masks", &ideal}, {"doing nothing", &nothing}};
    for (const auto& [label, s] : rows)
        text += QStringLiteral("  %1 SDR dialogue %2, music %3, effects %4 dB; SI-SDR %5, %6, %7 dB; music left %8 dB; "
                               "effects kept %9 %\n")
                    .arg(label, -13)
                    .arg(dB(s->sdr[0]), dB(s->sdr[1]), dB(s->sdr[2]), dB(s->siSdr[0]), dB(s->siSdr[1]), dB(s->siSdr[2]))
                    .arg(dB(s->musicLeft))
                    .arg(std::isnan(s->effectsKept) ? QStringLiteral("-") : QString::number(100 * s->effectsKept, 'f', 0));
    for (std::size_t i = 0; i < c.sounds.size(); ++i)
        text += QStringLiteral("    %1 to dialogue/music/effects: engine %2/%3/%4 %, ideal %5/%6/%7 %\n")
                    .arg(c.sounds[i].name, -8)
                    .arg(100 * engine.routing[i][0], 0, 'f', 0)
                    .arg(100 * engine.routing[i][1], 0, 'f', 0)
                    .arg(100 * engine.routing[i][2], 0, 'f', 0)
                    .arg(100 * ideal.routing[i][0], 0, 'f', 0)
                    .arg(100 * ideal.routing[i][1], 0, 'f', 0)
                    .arg(100 * ideal.routing[i][2], 0, 'f', 0);
    return text;
}

// The aims of the separation, case by case, and whether the engine meets them.
QString aims(const Case& c, const Score& engine, const Score& ideal)
{
    QStringList met, missed;
    auto check = [&](bool ok, const QString& what) { (ok ? met : missed) << what; };
    if (!std::isnan(engine.sdr[0]))
        check(engine.sdr[0] >= ideal.sdr[0] - 3, "dialogue SDR within 3 dB of the ideal masks");
    if (!std::isnan(engine.sdr[2]))
        check(engine.sdr[2] >= ideal.sdr[2] - 4, "effects SDR within 4 dB of them");
    if (!std::isnan(engine.musicLeft))
        check(engine.musicLeft <= -25, "music left at most -25 dB");
    for (std::size_t i = 0; i < c.sounds.size(); ++i) {
        if (c.sounds[i].stem == 0)
            check(engine.routing[i][0] >= 0.9, c.sounds[i].name + " at least 90 % in dialogue");
        if (c.sounds[i].stem == 2)
            check(engine.routing[i][2] >= 0.7, c.sounds[i].name + " at least 70 % in effects");
    }
    return QStringLiteral("  aims met: %1\n  aims missed: %2\n").arg(met.join("; "), missed.join("; "));
}

struct Floors {
    double dialogue, effects, musicLeft, voiceShare, effectsKept;
};
constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

} // namespace

Q_DECLARE_METATYPE(Floors)

class TestEngineRecordings : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::vector<Case> m_cases;

private slots:
    void initTestCase()
    {
        const RecordingSet set = currentSet();
        if (!hf::test::haveProgram("ffmpeg") || !hf::test::haveProgram("unzip"))
            QSKIP("ffmpeg and unzip are needed");
        for (const QString& path : QStringList{set.firstVoice.folder, set.secondVoice.folder, set.effectsArchive} + set.music)
            if (!path.isEmpty() && !QFileInfo::exists(path))
                QSKIP(qPrintable("The recordings are missing (scripts/install-deps installs " + set.packages.join(", ") + "): " + path));
        Library lib(set, m_dir.path());
        QVERIFY(lib.extract());
        m_cases = makeCases(lib);
        for (const Case& c : m_cases)
            for (const Sound& s : c.sounds)
                QVERIFY2(power(s.signal) > 1e-6, qPrintable(c.name + ": " + s.name + " did not decode"));
        QFile::remove(QDir(hf::test::outputFolder()).filePath("engine-recordings.txt"));
    }

    // The measures themselves, on the first case: the true parts as stems read perfect, handing
    // the input over reads 0 dB of music left and routes everything to the dialogue stem, and the
    // ideal masks add back to the mix.
    void measuresReadRightAtBothEnds()
    {
        const Case& c = m_cases.front();
        fx::Signal mix = fx::silence(c.channels, kFrames);
        for (const Sound& s : c.sounds)
            fx::addInto(mix, s.signal);
        const std::array<fx::Signal, 3> parts{c.part(0), c.part(1), c.part(2)};
        const ms::Stretches alone = musicAloneIn(c);
        QVERIFY(!alone.empty());
        QCOMPARE(alone.front().first, std::size_t(0));
        QVERIFY(alone.front().second >= std::size_t(2.9 * kRate));

        const Score perfect = score(c, mix, parts, alone);
        for (int k = 0; k < 3; ++k) {
            QVERIFY(std::isinf(perfect.sdr[k]) && perfect.sdr[k] > 0);
            QVERIFY(std::isinf(perfect.siSdr[k]) && perfect.siSdr[k] > 0);
        }
        QVERIFY(std::isinf(perfect.musicLeft) && perfect.musicLeft < 0);
        // Routing reads each sound whole in its own stem, up to the chance likeness of the sounds
        // over the sound's length (6 % for a short door under a voice).
        for (std::size_t i = 0; i < c.sounds.size(); ++i)
            for (int k = 0; k < 3; ++k)
                QVERIFY2(std::abs(perfect.routing[i][k] - (k == c.sounds[i].stem ? 1 : 0)) < 0.1,
                         qPrintable(c.sounds[i].name + ": " + QString::number(perfect.routing[i][k])));

        const fx::Signal none = fx::silence(c.channels, kFrames);
        const Score handedOver = score(c, mix, {mix, none, none}, alone);
        QVERIFY(std::abs(handedOver.musicLeft) < 1e-9);
        for (std::size_t i = 0; i < c.sounds.size(); ++i)
            QVERIFY(std::abs(handedOver.routing[i][0] - 1) < 0.1);
        // Halving every stem's gain is no worse by SI-SDR but 6 dB worse by SDR.
        fx::Signal half = parts[0];
        scale(half, 0.5);
        QVERIFY(std::isinf(ms::siSdr(parts[0], half)));
        QVERIFY(std::abs(ms::sdr(parts[0], half) - 6.02) < 0.01);

        const auto ideal = ms::idealMasks(mix, parts);
        const fx::Signal back = fx::sum(fx::sum(ideal[0], ideal[1]), ideal[2]);
        QVERIFY2(ms::sdr(mix, back) > 100, qPrintable(QString::number(ms::sdr(mix, back))));
        // The ideal masks put a part that is alone in its bins back whole: the first 3 s hold music
        // only, but for the frames that reach into the lines and the fire after them.
        const Score bound = score(c, mix, ideal, alone);
        QVERIFY2(bound.musicLeft < -30, qPrintable(dB(bound.musicLeft)));
        QVERIFY2(bound.sdr[0] > 10, qPrintable(dB(bound.sdr[0])));
    }

    void separation_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<Floors>("floors");
        // What the engine must keep doing on the held-out set, a margin under what it measured
        // (recorded in server/README.md): dialogue and effects SDR, music left, each voice's share
        // in the dialogue stem, the effects' share in the effects stem.
        const Floors floors[] = {{15.1, -0.1, -14.8, 0.95, 0.68},
                                 {9.8, 0.8, -7.0, 0.87, 0.41},
                                 {14.6, 2.4, -6.8, 0.95, 0.36},
                                 {kNone, kNone, -6.3, kNone, kNone},
                                 {13.5, 2.2, kNone, 0.95, 0.31}};
        for (std::size_t i = 0; i < m_cases.size(); ++i)
            QTest::newRow(qPrintable(m_cases[i].name)) << int(i) << floors[i];
    }

    void separation()
    {
        QFETCH(int, index);
        const Case& c = m_cases[std::size_t(index)];
        QTemporaryDir dir;
        fx::Signal mix = fx::silence(c.channels, kFrames);
        for (const Sound& s : c.sounds)
            fx::addInto(mix, s.signal);
        // The upload's AAC (256 kb/s for stereo, 64 kb/s a channel beyond).
        const QString wav = dir.filePath("mix.wav"), upload = dir.filePath("mix.m4a");
        QVERIFY(fx::writeWav(wav, mix, kRate));
        QVERIFY(fx::run("ffmpeg", {"-v", "error", "-nostdin", "-i", wav, "-c:a", "aac", "-b:a",
                                   QString::number(c.channels == 2 ? 256000 : 64000 * c.channels), upload}));
        // The encoder pads the last packet; the stems are as long as the decoded upload.
        fx::Signal input = decodeFile(upload, c.channels);
        QVERIFY(input[0].size() >= kFrames);
        for (auto& plane : input)
            plane.resize(kFrames);
        QVERIFY2(ms::sdr(mix, input) > 20, qPrintable(dB(ms::sdr(mix, input)))); // and starts in step with the mix
        separateStems(upload.toStdString(), dir.filePath("stems").toStdString(), {}, {});
        std::array<fx::Signal, 3> stems;
        for (int k = 0; k < 3; ++k)
            stems[k] = decodeFile(dir.filePath("stems/") + QString::fromLatin1(kStemFileNames[k].data(), int(kStemFileNames[k].size())),
                                  c.channels);
        for (auto& stem : stems) {
            for (auto& plane : stem)
                plane.resize(kFrames);
        }

        const std::array<fx::Signal, 3> parts{c.part(0), c.part(1), c.part(2)};
        // HF_RECORDINGS_DUMP=<folder> keeps each case's decoded upload, parts and stems there.
        fx::dumpCase("HF_RECORDINGS_DUMP", c.name, kRate, input, parts, stems);
        const ms::Stretches alone = musicAloneIn(c);
        const Score engine = score(c, input, stems, alone);
        const Score ideal = score(c, input, ms::idealMasks(input, parts), alone);
        Score nothing = score(c, input, {input, input, input}, alone);
        nothing.musicLeft = alone.empty() ? std::nan("") : ms::musicLeft(input, input, fx::silence(c.channels, kFrames), alone);
        const QString text = describe(c, engine, ideal, nothing) + aims(c, engine, ideal);
        record(text);
        if (currentSet().name != "held-out")
            return;
        QFETCH(Floors, floors);
        if (!std::isnan(floors.dialogue))
            QVERIFY2(engine.sdr[0] >= floors.dialogue, qPrintable(text));
        if (!std::isnan(floors.effects))
            QVERIFY2(engine.sdr[2] >= floors.effects, qPrintable(text));
        if (!std::isnan(floors.musicLeft))
            QVERIFY2(engine.musicLeft <= floors.musicLeft, qPrintable(text));
        if (!std::isnan(floors.effectsKept))
            QVERIFY2(engine.effectsKept >= floors.effectsKept, qPrintable(text));
        for (std::size_t i = 0; i < c.sounds.size(); ++i)
            if (c.sounds[i].stem == 0)
                QVERIFY2(engine.routing[i][0] >= floors.voiceShare, qPrintable(text));
    }
};

QTEST_GUILESS_MAIN(TestEngineRecordings)
#include "test_engine_recordings.moc"
