// The audition player through the null output: what is heard, at which frame, and when; and
// through a private sound server, where only a recording of its sink tells what was heard.

#include "player/audio_player_service.h"
#include "helpers_audition.h"
#include "support/sound_server.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <cstdio>

using namespace hf;
using namespace hf::test;

namespace {

constexpr qint64 ramp = fixtureRate / 200;   // the player's fade after a start or a jump

struct Player {
    NullAudioOutput* output;
    std::unique_ptr<AudioPlayerService> service;
};

// A device whose buffer holds a tenth of a second: what was rendered is heard that much later.
// Like a device, it drops what it holds when stopped.
class LaggingOutput final : public NullAudioOutput {
public:
    static constexpr qint64 lag = fixtureRate / 10;
    LaggingOutput() : NullAudioOutput(NullAudioOutput::Mode::manual, fixtureRate, 2) {}
    qint64 latencyFrames() const override { return isStarted() ? lag : 0; }
};

// Counts what the player asks of the device around its starts and stops.
class CountingOutput final : public NullAudioOutput {
public:
    int prepared = 0, released = 0;
    bool preparedBeforeStart = false;
    CountingOutput() : NullAudioOutput(NullAudioOutput::Mode::manual, fixtureRate, 2) {}
    void prepare() override { ++prepared; }
    void release() override
    {
        ++released;
        NullAudioOutput::release();
    }
    void start(AudioRenderer* renderer) override
    {
        preparedBeforeStart = prepared > released;
        NullAudioOutput::start(renderer);
    }
};

// A device that may stop taking what it is given, and holds a tenth of a second of it, which it
// plays once it goes on.
class StallingOutput final : public NullAudioOutput {
public:
    bool stalled = false;
    StallingOutput() : NullAudioOutput(NullAudioOutput::Mode::manual, fixtureRate, 2) {}
    bool isStalled() const override { return stalled && isStarted(); }
    qint64 latencyFrames() const override { return isStarted() ? LaggingOutput::lag : 0; }
    qint64 withUntaken(const std::function<qint64(qint64)>& heard) const override { return heard(0); }
};

Player makePlayer()
{
    auto output = std::make_unique<NullAudioOutput>(NullAudioOutput::Mode::manual, fixtureRate, 2);
    NullAudioOutput* raw = output.get();
    return Player{raw, std::make_unique<AudioPlayerService>(std::move(output))};
}

bool near(double a, double b, double tolerance = 1e-3) { return std::abs(a - b) <= tolerance; }

void checkOnlyAudible(const AudioPlayerService& service, std::optional<AuditionTrackMode> audible)
{
    for (AuditionTrackMode mode : allAuditionTrackModes) {
        const float expected = mode == audible ? 1.0f : 0.0f;
        if (service.trackGain(mode) != expected)
            QFAIL(qPrintable(QStringLiteral("%1 has gain %2, expected %3")
                                 .arg(rawValue(mode))
                                 .arg(service.trackGain(mode))
                                 .arg(expected)));
    }
}

} // namespace

