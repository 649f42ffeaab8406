// The open video's whole flow end to end: a generated movie whose music is a song of the local
// server's catalogue, through the cloud engine over loopback and the real media work: preview,
// full clean, the song check requested and followed to its verdict, a re-mix, and the export's
// files checked with ffprobe.

#include "coordinator/engine_coordinator.h"
#include "helpers_audition.h"

#include "backend/api_client.h"
#include "backend/session_token_store.h"
#include "http/http_server.h"
#include "pipeline/cloud_separation_engine.h"
#include "platform/audio_output.h"
#include "platform/network.h"
#include "support/local_server.h"
#include "support/test_support.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

using namespace hf;
using namespace std::chrono_literals;

namespace {

// A little stereo melody: held notes of 0.6 s, a different line on each side (a centred sound
// would count as dialogue).
QString melody(double seconds)
{
    return QString("aevalsrc='0.5*exp(-3*mod(t,0.6))*sin(2*PI*t*220*pow(2,mod(floor(t/0.6)*5,12)/12))"
                   "+0.2*sin(2*PI*t*110*pow(2,mod(floor(t/2.4)*3,12)/12))"
                   "|0.5*exp(-3*mod(t+0.3,0.6))*sin(2*PI*t*330*pow(2,mod(floor(t/0.6+0.5)*7,12)/12))"
                   "+0.2*sin(2*PI*t*165*pow(2,mod(floor(t/2.4)*4,12)/12))':s=44100:d=%1")
        .arg(seconds);
}

// ffprobe's streams of a file: codec type to codec names, and the container's duration.
struct Probe {
    QStringList video;
    QStringList audio;
    double duration = 0;
};

Probe probe(const QUrl& file)
{
    QProcess process;
    process.start("ffprobe", {"-v", "error", "-show_streams", "-show_format", "-of", "json", file.toLocalFile()});
    Probe result;
    if (!process.waitForFinished(30000) || process.exitCode() != 0)
        return result;
    const QJsonObject info = QJsonDocument::fromJson(process.readAllStandardOutput()).object();
    for (const auto& value : info.value("streams").toArray()) {
        const QJsonObject stream = value.toObject();
        const QString codec = stream.value("codec_name").toString();
        if (stream.value("codec_type").toString() == "video")
            result.video << codec;
        else if (stream.value("codec_type").toString() == "audio")
            result.audio << codec;
    }
    result.duration = info.value("format").toObject().value("duration").toString().toDouble();
    return result;
}

} // namespace

class TestCoordinatorFlow : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

