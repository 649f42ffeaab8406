// The coordinator end to end: generated movies, the real media work, the cloud separation engine
// against the local server over loopback, the recent videos on a settings file.

#include "coordinator/engine_coordinator.h"
#include "helpers_audition.h"
#include "helpers_cloud.h"
#include "helpers_media.h"

#include "backend/api_client.h"
#include "backend/session_token_store.h"
#include "pipeline/cloud_separation_engine.h"
#include "platform/network.h"
#include "support/local_server.h"
#include "support/test_support.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

using namespace hf;

namespace {

// Passes every call on to the real engine and counts them.
class CountingEngine final : public SeparationEngineProtocol {
public:
    explicit CountingEngine(SeparationEngineProtocol& inner) : m_inner(inner) {}
    int separations = 0;
    int promotions = 0;

    QCoro::Task<SeparatedStems> separate(QUrl audioFile, double duration, JobKind kind, bool claimCheck,
                                         ProgressCallback progress, std::stop_token stop, std::shared_ptr<OutageBound> bound) override
    {
        ++separations;
        return m_inner.separate(audioFile, duration, kind, claimCheck, std::move(progress), stop, std::move(bound));
    }
    QCoro::Task<CloudJob> promote(QString jobID, double duration, bool claimCheck, std::stop_token stop) override
    {
        ++promotions;
        return m_inner.promote(jobID, duration, claimCheck, stop);
    }
    QCoro::Task<void> cancel(QString jobID) override { return m_inner.cancel(jobID); }

private:
    SeparationEngineProtocol& m_inner;
};

// The codec of the file's only audio stream and its duration; empty when ffprobe cannot read it.
std::pair<QString, double> audioOf(const QUrl& file)
{
    const QJsonObject info = test::probe(file.toLocalFile());
    QString codec;
    int audioStreams = 0;
    for (const auto& stream : info.value("streams").toArray())
        if (stream.toObject().value("codec_type").toString() == "audio") {
            ++audioStreams;
            codec = stream.toObject().value("codec_name").toString();
        }
    if (audioStreams != 1)
        return {};
    return {codec, info.value("format").toObject().value("duration").toString().toDouble()};
}

} // namespace

