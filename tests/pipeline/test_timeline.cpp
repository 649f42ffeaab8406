// Sound that does not start with the picture, and containers whose clocks do not start at zero:
// the whole chain (inspect, extract, mix, remux, verify) keeps every beep where the source plays
// it; sources cut short are refused with the incomplete-file text, and a live recording that
// declares no size is not taken for one.

#include "helpers_media.h"

#include "pipeline/ffmpeg_support.h"
#include "pipeline/soundtrack_envelope.h"
#include "pipeline/stem_mixer.h"
#include "pipeline/video_demuxer_muxer.h"
#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

using namespace hf;
using namespace hf::test;

namespace {

// The beeps of two files agree: as many, each within `tolerance` seconds.
QString beepMismatch(const std::vector<double>& expected, const std::vector<double>& actual, double tolerance = 0.025)
{
    auto list = [](const std::vector<double>& v) {
        QStringList out;
        for (double t : v)
            out << QString::number(t, 'f', 4);
        return out.join(u' ');
    };
    bool same = expected.size() == actual.size() && !expected.empty();
    for (size_t i = 0; same && i < expected.size(); ++i)
        same = std::fabs(expected[i] - actual[i]) <= tolerance;
    return same ? QString() : QStringLiteral("beeps at [%1], expected [%2]").arg(list(actual), list(expected));
}

double maxOffset(const std::vector<double>& expected, const std::vector<double>& actual)
{
    double worst = 0;
    for (size_t i = 0; i < std::min(expected.size(), actual.size()); ++i)
        worst = std::max(worst, std::fabs(expected[i] - actual[i]));
    return worst;
}

} // namespace

class TimelineTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QUrl url(const QString& name) const { return fileUrl(path(name)); }

    bool cut(const QString& from, const QString& to, double share)
    {
        QFile::remove(path(to));
        if (!QFile::copy(path(from), path(to)))
            return false;
        QFile file(path(to));
        return file.resize(qint64(double(file.size()) * share));
    }

    // What the separation service gives back: the uploaded soundtrack decoded from its first
    // sample, starting at zero, and a silent effects stem.
    void separate(const QString& extracted, const QString& dialogue, const QString& effects)
    {
        QVERIFY(ffmpeg({"-i", extracted, "-c:a", "pcm_s16le", dialogue}));
        QVERIFY(ffmpeg({"-i", extracted, "-af", "volume=0", "-c:a", "pcm_s16le", effects}));
        const QJsonArray stem = probeStreams(dialogue, "audio");
        QVERIFY(qAbs(stem.at(0).toObject().value("start_time").toString().toDouble()) < 0.001);
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(haveProgram("ffmpeg") && haveProgram("ffprobe"));
        QVERIFY(makePicture(path("picture.mp4"), 4));
        QVERIFY(makeBeeps(path("beeps.m4a"), 3));
        QVERIFY(makeBeeps(path("beeps.wav"), 3, {"-c:a", "pcm_s16le"}));
        const QStringList picture{"-i", path("picture.mp4")};
        const QStringList pair{"-map", "0:v", "-map", "1:a"};
        QVERIFY(ffmpeg(picture + QStringList{"-i", path("beeps.m4a")} + pair
                       + QStringList{"-c", "copy", path("synced.mp4")}));
        // Sound one second after the picture, in the containers cameras and editors write.
        for (const QString& name : {QStringLiteral("delayed.mp4"), QStringLiteral("delayed.mkv")})
            QVERIFY(ffmpeg(picture + QStringList{"-itsoffset", "1", "-i", path("beeps.m4a")} + pair
                           + QStringList{"-c", "copy", path(name)}));
        QVERIFY(ffmpeg(picture + QStringList{"-itsoffset", "1", "-i", path("beeps.wav")} + pair
                       + QStringList{"-c", "copy", path("delayed-pcm.mov")}));
        // Every stream's clock starts late: an MPEG-TS stream, a Matroska file moved by 5 s.
        QVERIFY(ffmpeg({"-i", path("synced.mp4"), "-c", "copy", path("camcorder.m2ts")}));
        QVERIFY(ffmpeg({"-i", path("synced.mp4"), "-c", "copy", "-output_ts_offset", "5", path("offset.mkv")}));
        // The picture starts a second after the sound.
        QVERIFY(ffmpeg({"-itsoffset", "1", "-i", path("picture.mp4"), "-i", path("beeps.m4a"), "-map", "0:v", "-map",
                        "1:a", "-c", "copy", path("late-picture.mp4")}));
        // Sources to cut short: other soundtrack codecs, and MPEG-4 with its index up front.
        QVERIFY(ffmpeg(picture + QStringList{"-i", path("beeps.wav")} + pair
                       + QStringList{"-c:v", "copy", "-c:a", "ac3", path("ac3.mkv")}));
        QVERIFY(ffmpeg(picture + QStringList{"-i", path("beeps.wav")} + pair
                       + QStringList{"-c", "copy", "-movflags", "+faststart", path("pcm.mov")}));
        QVERIFY(ffmpeg({"-i", path("synced.mp4"), "-c", "copy", "-movflags", "+faststart", path("faststart.mp4")}));
    }

    void chainKeepsTheSoundInPlace_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<double>("soundStart");   // on the picture's timeline
        QTest::newRow("synced mp4") << "synced.mp4" << 0.0;
        QTest::newRow("delayed AAC in mp4") << "delayed.mp4" << 1.0;
        QTest::newRow("delayed AAC in mkv") << "delayed.mkv" << 1.0;
        QTest::newRow("delayed PCM in mov") << "delayed-pcm.mov" << 1.0;
        QTest::newRow("camcorder m2ts") << "camcorder.m2ts" << 0.0;
        QTest::newRow("mkv starting at 5 s") << "offset.mkv" << 0.0;
        QTest::newRow("late picture") << "late-picture.mp4" << 0.0;
    }

    void chainKeepsTheSoundInPlace()
    {
        QFETCH(QString, source);
        QFETCH(double, soundStart);
        const QString tag = QFileInfo(source).completeBaseName() + u'-' + QFileInfo(source).suffix();
        const std::vector<double> expected = beepTimes(path(source));
        QCOMPARE(expected.size(), size_t(3));

        const double duration = VideoDemuxerMuxer::inspect(url(source));
        QVERIFY2(duration > 3.9 && duration < 5.1, qPrintable(QString::number(duration)));

        const QString folder = path("work-" + tag);
        const ExtractedAudio extracted = VideoDemuxerMuxer::extractSoundtrack(url(source), fileUrl(folder), std::nullopt);
        // Three seconds of sound, at its place on the picture's timeline.
        QVERIFY2(qAbs(extracted.duration - 3.0) < 0.06, qPrintable(QString::number(extracted.duration)));
        QVERIFY2(qAbs(extracted.start - soundStart) < 0.03, qPrintable(QString::number(extracted.start)));
        std::vector<double> extractedBeeps = beepTimes(extracted.url.toLocalFile());
        if (source == "late-picture.mp4")
            for (double& t : extractedBeeps)
                t -= 1.0;   // the extract has no picture: its zero is the sound's
        QVERIFY2(beepMismatch(expected, extractedBeeps).isEmpty(), qPrintable(beepMismatch(expected, extractedBeeps)));

        const QString dialogue = folder + "/dialogue.wav", effects = folder + "/effects.wav";
        separate(extracted.url.toLocalFile(), dialogue, effects);
        const QUrl clean = StemMixer::mixNow(fileUrl(dialogue), fileUrl(effects), extracted.url,
                                             fileUrl(folder + "/clean.m4a"), AudioQuality::aac, 1.0);
        const auto type = VideoDemuxerMuxer::outputFileType(url(source), false);
        const QUrl target = fileUrl(folder + "/out." + VideoDemuxerMuxer::fileExtension(type));
        const QUrl written = VideoDemuxerMuxer::remux(url(source), clean, target, type);
        VideoDemuxerMuxer::verifyExport(written, url(source), clean);

        // ffprobe's view: the sound starts as far from the picture as in the source (the stated
        // start may take in an AAC encoder's near-silent priming, one frame per encoding).
        auto soundAfterPicture = [](const QString& file) {
            const double video = probeStreams(file, "video").at(0).toObject().value("start_time").toString().toDouble();
            const double audio = probeStreams(file, "audio").at(0).toObject().value("start_time").toString().toDouble();
            return audio - video;
        };
        const double lead = soundAfterPicture(path(source));
        QVERIFY2(qAbs(soundAfterPicture(written.toLocalFile()) - lead) < 0.05,
                 qPrintable(QStringLiteral("%1 against %2").arg(soundAfterPicture(written.toLocalFile())).arg(lead)));

        const std::vector<double> actual = beepTimes(written.toLocalFile());
        qInfo("%s: beeps off by at most %.4f s", qPrintable(source), maxOffset(expected, actual));
        QVERIFY2(beepMismatch(expected, actual).isEmpty(), qPrintable(beepMismatch(expected, actual)));

        // The lossless route: PCM in a QuickTime movie, the clean soundtrack a WAV file that
        // cannot state a start.
        const QUrl wav = StemMixer::mixNow(fileUrl(dialogue), fileUrl(effects), extracted.url,
                                           fileUrl(folder + "/clean.wav"), AudioQuality::losslessPCM, 1.0);
        const QUrl movie = VideoDemuxerMuxer::remux(url(source), wav, fileUrl(folder + "/out-pcm.mov"),
                                                    VideoDemuxerMuxer::FileType::quickTimeMovie);
        VideoDemuxerMuxer::verifyExport(movie, url(source), wav);
        const std::vector<double> pcm = beepTimes(movie.toLocalFile());
        QVERIFY2(beepMismatch(expected, pcm).isEmpty(), qPrintable(beepMismatch(expected, pcm)));
    }

    // A preview takes what sounds in the video's first seconds, at its place; a written video
    // whose soundtrack sits elsewhere than the source's fails verification.
    void previewAndVerificationOfADelayedSoundtrack()
    {
        const ExtractedAudio preview =
            VideoDemuxerMuxer::extractSoundtrack(url("delayed.mp4"), fileUrl(path("work-preview")), 2.5);
        QVERIFY2(qAbs(preview.start - 0.978) < 0.01, qPrintable(QString::number(preview.start)));
        QVERIFY2(qAbs(preview.start + preview.duration - 2.5) < 0.01, qPrintable(QString::number(preview.duration)));
        QCOMPARE(preview.sourceDuration, 4.0);
        const std::vector<double> heard = beepTimes(preview.url.toLocalFile());
        QVERIFY2(beepMismatch({1.0, 2.0}, heard).isEmpty(), qPrintable(beepMismatch({1.0, 2.0}, heard)));

        const ExtractedAudio whole =
            VideoDemuxerMuxer::extractSoundtrack(url("delayed.mp4"), fileUrl(path("work-verify")), std::nullopt);
        const QString wrong = path("work-verify/half-a-second-early.mp4");
        QVERIFY(ffmpeg({"-i", path("picture.mp4"), "-itsoffset", "0.5", "-i", whole.url.toLocalFile(), "-map", "0:v",
                        "-map", "1:a", "-c", "copy", wrong}));
        QTest::ignoreMessage(QtCriticalMsg,
                             QRegularExpression("Export verification failed for half-a-second-early.mp4: soundtrack "
                                                "starts at 0\\.5\\d*s, expected 0\\.978s"));
        try {
            VideoDemuxerMuxer::verifyExport(fileUrl(wrong), url("delayed.mp4"), whole.url);
            QFAIL("a soundtrack half a second early passed verification");
        } catch (const MediaError& e) {
            QCOMPARE(e.errorCase(), MediaError::Case::verificationFailed);
        }
    }

    // A file that holds less than its container declares is incomplete wherever it is read whole,
    // even when the frames lost fit inside the tolerance of a stream's stated end; the first
    // seconds of it can still be previewed.
    void cutSourcesAreIncomplete_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<double>("share");
        QTest::newRow("Matroska at 99.9%") << "delayed.mkv" << 0.999;
        QTest::newRow("Matroska at 99%") << "delayed.mkv" << 0.99;
        QTest::newRow("Matroska at 60%") << "offset.mkv" << 0.6;
        QTest::newRow("AC-3 in Matroska at 80%") << "ac3.mkv" << 0.8;
        QTest::newRow("PCM in QuickTime at 80%") << "pcm.mov" << 0.8;
        QTest::newRow("faststart MPEG-4 at 99%") << "faststart.mp4" << 0.99;
        QTest::newRow("faststart MPEG-4 at 70%") << "faststart.mp4" << 0.7;
    }

    void cutSourcesAreIncomplete()
    {
        QFETCH(QString, source);
        QFETCH(double, share);
        const QString name = QStringLiteral("cut-%1-%2").arg(share).arg(source);
        QVERIFY(cut(source, name, share));
        QVERIFY(VideoDemuxerMuxer::inspect(url(name)) > 3.9);
        const QString folder = path("work-" + name);
        QCOMPARE(exportFailureOf([&] { VideoDemuxerMuxer::extractSoundtrack(url(name), fileUrl(folder), std::nullopt); }),
                 MediaError::truncatedMessage());
        QVERIFY(QDir(folder).entryList(QDir::Files | QDir::Hidden).isEmpty());
        const QString out = folder + "/out.mp4";
        QCOMPARE(exportFailureOf([&] {
                     VideoDemuxerMuxer::remux(url(name), url("beeps.m4a"), fileUrl(out), VideoDemuxerMuxer::FileType::mpeg4);
                 }),
                 MediaError::truncatedMessage());
        QVERIFY(QDir(folder).entryList(QDir::Files | QDir::Hidden).isEmpty());
        const ExtractedAudio preview = VideoDemuxerMuxer::extractSoundtrack(url(name), fileUrl(folder), 2.0);
        QVERIFY2(preview.start + preview.duration > 1.9, qPrintable(QString::number(preview.duration)));
    }

    // Matroska states a stream's end in its DURATION tag, hours, minutes and seconds.
    void matroskaEndsFromTheirTags_data()
    {
        QTest::addColumn<double>("seconds");
        QTest::newRow("seconds") << 4.5;
        QTest::newRow("minutes") << 125.0;
        QTest::newRow("hours") << 3700.0;
    }
    void matroskaEndsFromTheirTags()
    {
        QFETCH(double, seconds);
        const QString file = path(QStringLiteral("tagged-%1.mkv").arg(seconds));
        QVERIFY(ffmpeg({"-f", "lavfi", "-i", "anullsrc=r=1000:cl=mono", "-t", QString::number(seconds), "-c:a",
                        "pcm_u8", file}));
        media::InputContext input = media::openInput(file);
        const auto audio = media::audioStreams(input.get());
        QCOMPARE(audio.size(), size_t(1));
        QVERIFY(av_dict_get(audio.front()->metadata, "DURATION", nullptr, 0));
        const double end = media::statedStreamEnd(audio.front());
        QVERIFY2(qAbs(end - seconds) < 0.01, qPrintable(QString::number(end)));
    }

    // A live recorder's Matroska declares its segment's size unknown (it cannot go back to write
    // it): nothing says such a file was cut short, and it is read to its end.
    void unknownSizeMatroskaIsWhole()
    {
        const QByteArray unknownSegment = QByteArray::fromHex("18538067" "01ffffffffffffff");
        // Written into a pipe, as a recorder streaming out writes it.
        const QString piped = path("piped.mkv");
        QProcess recorder;
        recorder.setStandardOutputFile(piped);
        recorder.start(QStringLiteral("ffmpeg"), {"-v", "error", "-nostdin", "-i", path("delayed.mp4"), "-c", "copy",
                                                  "-f", "matroska", "-"});
        QVERIFY(recorder.waitForFinished(60000));
        QCOMPARE(recorder.exitCode(), 0);
        QFile pipedFile(piped);
        QVERIFY(pipedFile.open(QIODevice::ReadOnly));
        QVERIFY(pipedFile.read(4096).contains(unknownSegment));
        QVERIFY(!media::endsBeforeDeclaredSize(QFile::encodeName(piped)));
        media::requireWholeFile(QFile::encodeName(piped));

        // A recorder that states the length up front but leaves the segment's size unknown: the
        // whole chain reads it.
        QVERIFY(ffmpeg({"-i", path("delayed.mp4"), "-c", "copy", path("sized.mkv")}));
        QFile sized(path("sized.mkv"));
        QVERIFY(sized.open(QIODevice::ReadOnly));
        QByteArray data = sized.readAll();
        const qsizetype segment = data.indexOf(QByteArray::fromHex("18538067"));
        QVERIFY(segment > 0 && data.at(segment + 4) == 0x01);   // an eight-byte size, as ffmpeg writes it
        data.replace(segment, unknownSegment.size(), unknownSegment);
        QFile live(path("live.mkv"));
        QVERIFY(live.open(QIODevice::WriteOnly));
        live.write(data);
        live.close();
        QVERIFY(!media::endsBeforeDeclaredSize(QFile::encodeName(path("live.mkv"))));
        const QString folder = path("work-live");
        const ExtractedAudio extracted = VideoDemuxerMuxer::extractSoundtrack(url("live.mkv"), fileUrl(folder), std::nullopt);
        QVERIFY2(qAbs(extracted.start - 1.0) < 0.03, qPrintable(QString::number(extracted.start)));
        QVERIFY2(qAbs(extracted.start + extracted.duration - 4.0) < 0.1, qPrintable(QString::number(extracted.duration)));
        const QUrl written = VideoDemuxerMuxer::remux(url("live.mkv"), extracted.url, fileUrl(folder + "/out.mp4"),
                                                      VideoDemuxerMuxer::FileType::mpeg4);
        VideoDemuxerMuxer::verifyExport(written, url("live.mkv"), extracted.url);
    }

    // A name that is not valid UTF-8 reaches the file as its bytes, from opening to the copy
    // into the imports folder.
    void namesAreTheFileSystemsBytes()
    {
        const QByteArray bytes = QFile::encodeName(m_dir.path()) + "/clip-\xff\xfe.mp4";
        {
            QFile in(path("delayed.mp4"));
            QVERIFY(in.open(QIODevice::ReadOnly));
            const QByteArray data = in.readAll();
            const int fd = ::open(bytes.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            QVERIFY(fd >= 0);
            QCOMPARE(::write(fd, data.constData(), size_t(data.size())), ssize_t(data.size()));
            ::close(fd);
        }
        const QUrl video = QUrl::fromEncoded("file://" + bytes.toPercentEncoding("/"));
        QCOMPARE(media::nativePath(video), bytes);

        const SourceVideo loaded = SourceVideo::load(video);
        QVERIFY(qAbs(loaded.duration - 4.0) < 0.05);
        const QString folder = path("work-bytes");
        const ExtractedAudio extracted = VideoDemuxerMuxer::extractSoundtrack(video, fileUrl(folder), std::nullopt);
        QVERIFY(qAbs(extracted.start - 1.0) < 0.03);
        const QUrl written = VideoDemuxerMuxer::remux(video, extracted.url, fileUrl(folder + "/out.mp4"),
                                                      VideoDemuxerMuxer::FileType::mpeg4);
        VideoDemuxerMuxer::verifyExport(written, video, extracted.url);
        QVERIFY(beepMismatch(beepTimes(path("delayed.mp4")), beepTimes(written.toLocalFile())).isEmpty());

        const QUrl copy = PickedMovie::copyIntoImports(video);
        QVERIFY(media::nativePath(copy).endsWith("/clip-\xff\xfe.mp4"));
        QVERIFY(media::nativePath(copy).startsWith(QFile::encodeName(PickedMovie::importsFolder())));
        QVERIFY(qAbs(SourceVideo::load(copy).duration - 4.0) < 0.05);
    }

    // The original soundtrack is drawn on the picture's timeline: silence until its sound starts.
    void envelopesOfADelayedSoundtrack()
    {
        const auto envelope = SoundtrackEnvelope::compute(url("delayed.mp4"));
        QVERIFY(envelope);
        QVERIFY2(qAbs(int(envelope->peaks.size()) - 200) <= 2, qPrintable(QString::number(envelope->peaks.size())));
        QCOMPARE(envelope->maxima(0.0, 0.95)[0], 0.0f);
        QVERIFY(envelope->maxima(1.0, 1.04)[0] > 0.5);
        QVERIFY(envelope->maxima(2.0, 2.04)[0] > 0.5);

        const ExtractedAudio extracted =
            VideoDemuxerMuxer::extractSoundtrack(url("delayed.mp4"), fileUrl(path("work-bars")), std::nullopt);
        const std::vector<float> bars = computeWaveformBars(extracted.url, 40);
        QCOMPARE(bars.size(), size_t(40));
        for (int i = 0; i < 9; ++i)
            QVERIFY2(bars[size_t(i)] < 0.01f, qPrintable(QString::number(i)));
        QVERIFY(bars[10] > 0.5f);   // the first beep, at 1 s of 4

        // Stems that come back starting at zero are drawn where the soundtrack they came from starts.
        const QString stem = path("work-bars/stem.wav"), silent = path("work-bars/silent.wav");
        separate(extracted.url.toLocalFile(), stem, silent);
        const auto stems = runTask(StemEnvelopes::load(fileUrl(stem), fileUrl(silent), fileUrl(silent), extracted.url));
        QVERIFY(stems);
        QCOMPARE(stems->dialogue.maxima(0.0, 0.95)[0], 0.0f);
        QVERIFY(stems->dialogue.maxima(1.0, 1.04)[0] > 0.5f);
        QVERIFY(stems->dialogue.maxima(3.0, 3.04)[0] > 0.5f);
    }
};

QTEST_GUILESS_MAIN(TimelineTest)
#include "test_timeline.moc"