private Q_SLOTS:
    void wholeFlow()
    {
        if (!test::haveProgram("ffmpeg") || !test::haveProgram("ffprobe"))
            QSKIP("needs ffmpeg and ffprobe");
        // The catalogue holds the song; the movie plays eight seconds of it over a test picture.
        const QString catalogue = dir.filePath("catalogue");
        QVERIFY(QDir().mkpath(catalogue));
        QVERIFY(test::runFfmpeg({"-f", "lavfi", "-i", melody(12), "-c:a", "flac",
                                 catalogue + "/Ann Example - Tune One.flac"}));
        const QUrl movie = QUrl::fromLocalFile(dir.filePath("Holiday.mov"));
        QVERIFY(test::runFfmpeg({"-f", "lavfi", "-i", "testsrc=size=160x120:rate=15", "-f", "lavfi", "-i",
                                 melody(12), "-ss", "2", "-t", "8", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a",
                                 "aac", movie.toLocalFile()}));

        test::LocalServer server([&](server::ServerOptions& o) { o.catalogueDir = catalogue.toStdString(); });
        std::unique_ptr<QNetworkAccessManager> apiSession(makeEphemeralNetworkSession(nullptr));
        std::unique_ptr<QNetworkAccessManager> transferSession(makeEphemeralNetworkSession(nullptr));
        InMemoryTokenStore tokens;
        APIClient api(server.baseUrl(), apiSession.get(), &tokens);
        URLSessionUploader uploader(transferSession.get());
        const QString caches = dir.filePath("Caches");
        CloudSeparationEngine engine(&api, &uploader, transferSession.get(), caches + "/Jobs");
        engine.setPollInterval(50ms);
        MemorySettingsStore defaults;
        AccountStore account(&api, &defaults);
        RecentVideos recents(&defaults, caches);
        ReviewPrompter prompter(defaults);
        AudioPlayerService player(std::make_unique<NullAudioOutput>(NullAudioOutput::Mode::manual));
        SeparationSettings settings;
        settings.checkSongsAutomatically = false;
        auto coordinator = std::make_unique<EngineCoordinator>(&engine, &recents, &prompter, &account, &player,
                                                               caches + "/Work", settings, &defaults, nullptr, &api);
        EngineCoordinator* c = coordinator.get();
        c->setSongCheckPolling(200ms, 60s);
        test::runTask(account.ensureSession(), 30000);

        // Open: the preview covers the whole movie; the full clean promotes it, without a check.
        c->openVideo(movie);
        QVERIFY(QTest::qWaitFor([&] { return c->hasPreviewResult() && !c->isProcessing(); }, 90000));
        QVERIFY2(!c->errorMessage(), qPrintable(c->errorMessage().value_or(QString())));
        c->cleanFullVideo();
        QVERIFY(QTest::qWaitFor([&] { return c->hasFullResult() && !c->isPromoting(); }, 30000));
        QVERIFY(!c->errorMessage());
        QCOMPARE(c->copyrightCheckCard(), CopyrightCheckCard::of(CopyrightCheckCard::Kind::available));

        // The song check, requested and followed: the song is found and gone from the clean mix.
        c->requestSongCheck();
        QVERIFY(QTest::qWaitFor([&] {
            return c->copyrightCheckCard().kind != CopyrightCheckCard::Kind::checking;
        }, 90000));
        const CopyrightCheckCard card = c->copyrightCheckCard();
        QCOMPARE(card.kind, CopyrightCheckCard::Kind::songs);
        QCOMPARE(card.songList.size(), size_t(1));
        QCOMPARE(card.songList[0].title, QString("Tune One"));
        QCOMPARE(card.songList[0].artist, std::optional<QString>("Ann Example"));
        QCOMPARE(card.songList[0].verdict, CopyrightCheckCard::Verdict::gone);
        QVERIFY(!card.songList[0].ranges.empty());
        QCOMPARE(recents.entries().front().result->claimCheck, c->currentResult()->claimCheck);

        // A re-mix at a new level: a new clean soundtrack replaces the old one.
        const QUrl oldClean = c->currentResult()->cleanAudioURL;
        c->setAmbience(0.2);
        QVERIFY(QTest::qWaitFor([&] { return c->currentResult()->ambience == 0.2 && !c->isRemixing(); }, 30000));
        const QUrl newClean = c->currentResult()->cleanAudioURL;
        QVERIFY(newClean != oldClean);
        QVERIFY(!QFile::exists(oldClean.toLocalFile()));
        QCOMPARE(probe(newClean).audio, QStringList{"aac"});

        // The export's files: verified videos with the clean mix as their only sound.
        for (AudioQuality quality : {AudioQuality::aac, AudioQuality::losslessPCM}) {
            const ExportBundle bundle = test::runTask(c->prepareExport(quality), 60000);
            const Probe video = probe(bundle.videoURL);
            QCOMPARE(QFileInfo(bundle.videoURL.toLocalFile()).fileName(), QString("Holiday (Hushframe).mov"));
            QCOMPARE(video.video, QStringList{"h264"});
            QCOMPARE(video.audio, QStringList{quality == AudioQuality::aac ? "aac" : "pcm_s24le"});
            QVERIFY2(std::abs(video.duration - 8.0) < 0.3, qPrintable(QString::number(video.duration)));
            for (const QUrl& stem : bundle.stemURLs)
                QCOMPARE(probe(stem).audio, QStringList{"flac"});
        }
        QCOMPARE(prompter.successCount(), qint64(1));
        c->noteExported();
        QVERIFY(!c->hasUnexportedFullResult());
        QVERIFY(recents.entries().front().exported);

        coordinator.reset();
        QTest::qWait(50);
    }
};

QTEST_GUILESS_MAIN(TestCoordinatorFlow)
#include "test_coordinator_flow.moc"