class TestAudioPlayer : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_files = makeTrackFiles(m_dir.path(), 3.0);
        QVERIFY(!m_files.clean.isEmpty() && !m_files.effects.isEmpty());
        QDir().mkpath(m_dir.filePath("short"));
        m_short = makeTrackFiles(m_dir.filePath("short"), 1.0);
    }

    void emptyPlayer()
    {
        auto [output, service] = makePlayer();
        QCOMPARE(service->totalDuration(), 1.0);
        service->play();
        QVERIFY(!service->isPlaying());
        service->seek(-3);
        QCOMPARE(service->currentTime(), 0.0);
        service->seek(5);
        QCOMPARE(service->currentTime(), 1.0);
        qint64 played = -1;
        output->pull(512, &played);
        QCOMPARE(played, 0);
    }

    // The volume rule for every mode, heard: each switch changes which track is heard and never
    // the frame, because every track plays the same frame all the time.
    void volumeRuleForEveryMode()
    {
        auto [output, service] = makePlayer();
        service->load(m_files);
        QCOMPARE(service->totalDuration(), 3.0);
        checkOnlyAudible(*service, AuditionTrackMode::hushframed);

        service->play();
        QVERIFY(service->isPlaying());
        auto heard = collect(*output, 4800);
        QCOMPARE(frameCount(heard), 4800);
        QString why;
        QVERIFY2(consecutive(heard, ramp, ramp, &why), qPrintable(why));
        QVERIFY(near(heardAt(heard, 4799).level, 0.1));
        int64_t next = 4800;

        for (AuditionTrackMode mode : {AuditionTrackMode::original, AuditionTrackMode::isolatedMusic,
                                       AuditionTrackMode::isolatedDialogue, AuditionTrackMode::isolatedEffects,
                                       AuditionTrackMode::hushframed}) {
            service->setSelectedTrackMode(mode);
            service->applyVolumes();
            checkOnlyAudible(*service, mode);
            heard = collect(*output, 2400);
            QVERIFY2(consecutive(heard, 0, next, &why), qPrintable(rawValue(mode) + ": " + why));
            QVERIFY2(near(heardAt(heard, 2399).level, fixtureLevel(mode)), qPrintable(rawValue(mode)));
            next += 2400;
        }

        // Choosing a track without applying volumes changes nothing audible.
        service->setSelectedTrackMode(AuditionTrackMode::original);
        heard = collect(*output, 2400);
        QVERIFY(near(heardAt(heard, 2399).level, fixtureLevel(AuditionTrackMode::hushframed)));
    }

    void compareOverridesSelection()
    {
        auto [output, service] = makePlayer();
        service->load(m_files);
        service->setSelectedTrackMode(AuditionTrackMode::isolatedMusic);
        service->applyVolumes();
        QSignalSpy comparing(service.get(), &AudioPlayerService::isComparingChanged);

        service->setComparing(true);
        service->setComparing(true);
        QCOMPARE(comparing.count(), 1);
        checkOnlyAudible(*service, AuditionTrackMode::original);
        service->play();
        auto heard = collect(*output, 2400);
        QVERIFY(near(heardAt(heard, 2399).level, fixtureLevel(AuditionTrackMode::original)));

        // Applying volumes again (a solo, a menu choice) keeps the original while comparing.
        service->toggleSolo(Stem::dialogue);
        checkOnlyAudible(*service, AuditionTrackMode::original);

        service->setComparing(false);
        QCOMPARE(comparing.count(), 2);
        checkOnlyAudible(*service, AuditionTrackMode::isolatedDialogue);
        heard = collect(*output, 2400);
        QVERIFY(near(heardAt(heard, 2399).level, fixtureLevel(AuditionTrackMode::isolatedDialogue)));
    }

    void soloToggling()
    {
        auto [output, service] = makePlayer();
        service->load(m_files);
        QSignalSpy changes(service.get(), &AudioPlayerService::selectedTrackModeChanged);
        service->toggleSolo(Stem::music);
        QCOMPARE(service->selectedTrackMode(), AuditionTrackMode::isolatedMusic);
        checkOnlyAudible(*service, AuditionTrackMode::isolatedMusic);
        service->toggleSolo(Stem::dialogue);
        QCOMPARE(service->selectedTrackMode(), AuditionTrackMode::isolatedDialogue);
        service->toggleSolo(Stem::effects);
        QCOMPARE(service->selectedTrackMode(), AuditionTrackMode::isolatedEffects);
        service->toggleSolo(Stem::effects);
        QCOMPARE(service->selectedTrackMode(), AuditionTrackMode::hushframed);
        checkOnlyAudible(*service, AuditionTrackMode::hushframed);
        QCOMPARE(changes.count(), 4);
    }

    // A seek while playing moves every track to the same new frame at once; a switch right
    // after it crossfades two tracks that carry the same frame.
    void seekWhilePlaying()
    {
        auto [output, service] = makePlayer();
        service->load(m_files);
        service->play();
        QCOMPARE(frameCount(collect(*output, 4800)), 4800);

        service->seek(1.5);
        QCOMPARE(service->currentTime(), 1.5);
        QVERIFY(service->isPlaying());
        service->setSelectedTrackMode(AuditionTrackMode::isolatedEffects);
        service->applyVolumes();
        auto heard = collect(*output, 4800);
        QCOMPARE(frameCount(heard), 4800);
        QString why;
        QVERIFY2(consecutive(heard, ramp, 72000 + ramp, &why), qPrintable(why));
        QVERIFY(near(heardAt(heard, 4799).level, fixtureLevel(AuditionTrackMode::isolatedEffects)));

        service->seek(0.25);
        service->setSelectedTrackMode(AuditionTrackMode::original);
        service->applyVolumes();
        heard = collect(*output, 2400);
        QVERIFY2(consecutive(heard, ramp, 12000 + ramp, &why), qPrintable(why));

        // The ticker follows what was played.
        QVERIFY(QTest::qWaitFor([&] { return near(service->currentTime(), 0.3); }, 2000));
        service->seek(-3);
        QCOMPARE(service->currentTime(), 0.0);
        service->seek(99);
        QCOMPARE(service->currentTime(), 3.0);
    }

    // Going to the beginning while playing plays on from frame 0; while paused it only moves.
    // The play/pause toggle flips between the two.
    void goToBeginningAndToggle()
    {
        auto [output, service] = makePlayer();
        service->load(m_files);
        service->togglePlayback();
        QVERIFY(service->isPlaying());
        service->togglePlayback();
        QVERIFY(!service->isPlaying());
        service->seek(1.5);
        service->goToBeginning();
        QCOMPARE(service->currentTime(), 0.0);
        QVERIFY(!service->isPlaying());

        service->seek(1.5);
        service->togglePlayback();
        QCOMPARE(frameCount(collect(*output, 4800)), 4800);
        service->goToBeginning();
        QCOMPARE(service->currentTime(), 0.0);
        QVERIFY(service->isPlaying());
        const auto heard = collect(*output, 2400);
        QString why;
        QVERIFY2(consecutive(heard, ramp, ramp, &why), qPrintable(why));
    }

    // Tracks on the video's timeline: a clean mix and original that start a second late are
    // preceded by silence, and stems that start at zero are placed where the original starts.
    void tracksSitOnTheVideosTimeline()
    {
        if (!runFfmpeg({"-version"}))
            QSKIP("ffmpeg is not available");
        AuditionFiles files = m_files;
        for (QString* track : {&files.clean, &files.original}) {
            const QString late = *track + ".late.mkv";
            QVERIFY(runFfmpeg({"-itsoffset", "1", "-i", *track, "-c", "copy", late}));
            *track = late;
        }
        auto [output, service] = makePlayer();
        service->load(files);
        QVERIFY2(near(service->totalDuration(), 4.0), qPrintable(QString::number(service->totalDuration())));

        service->play();
        auto heard = collect(*output, 48000 + 4800);
        QCOMPARE(frameCount(heard), 48000 + 4800);
        QCOMPARE(heardAt(heard, 24000).level, 0.0f);
        QCOMPARE(heardAt(heard, 47990).level, 0.0f);
        QVERIFY(near(heardAt(heard, 48000 + 100).level, fixtureLevel(AuditionTrackMode::hushframed)));
        QString why;
        QVERIFY2(consecutive(heard, 48000, 0, &why), qPrintable(why));

        // At 2 s of the video the dialogue stem is one second in, as the clean mix is.
        service->seek(2.0);
        service->setSelectedTrackMode(AuditionTrackMode::isolatedDialogue);
        service->applyVolumes();
        heard = collect(*output, 2400);
        QVERIFY2(consecutive(heard, ramp, 48000 + ramp, &why), qPrintable(why));
        QVERIFY(near(heardAt(heard, 2399).level, fixtureLevel(AuditionTrackMode::isolatedDialogue)));
        service->seek(0.5);
        service->setSelectedTrackMode(AuditionTrackMode::original);
        service->applyVolumes();
        heard = collect(*output, 2400);
        QCOMPARE(heardAt(heard, 2000).level, 0.0f);
        service->pause();

        // A picture that starts a second after the sound shows its first frames a second in.
        const QString counting = m_dir.filePath("counting-late-src.mp4");
        const QString late = m_dir.filePath("counting-late.mp4");
        QVERIFY(makeCountingMovie(counting, 2.0, 10));
        QVERIFY(runFfmpeg({"-itsoffset", "1", "-i", counting, "-f", "lavfi", "-i", "anullsrc=r=48000:cl=stereo",
                           "-t", "3", "-map", "0:v", "-map", "1:a", "-c:v", "copy", "-c:a", "aac", late}));
        files = m_files;
        files.videoURL = QUrl::fromLocalFile(late);
        service->load(files);
        QVERIFY(service->hasPicture());
        service->seek(1.5);
        QVERIFY2(QTest::qWaitFor([&] { return near(service->currentFrameTime(), 1.5); }, 5000),
                 qPrintable(QString::number(service->currentFrameTime())));
        QVERIFY2(std::abs(qGray(service->currentFrame().pixel(32, 24)) - (16 + 8 * 5)) <= 3,
                 qPrintable(QString::number(qGray(service->currentFrame().pixel(32, 24)))));
    }

    void pauseRealignsToThePlayhead()
    {
        auto [output, service] = makePlayer();
        service->load(m_files);
        QSignalSpy times(service.get(), &AudioPlayerService::currentTimeChanged);
        service->pause();   // paused already: no seek
        QCOMPARE(times.count(), 0);
        service->play();
        collect(*output, 24000);
        service->pause();
        QVERIFY(!service->isPlaying());
        QCOMPARE(service->currentTime(), 0.5);
        qint64 played = -1;
        output->pull(1024, &played);
        QCOMPARE(played, 0);
        service->play();
        const auto heard = collect(*output, 2400);
        QString why;
        QVERIFY2(consecutive(heard, ramp, 24000 + ramp, &why), qPrintable(why));
    }

    void endOfPlayback()
    {
        auto [output, service] = makePlayer();
        service->load(m_short);
        service->play();
        QCOMPARE(frameCount(collect(*output, 48000)), 48000);
        QVERIFY(QTest::qWaitFor([&] { return !service->isPlaying(); }, 2000));
        QCOMPARE(service->currentTime(), 0.0);

        // Within 0.05 s of the end, playing starts over; 0.06 s before it, it starts there.
        service->seek(0.96);
        service->play();
        QCOMPARE(service->currentTime(), 0.0);
        service->pause();
        service->seek(0.94);
        service->play();
        QCOMPARE(service->currentTime(), 0.94);
    }

    void loopingRestartsFromTheBeginning()
    {
        auto [output, service] = makePlayer();
        service->load(m_short);
        service->setLooping(true);
        service->seek(0.5);
        service->play();
        QSignalSpy playing(service.get(), &AudioPlayerService::isPlayingChanged);
        QCOMPARE(frameCount(collect(*output, 24000)), 24000);
        QVERIFY(QTest::qWaitFor([&] { return playing.count() >= 2; }, 2000));
        QVERIFY(service->isPlaying());
        const auto heard = collect(*output, 2400);
        QString why;
        QVERIFY2(consecutive(heard, ramp, ramp, &why), qPrintable(why));
    }

    void scrubbingHoldsThePlayhead()
    {
        auto [output, service] = makePlayer();
        service->load(m_files);
        service->play();
        service->setScrubbing(true);
        service->seek(2.0);
        collect(*output, 9600);
        // Several ticks pass without moving the dragged playhead.
        QVERIFY(!QTest::qWaitFor([&] { return service->currentTime() != 2.0; }, 150));
        service->setScrubbing(false);
        QVERIFY(QTest::qWaitFor([&] { return near(service->currentTime(), 2.2); }, 2000));
    }

    void reloadKeepsThePosition()
    {
        QTemporaryDir dir;
        const QString remix = dir.filePath("remix.wav");
        QVERIFY(writeTrackWav(remix, 3.0, 0.7f));
        auto [output, service] = makePlayer();
        service->load(m_files);
        service->play();
        collect(*output, 24000);

        // Playing on, the sound goes from the frame reached into the new mix (crossfaded: every
        // frame's index still reads whole), once it has decoded there: nothing dropped or repeated.
        QVERIFY(service->reloadCleanAudio(remix));
        QVERIFY(service->isPlaying());
        std::vector<float> heard;
        QVERIFY(QTest::qWaitFor(
            [&] {
                const auto more = collect(*output, 240);
                heard.insert(heard.end(), more.begin(), more.end());
                return near(heardAt(heard, frameCount(heard) - 1).level, 0.7);
            },
            5000));
        QString why;
        QVERIFY2(consecutive(heard, 0, 24000, &why), qPrintable(why));
        const qint64 reached = 24000 + frameCount(heard);

        // A file that cannot be opened keeps the loaded clean mix and leaves playback paused.
        QVERIFY(QTest::qWaitFor([&] { return service->currentTime() == double(reached) / fixtureRate; }, 2000));
        QVERIFY(!service->reloadCleanAudio(dir.filePath("missing.wav")));
        QVERIFY(!service->isPlaying());
        QCOMPARE(service->currentTime(), double(reached) / fixtureRate);
        service->play();
        heard = collect(*output, 2400);
        QVERIFY2(consecutive(heard, ramp, reached + ramp, &why), qPrintable(why));
        QVERIFY(near(heardAt(heard, 2399).level, 0.7));

        // Swapped in and moved at once, the new mix is heard from where the playhead went.
        QVERIFY(service->reloadCleanAudio(m_files.clean));
        service->seek(0.25);
        heard = collect(*output, 2400);
        QVERIFY2(consecutive(heard, ramp, 12000 + ramp, &why), qPrintable(why));
        QVERIFY(near(heardAt(heard, ramp).level, fixtureLevel(AuditionTrackMode::hushframed)));
    }

    void loadClearsCompareAndKeepsChoices()
    {
        auto [output, service] = makePlayer();
        service->load(m_files);
        service->setSelectedTrackMode(AuditionTrackMode::isolatedDialogue);
        service->setLooping(true);
        service->setComparing(true);
        service->play();
        collect(*output, 4800);

        service->load(m_short);
        QVERIFY(!service->isComparing());
        QVERIFY(!service->isPlaying());
        QCOMPARE(service->currentTime(), 0.0);
        QCOMPARE(service->totalDuration(), 1.0);
        QCOMPARE(service->selectedTrackMode(), AuditionTrackMode::isolatedDialogue);
        QVERIFY(service->isLooping());
        checkOnlyAudible(*service, AuditionTrackMode::isolatedDialogue);

        service->unload();
        QVERIFY(!service->hasTrack(AuditionTrackMode::hushframed));
        QCOMPARE(service->totalDuration(), 1.0);
        service->play();
        QVERIFY(!service->isPlaying());
    }

    // A file that fails part-way leaves the files before it loaded, all silent but the
    // selected one, and the length of what did load.
    void partialLoad()
    {
        QTemporaryDir dir;
        const QString broken = dir.filePath("broken.flac");
        QFile file(broken);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(4096, 'x'));
        file.close();
        QVERIFY(writeTrackWav(dir.filePath("long-original.wav"), 2.0, fixtureLevel(AuditionTrackMode::original)));

        auto [output, service] = makePlayer();
        AuditionFiles files = m_short;
        files.original = dir.filePath("long-original.wav");
        files.music = broken;
        service->load(files);
        QVERIFY(service->hasTrack(AuditionTrackMode::original));
        QVERIFY(service->hasTrack(AuditionTrackMode::hushframed));
        QVERIFY(!service->hasTrack(AuditionTrackMode::isolatedMusic));
        QVERIFY(!service->hasTrack(AuditionTrackMode::isolatedEffects));
        QCOMPARE(service->totalDuration(), 1.0);
        checkOnlyAudible(*service, AuditionTrackMode::hushframed);
        service->play();
        const auto heard = collect(*output, 2400);
        QVERIFY(near(heardAt(heard, 2399).level, fixtureLevel(AuditionTrackMode::hushframed)));

        // Without a clean mix nothing plays, and the length is the original's.
        files.clean = broken;
        service->load(files);
        QVERIFY(service->hasTrack(AuditionTrackMode::original));
        QVERIFY(!service->hasTrack(AuditionTrackMode::hushframed));
        QCOMPARE(service->totalDuration(), 2.0);
        checkOnlyAudible(*service, std::nullopt);
        service->play();
        QVERIFY(!service->isPlaying());
    }

    void pictureFollowsThePlayhead()
    {
        if (!runFfmpeg({"-version"}))
            QSKIP("ffmpeg is not available");
        const QString movie = m_dir.filePath("counting.mp4");
        QVERIFY(makeCountingMovie(movie, 3.0, 10));
        AuditionFiles files = m_files;
        files.video = movie;
        auto [output, service] = makePlayer();
        service->load(files);
        QVERIFY(service->hasPicture());
        const auto grey = [&] { return qGray(service->currentFrame().pixel(32, 24)); };
        const auto showing = [&](double seconds, int frame) {
            return QTest::qWaitFor(
                [&] {
                    return !service->currentFrame().isNull() && near(service->currentFrameTime(), seconds)
                           && std::abs(grey() - (16 + 8 * frame)) <= 3;
                },
                5000);
        };
        QVERIFY(showing(0.0, 0));
        QCOMPARE(service->currentFrame().size(), QSize(64, 48));

        service->seek(1.25);
        QVERIFY2(showing(1.2, 12), qPrintable(QString::number(grey())));
        service->seek(0.3);
        QVERIFY2(showing(0.3, 3), qPrintable(QString::number(grey())));
        service->seek(0.75);   // a little on: decoded on from the frame shown
        QVERIFY2(showing(0.7, 7), qPrintable(QString::number(grey())));
        service->seek(2.99);
        QVERIFY2(showing(2.9, 29), qPrintable(QString::number(grey())));

        // Playing, the picture shows the frame of what was played last.
        service->seek(0.0);
        service->play();
        collect(*output, 48000);
        QVERIFY2(showing(1.0, 10), qPrintable(QString::number(service->currentFrameTime())));
        service->seek(0.95);   // and paused before its frame came: frame 10 from before it does not count
        service->pause();
        QVERIFY(showing(0.9, 9));
        // Its frames are due 10 ms ahead of the sound; a Pause keeps the frame on screen.
        for (const auto& [heard, frame] : {std::pair{1.095, 11}, {1.291, 13}, {1.385, 13}, {1.45, 14}, {1.5, 15}}) {
            service->play();
            collect(*output, std::llround((heard - service->currentTime()) * fixtureRate));
            QVERIFY2(showing(frame / 10.0, frame), qPrintable(QString::number(service->currentFrameTime())));
            const qint64 onScreen = service->currentFrame().cacheKey();
            QSignalSpy paused(service.get(), &AudioPlayerService::currentFrameChanged);
            service->pause();
            QVERIFY2(paused.wait(5000) && showing(frame / 10.0, frame), qPrintable(QString::number(heard)));
            // The very frame on screen, not one decoded again from a key frame.
            QCOMPARE(service->currentFrame().cacheKey(), onScreen);
        }

        service->unload();
        QVERIFY(!service->hasPicture());
        QVERIFY(service->currentFrame().isNull());
    }

    // Through an output that reports latency, the playhead and the picture follow what is heard,
    // not what was rendered; a pause keeps the heard position.
    void positionAndPictureFollowTheSoundThroughLatency()
    {
        if (!runFfmpeg({"-version"}))
            QSKIP("ffmpeg is not available");
        const QString movie = m_dir.filePath("counting-lag.mp4");
        QVERIFY(makeCountingMovie(movie, 3.0, 10));
        AuditionFiles files = m_files;
        files.video = movie;
        auto lagging = std::make_unique<LaggingOutput>();
        LaggingOutput* output = lagging.get();
        AudioPlayerService service(std::move(lagging));
        service.load(files);
        QVERIFY(service.hasPicture());

        service.play();
        collect(*output, 48000);   // one second rendered, 0.9 s of it heard
        QVERIFY2(QTest::qWaitFor([&] { return near(service.currentTime(), 0.9, 0.002); }, 3000),
                 qPrintable(QString::number(service.currentTime())));
        QVERIFY2(QTest::qWaitFor([&] { return near(service.currentFrameTime(), 0.9); }, 5000),
                 qPrintable(QString::number(service.currentFrameTime())));
        QVERIFY(std::abs(qGray(service.currentFrame().pixel(32, 24)) - (16 + 8 * 9)) <= 3);
        service.pause();
        QVERIFY(near(service.currentTime(), 0.9, 0.002));

        // Playing on from there, the first frame heard is the one at the heard position.
        service.play();
        const auto played = collect(*output, LaggingOutput::lag + ramp + 10);
        QCOMPARE(heardAt(played, ramp + 5).index, 43200 + ramp + 5);
        service.pause();
    }

    void pictureIsTurnedUpright()
    {
        if (!runFfmpeg({"-version"}))
            QSKIP("ffmpeg is not available");
        const QString plain = m_dir.filePath("plain.mp4");
        const QString movie = m_dir.filePath("turned.mp4");
        QVERIFY(makeCountingMovie(plain, 1.0, 10));
        // A stream copy with a rotation stores the display matrix that phones write.
        QVERIFY(runFfmpeg({"-i", plain, "-c", "copy", "-metadata:s:v:0", "rotate=90", movie}));
        AuditionFiles files = m_short;
        files.video = movie;
        auto [output, service] = makePlayer();
        service->load(files);
        QVERIFY(QTest::qWaitFor([&] { return !service->currentFrame().isNull(); }, 5000));
        QCOMPARE(service->currentFrame().size(), QSize(48, 64));
    }

    // The device is opened when a result is loaded, not when Play is pressed, and stays open
    // across pauses until the result goes.
    void deviceOpensBeforePlay()
    {
        auto owned = std::make_unique<CountingOutput>();
        CountingOutput& output = *owned;
        AudioPlayerService service(std::move(owned));
        service.load(m_files);
        QCOMPARE(output.prepared, 1);
        for (int i = 0; i < 3; ++i) {
            service.play();
            QVERIFY(output.isStarted());
            QVERIFY(output.preparedBeforeStart);
            service.pause();
        }
        service.seek(1.0);
        service.play();
        QCOMPARE(output.released, 0);
        service.unload();
        QCOMPARE(output.released, 1);
        QVERIFY(!output.isStarted());
    }

    // A null output plays silently at the speed of a device. Without a sound server the default
    // output hears nothing: Play stops where it was and says so.
    void noAudioDevice()
    {
        AudioPlayerService service(std::make_unique<NullAudioOutput>(NullAudioOutput::Mode::paced));
        service.load(m_files);
        service.play();
        QVERIFY(QTest::qWaitFor([&] { return service.currentTime() > 0.3; }, 5000));
        service.pause();
        const double paused = service.currentTime();
        QVERIFY(!QTest::qWaitFor([&] { return service.currentTime() != paused; }, 150));

        qputenv("PULSE_SERVER", "unix:" + QFile::encodeName(m_dir.filePath(QStringLiteral("no-server"))));
        AudioPlayerService fallback;
        QSignalSpy failures(&fallback, &AudioPlayerService::playbackFailed);
        fallback.load(m_files);
        fallback.play();
        QVERIFY(failures.wait(5000));
        // Not a device that stopped: none could be reached at all.
        QCOMPARE(failures.first().first().toString(),
                 QStringLiteral("Hushframe couldn't play the sound: no sound device could be reached. Check your sound "
                                "settings, then press Play again."));
        QVERIFY(!fallback.isPlaying());
        QCOMPARE(fallback.currentTime(), 0.0);
        fallback.unload();
        qunsetenv("PULSE_SERVER");
    }

    // A Play whose sound the device does not take stops where it was and says so, once; Play
    // plays again once the device takes sound.
    void deviceThatTakesNothing()
    {
        auto owned = std::make_unique<StallingOutput>();
        StallingOutput& output = *owned;
        AudioPlayerService service(std::move(owned));
        QSignalSpy failures(&service, &AudioPlayerService::playbackFailed);
        service.load(m_files);
        service.seek(1.0);
        output.stalled = true;
        service.play();
        QTest::qWait(300);
        QVERIFY(!service.isPlaying());
        QVERIFY(!output.isStarted());
        QCOMPARE(failures.count(), 1);
        QVERIFY(failures.first().first().toString().contains(QLatin1String("the sound device stopped responding")));
        QCOMPARE(service.currentTime(), 1.0);
        output.stalled = false;
        service.play();
        QTest::qWait(150);
        QVERIFY(service.isPlaying());
        QCOMPARE(failures.count(), 1);

        // Stopped once it played, it plays what it holds when it goes on: Play takes up after that.
        collect(output, 4800);
        output.stalled = true;
        QVERIFY(failures.wait(2000));
        QCOMPARE(service.currentTime(), 1.1);
    }

    // Through a sound server (a null sink whose monitor is recorded), a re-mix swapped in while
    // playing is heard at once, from the frame the old mix reached: no gap, nothing repeated or
    // skipped. Both mixes click every quarter second of their frames over a square wave of a
    // level of their own: the clicks heard stay a quarter second apart, and the level after a
    // change tells which mix is heard. A busy machine breaks the sound off now and then (the
    // server asks for more too late): a change where the server was late (its monitor's data
    // came 50 ms late), or with a break in the quarter second before it or just after the 300 ms
    // in which it is heard, says nothing of the change: another is made, ten are judged.
    void remixWhilePlayingIsHeardUnbroken()
    {
        SoundServer server;
        if (!server.unavailable().isEmpty())
            QSKIP(qPrintable(server.unavailable()));
        server.useInThisProcess();
        SinkRecorder recorder;
        QVERIFY(recorder.start());
        constexpr qint64 period = fixtureRate / 4, millisecond = 1'000'000;
        const std::array<float, 2> levels{0.15f, 0.35f};
        QStringList mixes;
        for (const float level : levels) {
            mixes << m_dir.filePath(QStringLiteral("clicking-%1.wav").arg(mixes.size()));
            QVERIFY(writeWav(mixes.back(), 20.0, [level](qint64 n, float* out) {
                out[0] = out[1] = (n % period < 96 ? 0.6f : level) * (n / 48 % 2 ? 1 : -1);
            }));
        }
        const auto silenceIn = [&](qint64 from, qint64 to) {   // the first 5 ms of silence, else none
            for (qint64 t = from; t + 5 * millisecond <= to; t += millisecond)
                if (!recorder.soundBetween(t, t + 5 * millisecond))
                    return std::optional<qint64>(t);
            return std::optional<qint64>();
        };
        AudioPlayerService service;
        AuditionFiles files;
        files.clean = mixes[0];
        service.load(files);
        service.play();
        QTest::qWait(500);
        QStringList faults;
        int judged = 0, change = 0;
        for (; change < 40 && judged < 10; ++change) {
            const qint64 at = steadyNanoseconds();
            QVERIFY(service.reloadCleanAudio(mixes[(change + 1) % 2]));
            QTest::qWait(450);
            if (recorder.lateBetween(at - 250 * millisecond, at + 400 * millisecond) > 50 * millisecond
                || silenceIn(at - 250 * millisecond, at) || silenceIn(at + 300 * millisecond, at + 400 * millisecond))
                continue;
            ++judged;
            const QString where = QStringLiteral("change %1: ").arg(change + 1);
            if (const auto gap = silenceIn(at, at + 300 * millisecond))
                faults << where + QStringLiteral("silence %1 ms after it").arg((*gap - at) / millisecond);
            std::vector<qint64> clicks;
            for (auto click = recorder.soundAfter(at - 250 * millisecond, 0.4); click && *click < at + 400 * millisecond;
                 click = recorder.soundAfter(*click + 100 * millisecond, 0.4))
                clicks.push_back(*click);
            for (size_t i = 1; i < clicks.size(); ++i) {
                const qint64 frames = std::llround(double(clicks[i] - clicks[i - 1]) * fixtureRate / 1e9);
                if (std::abs(frames - period) > fixtureRate / 200)
                    faults << where + QStringLiteral("clicks %1 frames apart").arg(frames);
            }
            // Two windows 5 ms apart: a click, 2 ms long, is in one of them at most.
            const bool loud = recorder.soundBetween(at + 330 * millisecond, at + 335 * millisecond, 0.25)
                              && recorder.soundBetween(at + 340 * millisecond, at + 345 * millisecond, 0.25);
            if (loud != ((change + 1) % 2 == 1))
                faults << where + QStringLiteral("the old mix is still heard 330 ms after it");
        }
        service.unload();
        recorder.stop();
        qunsetenv("PULSE_SERVER");
        qunsetenv("PULSE_SINK");
        if (qEnvironmentVariableIsSet("HF_SHOW_FIGURES"))
            std::fprintf(stderr, "%d changes judged of %d\n", judged, change);
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QStringLiteral("; "))));
        QVERIFY2(judged == 10, qPrintable(QStringLiteral("the sound broke off around %1 changes of %2").arg(change - judged).arg(change)));
    }

private:
    QTemporaryDir m_dir;
    AuditionFiles m_files;
    AuditionFiles m_short;
};

QTEST_MAIN(TestAudioPlayer)
#include "test_audio_player.moc"
