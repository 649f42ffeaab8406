// Sound that does not start with the picture, and containers whose clocks do not start at zero:
// the whole chain (inspect, extract, mix, remux, verify) keeps every beep where the source plays
// it; sources cut short are refused with the incomplete-file text.

#include "helpers_media.h"

#include "pipeline/ffmpeg_support.h"
#include "pipeline/soundtrack_envelope.h"
#include "pipeline/stem_mixer.h"
#include "pipeline/video_demuxer_muxer.h"
#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

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

    QString exportFailureOf(const std::function<void()>& f)
    {
        try {
            f();
        } catch (const MediaError& e) {
            if (e.errorCase() == MediaError::Case::exportFailed)
                return e.message();
            return QStringLiteral("case %1").arg(int(e.errorCase()));
        }
        return QStringLiteral("no error");
    }

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
        QVERIFY(haveProgram("ffmpeg") && haveProgram("ffprobe"));
        QVERIFY(makePicture(path("picture.mp4"), 4));
        QVERIFY(makeBeeps(path("beeps.m4a"), 3));
        QVERIFY(makeBeeps(path("beeps.wav"), 3, {"-c:a", "pcm_s16le"}));
        const QStringList picture{"-i", path("picture.mp4")};
        const QStringList pair{"-map", "0:v", "-map", "1:a"};
        QVERIFY(ffmpeg(picture + QStringList{"-i", path("beeps.m4a")} + pair + QStringList{"-c", "copy", path("synced.mp4")}));
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
};

QTEST_GUILESS_MAIN(TimelineTest)
#include "test_timeline.moc"
