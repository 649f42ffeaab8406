#include "helpers_editor.h"

#include "helpers_audition.h"

#include "support/test_support.h"

#include <QFile>
#include <QProcess>
#include <QTest>


namespace hf::test {

bool makeSpeechMovie(const QString& path, double seconds)
{
    if (!haveProgram(QStringLiteral("ffmpeg")) || !haveProgram(QStringLiteral("espeak-ng")))
        return false;
    const QString speech = path + QStringLiteral(".speech.wav");
    QProcess espeak;
    espeak.start(QStringLiteral("espeak-ng"),
                 {"-m", "-s", "150", "-w", speech,
                  "<speak>Good evening, and welcome back to the harbour. <break time=\"1800ms\"/>"
                  "The boats came in late tonight, and the music from the square carried over the water. "
                  "<break time=\"2500ms\"/>Listen. You can still hear the band. <break time=\"2000ms\"/>"
                  "We will walk along the pier until the lights go out.</speak>"});
    if (!espeak.waitForFinished(30000) || espeak.exitCode() != 0 || !QFile::exists(speech)) {
        qWarning("espeak-ng failed: %s", espeak.readAllStandardError().constData());
        return false;
    }
    const QString length = QString::number(seconds);
    // Chords on a root that changes every two seconds, a quarter turn apart between the channels so
    // that they are not heard from the centre, with a slow swell.
    const QString root = QStringLiteral("(196*pow(2,3*mod(floor(t/2),4)/12))");
    const QString swell = QStringLiteral("(0.55+0.45*pow(sin(PI*t/2),2))");
    const QString left = QStringLiteral("0.09*%1*(sin(2*PI*%2*t)+sin(2*PI*%2*1.26*t)+sin(2*PI*%2*1.5*t)+"
                                        "0.5*sin(2*PI*%2*2*t))")
                             .arg(swell, root);
    const QString right = QString(left).replace(QStringLiteral("sin(2"), QStringLiteral("cos(2"));
    const QString filters =
        QStringLiteral("[1:a]pan=stereo|c0=c0|c1=c0,aresample=44100,adelay=800|800,apad,atrim=0:%1,volume=1.8[sp];"
                       "[3:a][4:a]join=inputs=2:channel_layout=stereo,"
                       "volume='if(lt(mod(t,4.5),0.9),1,0.12)':eval=frame[fx];"
                       "[2:a][sp][fx]amix=inputs=3:normalize=0,atrim=0:%1[a]")
            .arg(length);
    const bool made = runFfmpeg(
        {"-f", "lavfi", "-i", QStringLiteral("testsrc2=size=320x180:rate=25:d=%1").arg(length), "-i", speech, "-f",
         "lavfi", "-i", QStringLiteral("aevalsrc=exprs='%1|%2':s=44100:d=%3").arg(left, right, length), "-f", "lavfi",
         "-i", QStringLiteral("anoisesrc=color=pink:amplitude=0.22:seed=7:d=%1:r=44100").arg(length), "-f", "lavfi",
         "-i", QStringLiteral("anoisesrc=color=pink:amplitude=0.22:seed=11:d=%1:r=44100").arg(length),
         "-filter_complex", filters, "-map", "0:v", "-map", "[a]", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a",
         "aac", "-b:a", "192k", "-t", length, path});
    QFile::remove(speech);
    return made;
}

EditorRig::EditorRig()
{
    if (!haveProgram(QStringLiteral("ffmpeg")) || !haveProgram(QStringLiteral("ffprobe"))
        || !haveProgram(QStringLiteral("espeak-ng")))
        return;
    const QString caches = dir.filePath(QStringLiteral("Caches"));
    local = std::make_unique<LocalCloud>();
    cloud = local->makeEngine(caches + "/Jobs");
    defaults = std::make_unique<MemorySettingsStore>();
    account = std::make_unique<AccountStore>(local->api.get(), defaults.get());
    recents = std::make_unique<RecentVideos>(defaults.get(), caches);
    prompter = std::make_unique<ReviewPrompter>(*defaults);
    player = std::make_unique<AudioPlayerService>(std::make_unique<NullAudioOutput>(NullAudioOutput::Mode::manual));
    coordinator = std::make_unique<EngineCoordinator>(cloud.get(), recents.get(), prompter.get(), account.get(),
                                                      player.get(), caches + "/Work",
                                                      SeparationSettings::load(*defaults), defaults.get());
    runTask(account->ensureSession(), 30000);
    m_ready = account->hasSession();
}

EditorRig::~EditorRig()
{
    coordinator.reset();
    QTest::qWait(50);
    player.reset();
    prompter.reset();
    recents.reset();
    account.reset();
    defaults.reset();
    cloud.reset();
    local.reset();
}

QUrl EditorRig::movie(double seconds)
{
    if (m_movie.isEmpty()) {
        const QString path = dir.filePath(QStringLiteral("Harbour Evening.mp4"));
        if (makeSpeechMovie(path, seconds))
            m_movie = QUrl::fromLocalFile(path);
    }
    return m_movie;
}

bool EditorRig::openAndPreview(const QUrl& video, double previewSeconds, int timeoutMs)
{
    const std::optional<QUuid> before =
        coordinator->currentResult() ? std::optional(coordinator->currentResult()->id) : std::nullopt;
    coordinator->setPreviewSeconds(previewSeconds);
    coordinator->openVideo(video);
    const bool done = QTest::qWaitFor(
        [&] {
            return coordinator->currentResult() && coordinator->currentResult()->id != before
                   && !coordinator->isProcessing() && coordinator->stemEnvelopes() && coordinator->originalEnvelope();
        },
        timeoutMs);
    if (!done || coordinator->errorMessage()) {
        qWarning("preview failed: %s", qPrintable(coordinator->errorMessage().value_or(QStringLiteral("timed out"))));
        return false;
    }
    return true;
}

} // namespace hf::test