class TestCoordinatorEndToEnd : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<test::LocalCloud> local;
    std::unique_ptr<CloudSeparationEngine> cloud;
    std::unique_ptr<CountingEngine> engine;
    std::unique_ptr<QSettingsStore> defaults;
    std::unique_ptr<AccountStore> account;
    std::unique_ptr<RecentVideos> recents;
    std::unique_ptr<ReviewPrompter> prompter;
    std::unique_ptr<AudioPlayerService> player;
    std::unique_ptr<EngineCoordinator> coordinator;
    QUrl movie;

    QString caches() const { return dir.filePath(QStringLiteral("Caches")); }
    QString settingsFile() const { return dir.filePath(QStringLiteral("settings.ini")); }

    // The services as the application builds them, on the settings file and the caches folder.
    void build()
    {
        defaults = std::make_unique<QSettingsStore>(settingsFile());
        account = std::make_unique<AccountStore>(local->api.get(), defaults.get());
        recents = std::make_unique<RecentVideos>(defaults.get(), caches());
        prompter = std::make_unique<ReviewPrompter>(*defaults);
        player = std::make_unique<AudioPlayerService>(std::make_unique<NullAudioOutput>(NullAudioOutput::Mode::manual));
        engine = std::make_unique<CountingEngine>(*cloud);
        coordinator = std::make_unique<EngineCoordinator>(engine.get(), recents.get(), prompter.get(), account.get(),
                                                          player.get(), caches() + "/Work",
                                                          SeparationSettings::load(*defaults), defaults.get(),
                                                          nullptr, local->api.get());
        coordinator->setSongCheckPolling(std::chrono::milliseconds(200), std::chrono::milliseconds(60000));
    }

    void tearDown()
    {
        coordinator.reset();
        QTest::qWait(50);
        engine.reset();
        player.reset();
        prompter.reset();
        recents.reset();
        account.reset();
        defaults.reset();
    }

    // Checks the files of a result with ffprobe: the extracted and clean soundtracks in AAC, the
    // three stems in FLAC, each about `seconds` long.
    void verifyFiles(const SeparationResult& result, double seconds)
    {
        const auto original = audioOf(result.originalAudioURL);
        QCOMPARE(original.first, QString("aac"));
        QVERIFY2(std::abs(original.second - seconds) < 0.3, qPrintable(QString::number(original.second)));
        const auto clean = audioOf(result.cleanAudioURL);
        QCOMPARE(clean.first, QString("aac"));
        QVERIFY2(std::abs(clean.second - seconds) < 0.3, qPrintable(QString::number(clean.second)));
        for (const QUrl& stem : {result.dialogueStemURL, result.musicStemURL, result.effectsStemURL}) {
            const auto audio = audioOf(stem);
            QCOMPARE(audio.first, QString("flac"));
            QVERIFY(std::abs(audio.second - seconds) < 0.3);
        }
        QVERIFY(result.cleanAudioURL.toLocalFile().startsWith(caches() + "/Work/"));
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!test::haveProgram(QStringLiteral("ffmpeg")) || !test::haveProgram(QStringLiteral("ffprobe")))
            QSKIP("needs ffmpeg and ffprobe");
        local = std::make_unique<test::LocalCloud>();
        cloud = local->makeEngine(caches() + "/Jobs");

        // Six seconds of a test picture with a tone and a beat under it.
        movie = QUrl::fromLocalFile(dir.filePath(QStringLiteral("Holiday.mp4")));
        QVERIFY(test::runFfmpeg({"-f", "lavfi", "-i", "testsrc=size=160x120:rate=15", "-f", "lavfi", "-i",
                                 "aevalsrc=0.3*sin(2*PI*220*t)+0.2*sin(2*PI*2*t)*sin(2*PI*880*t):s=44100:c=stereo",
                                 "-t", "6", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac",
                                 movie.toLocalFile()}));
    }

    void init()
    {
        build();
        test::runTask(account->ensureSession(), 30000);
        QVERIFY(account->hasSession());
    }

    void cleanup() { tearDown(); }

    void cleanupTestCase()
    {
        cloud.reset();
        local.reset();
    }

    void previewPromotionAndRestart()
    {
        // Opening runs the preview: the whole six seconds, three stems and a clean mix.
        coordinator->openVideo(movie);
        QVERIFY(QTest::qWaitFor([&] { return coordinator->hasPreviewResult() && !coordinator->isProcessing(); },
                                90000));
        QVERIFY2(!coordinator->errorMessage(), qPrintable(coordinator->errorMessage().value_or(QString())));
        const SeparationResult preview = *coordinator->currentResult();
        QVERIFY(preview.coversWholeVideo);
        QCOMPARE(preview.sourceVideoURL, movie);
        verifyFiles(preview, 6.0);
        QCOMPARE(coordinator->progress().currentStatusMessage, QString("Done"));
        QVERIFY(QTest::qWaitFor([&] {
            return coordinator->stemEnvelopes() && coordinator->cleanWaveform().size() == 100
                   && !coordinator->thumbnail().isNull() && coordinator->originalEnvelope();
        }, 30000));
        QVERIFY(coordinator->stemEnvelopes()->dialogue.bucketCount() > 0);
        QVERIFY(coordinator->thumbnail().width() <= 1600 && coordinator->thumbnail().height() <= 1600);
        QCOMPARE(recents->entries().front().displayName, QString("Holiday.mp4"));
        QVERIFY(!recents->entries().front().result);   // previews are not stored
        QCOMPARE(engine->separations, 1);

        // The full clean of a video shorter than the preview promotes it: no second upload.
        coordinator->cleanFullVideo();
        QVERIFY(QTest::qWaitFor([&] { return coordinator->hasFullResult() && !coordinator->isPromoting(); }, 30000));
        QVERIFY(!coordinator->errorMessage());
        QCOMPARE(engine->separations, 1);
        QCOMPARE(engine->promotions, 1);
        const SeparationResult full = *coordinator->currentResult();
        QCOMPARE(full.id, preview.id);
        QCOMPARE(full.cleanAudioURL, preview.cleanAudioURL);
        QCOMPARE(full.dialogueStemURL, preview.dialogueStemURL);
        QVERIFY(coordinator->showExportSheet());
        QVERIFY(recents->entries().front().result.has_value());
        QVERIFY(QTest::qWaitFor([&] { return coordinator->originalWaveform().size() == 100; }, 30000));

        // A restart: the list comes back from the settings file with its result, which reopens
        // with its stems and picture, and nothing is processed.
        tearDown();
        build();
        QCOMPARE(recents->entries().size(), size_t(1));
        const RecentVideos::Entry entry = recents->entries().front();
        QVERIFY(entry.result.has_value());
        QVERIFY(recents->thumbnail(entry.id).has_value());
        const std::optional<QUrl> source = recents->sourceURL(entry);
        QCOMPARE(source, std::optional<QUrl>(movie));
        const std::optional<SeparationResult> restored = recents->restoredResult(entry, *source);
        QVERIFY(restored.has_value());
        QCOMPARE(restored->kind, JobKind::full);
        QCOMPARE(restored->cleanAudioURL, full.cleanAudioURL);
        QCOMPARE(restored->jobID, full.jobID);

        coordinator->setSource(SourceVideo::load(*source));
        coordinator->startSourceAnalysis(*coordinator->source());
        coordinator->applyResult(*restored);
        QVERIFY(QTest::qWaitFor([&] {
            return coordinator->stemEnvelopes() && coordinator->originalWaveform().size() == 100
                   && !coordinator->thumbnail().isNull();
        }, 30000));
        QVERIFY(!coordinator->isProcessing());
        QCOMPARE(engine->separations, 0);
        QVERIFY(coordinator->hasUnexportedFullResult());
        verifyFiles(*coordinator->currentResult(), 6.0);
    }

    void fullRunAfterAShorterPreview()
    {
        // A preview of two seconds does not cover the video: the full clean runs a job of its own.
        coordinator->setPreviewSeconds(2);
        coordinator->openVideo(movie);
        QVERIFY(QTest::qWaitFor([&] { return coordinator->hasPreviewResult() && !coordinator->isProcessing(); },
                                90000));
        const SeparationResult preview = *coordinator->currentResult();
        QVERIFY(!preview.coversWholeVideo);
        verifyFiles(preview, 2.0);

        std::vector<ProcessingProgress> reports;
        connect(coordinator.get(), &EngineCoordinator::progressChanged, this,
                [&] { reports.push_back(coordinator->progress()); });
        coordinator->cleanFullVideo();
        QVERIFY(QTest::qWaitFor([&] { return coordinator->hasFullResult() && !coordinator->isProcessing(); }, 90000));
        QVERIFY2(!coordinator->errorMessage(), qPrintable(coordinator->errorMessage().value_or(QString())));
        QCOMPARE(engine->separations, 2);
        QCOMPARE(engine->promotions, 0);
        const SeparationResult full = *coordinator->currentResult();
        QVERIFY(full.id != preview.id);
        QVERIFY(full.coversWholeVideo);
        verifyFiles(full, 6.0);
        QCOMPARE(recents->entries().front().result->jobID, full.jobID);

        // Progress ran forward from reading the soundtrack through the job and the mix to done,
        // never back: the mix is a part of the whole.
        QVERIFY(reports.size() >= 5);
        QCOMPARE(reports.front().stage.kind(), ProcessingStage::Kind::extractingAudio);
        for (size_t i = 1; i < reports.size(); ++i)
            QVERIFY(reports[i].fractionCompleted >= reports[i - 1].fractionCompleted);
        QCOMPARE(reports[reports.size() - 2].stage.kind(), ProcessingStage::Kind::mixing);
        QCOMPARE(reports.back().stage.kind(), ProcessingStage::Kind::completed);

        // The local server has no song catalogue here: its answer says no check was made, and
        // the card says that, not that something failed.
        QVERIFY(QTest::qWaitFor([&] {
            return coordinator->currentResult()->claimCheck
                && coordinator->currentResult()->claimCheck->status != ClaimCheckStatus::checking;
        }, 30000));
        QCOMPARE(coordinator->currentResult()->claimCheck->status, ClaimCheckStatus::notChecked);
        QCOMPARE(coordinator->copyrightCheckCard(), CopyrightCheckCard::of(CopyrightCheckCard::Kind::unavailable));
    }

    // A soundtrack that starts a second after the picture: the result, its export and the
    // original's envelope keep every beep where the source plays it, though the service's stems
    // start at zero.
    void delayedSoundtrackThroughTheExport()
    {
        const QString picture = dir.filePath(QStringLiteral("picture.mp4"));
        const QString beeps = dir.filePath(QStringLiteral("beeps.m4a"));
        const QString delayed = dir.filePath(QStringLiteral("Delayed.mp4"));
        QVERIFY(test::makePicture(picture, 4));
        QVERIFY(test::makeBeeps(beeps, 3));
        QVERIFY(test::ffmpeg({"-i", picture, "-itsoffset", "1", "-i", beeps, "-map", "0:v", "-map", "1:a", "-c", "copy",
                              delayed}));
        const std::vector<double> expected = test::beepTimes(delayed);
        QCOMPARE(expected.size(), size_t(3));

        coordinator->openVideo(QUrl::fromLocalFile(delayed));
        QVERIFY(QTest::qWaitFor([&] { return coordinator->hasPreviewResult() && !coordinator->isProcessing(); },
                                90000));
        QVERIFY2(!coordinator->errorMessage(), qPrintable(coordinator->errorMessage().value_or(QString())));
        QVERIFY(coordinator->currentResult()->coversWholeVideo);
        QVERIFY(QTest::qWaitFor([&] { return coordinator->originalEnvelope().has_value(); }, 30000));
        QCOMPARE(coordinator->originalEnvelope()->maxima(0.0, 0.9)[0], 0.0f);
        QVERIFY(coordinator->originalEnvelope()->maxima(1.0, 1.04)[0] > 0.3f);

        coordinator->cleanFullVideo();
        QVERIFY(QTest::qWaitFor([&] { return coordinator->hasFullResult() && !coordinator->isPromoting(); }, 30000));
        for (AudioQuality quality : {AudioQuality::aac, AudioQuality::losslessPCM}) {
            const ExportBundle bundle = test::runTask(coordinator->prepareExport(quality), 60000);
            const std::vector<double> heard = test::beepTimes(bundle.videoURL.toLocalFile());
            bool same = heard.size() == expected.size();
            for (size_t i = 0; same && i < heard.size(); ++i)
                same = std::abs(heard[i] - expected[i]) <= 0.025;
            QStringList got;
            for (double t : heard)
                got << QString::number(t, 'f', 4);
            QVERIFY2(same, qPrintable(bundle.videoURL.fileName() + ": beeps at " + got.join(u' ')));
        }
    }
};

QTEST_GUILESS_MAIN(TestCoordinatorEndToEnd)
#include "test_coordinator_end_to_end.moc"
