// A real result, separated by the local server and mixed as the application mixes it, played for
// two seconds through the null output: what is heard is the clean mix, sample for sample.

#include "player/audio_player_service.h"
#include "helpers_audition.h"

#include "backend/api_client.h"
#include "backend/session_token_store.h"
#include "pipeline/cloud_separation_engine.h"
#include "pipeline/separation_result.h"
#include "pipeline/stem_mixer.h"
#include "pipeline/video_demuxer_muxer.h"
#include "platform/network.h"
#include "support/test_support.h"
#ifdef HF_HAVE_LOCAL_SERVER
#include "support/local_server.h"
#endif

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace hf;
using namespace hf::test;
using namespace std::chrono_literals;

class TestAudioPlayerServer : public QObject {
    Q_OBJECT

private slots:
    void playsTheCleanMixOfARealResult()
    {
#ifndef HF_HAVE_LOCAL_SERVER
        QSKIP("built without the local server");
#else
        if (!haveProgram(QStringLiteral("ffmpeg")))
            QSKIP("needs ffmpeg");
        QTemporaryDir dir;
        const QString movie = dir.filePath("movie.mp4");
        QVERIFY(runFfmpeg({"-f", "lavfi", "-i", "testsrc=s=160x120:r=25:d=5", "-f", "lavfi", "-i",
                           "sine=f=330:r=48000:d=5,aformat=channel_layouts=stereo", "-f", "lavfi", "-i",
                           "anoisesrc=r=48000:a=0.1:d=5,aformat=channel_layouts=stereo", "-filter_complex",
                           "[1:a][2:a]amix=inputs=2[a]", "-map", "0:v", "-map", "[a]", "-c:v", "libx264",
                           "-c:a", "aac", "-shortest", movie}));

        LocalServer server;
        std::unique_ptr<QNetworkAccessManager> apiSession(makeEphemeralNetworkSession(nullptr));
        std::unique_ptr<QNetworkAccessManager> transferSession(makeEphemeralNetworkSession(nullptr));
        InMemoryTokenStore tokens;
        APIClient api(server.baseUrl(), apiSession.get(), &tokens);
        URLSessionUploader uploader(transferSession.get());
        runTask(api.signInAnonymously());
        CloudSeparationEngine engine(&api, &uploader, transferSession.get(), dir.filePath("Jobs"));
        engine.setPollInterval(50ms);

        const ExtractedAudio extracted = VideoDemuxerMuxer::extractSoundtrack(
            QUrl::fromLocalFile(movie), QUrl::fromLocalFile(dir.filePath("Work")), std::nullopt);
        const SeparatedStems stems =
            runTask(engine.separate(extracted.url, extracted.duration, JobKind::full, false, {}), 50000);
        const QUrl clean = runTask(StemMixer::mix(stems.dialogueURL, stems.effectsURL,
                                                  QUrl::fromLocalFile(dir.filePath("Work/clean-test.m4a")),
                                                  AudioQuality::aac, 0.75));

        SeparationResult result;
        result.kind = JobKind::full;
        result.jobID = stems.job.id;
        result.sourceVideoURL = QUrl::fromLocalFile(movie);
        result.originalAudioURL = extracted.url;
        result.cleanAudioURL = clean;
        result.dialogueStemURL = stems.dialogueURL;
        result.musicStemURL = stems.musicURL;
        result.effectsStemURL = stems.effectsURL;
        result.duration = extracted.duration;
        result.ambience = 0.75;

        auto output = std::make_unique<NullAudioOutput>(NullAudioOutput::Mode::manual, fixtureRate, 2);
        NullAudioOutput* out = output.get();
        AudioPlayerService player(std::move(output));
        player.load(result);
        for (AuditionTrackMode mode : allAuditionTrackModes)
            QVERIFY(player.hasTrack(mode));
        QVERIFY(player.hasPicture());
        QVERIFY(std::abs(player.totalDuration() - extracted.duration) < 0.1);
        player.play();
        const std::vector<float> played = collect(*out, 2 * fixtureRate);
        QCOMPARE(qint64(played.size()), qint64(2 * fixtureRate * 2));

        // The clean mix as the ffmpeg program decodes it, at the output's rate and channels.
        QProcess decode;
        decode.start("ffmpeg", {"-v", "error", "-nostdin", "-i", clean.toLocalFile(), "-t", "2.1", "-f", "f32le",
                                "-ac", "2", "-ar", QString::number(fixtureRate), "-"});
        QVERIFY(decode.waitForFinished(30000));
        const QByteArray raw = decode.readAllStandardOutput();
        const auto* reference = reinterpret_cast<const float*>(raw.constData());
        const qint64 referenceFrames = raw.size() / 8;
        QVERIFY(referenceFrames >= 2 * fixtureRate);

        // After the fade-in of the start, every frame is the clean mix's frame at the same index.
        double worst = 0;
        double energy = 0;
        for (qint64 i = fixtureRate / 200 * 2; i < qint64(played.size()); ++i) {
            worst = std::max(worst, double(std::abs(played[size_t(i)] - reference[i])));
            energy += double(reference[i]) * reference[i];
        }
        QVERIFY2(energy > 1.0, "the clean mix is silent");
        QVERIFY2(worst < 1e-3, qPrintable(QStringLiteral("largest difference %1").arg(worst)));

        // And the original is not what was heard.
        player.setComparing(true);
        QCOMPARE(player.trackGain(AuditionTrackMode::original), 1.0f);
        QCOMPARE(player.trackGain(AuditionTrackMode::hushframed), 0.0f);
#endif
    }
};

QTEST_MAIN(TestAudioPlayerServer)
#include "test_audio_player_server.moc"
