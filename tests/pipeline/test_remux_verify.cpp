#include "helpers_media.h"

#include "pipeline/ffmpeg_support.h"
#include "pipeline/video_demuxer_muxer.h"
#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace hf;
using namespace hf::test;
using FileType = VideoDemuxerMuxer::FileType;

class RemuxVerifyTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QUrl url(const QString& name) const { return fileUrl(path(name)); }

    QByteArray contents(const QString& name)
    {
        QFile f(path(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    void expectVerificationFailure(const QString& written, const QString& source, const QString& clean,
                                   const QString& logged)
    {
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(logged));
        try {
            VideoDemuxerMuxer::verifyExport(url(written), url(source), url(clean));
            QFAIL(qPrintable("verification passed: " + written));
        } catch (const MediaError& e) {
            QCOMPARE(e.errorCase(), MediaError::Case::verificationFailed);
        }
    }

private slots:
    void initTestCase()
    {
        QVERIFY(haveProgram("ffmpeg") && haveProgram("ffprobe"));
        QVERIFY(makeMovie(path("movie.mp4"), 4, {"-movflags", "+faststart"}));
        // A main picture turned 90 degrees, and a second angle that starts at 2 s.
        QVERIFY(ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=12:duration=2", "-c:v", "libx264", "-preset",
                        "ultrafast", path("angle.mp4")}));
        QVERIFY(ffmpeg({"-i", path("movie.mp4"), "-itsoffset", "2", "-i", path("angle.mp4"), "-map", "0:v", "-map",
                        "1:v", "-map", "0:a", "-c", "copy", path("two.mov")}));
        QVERIFY(rotateFirstTrack(path("two.mov")));
        QVERIFY(makeTone(path("long.m4a"), 4.4, 48000, 2, "0.2*sin(2*PI*200*t)", {"-c:a", "aac"}));
        QVERIFY(makeTone(path("short.m4a"), 3.6, 48000, 2, "0.2*sin(2*PI*200*t)", {"-c:a", "aac"}));
        QVERIFY(makeTone(path("clean.wav"), 4.0, 48000, 2, "0.1", {"-c:a", "pcm_s24le"}));
        QVERIFY(ffmpeg({"-i", path("movie.mp4"), "-map", "0:v", "-c", "copy", path("picture-only.mp4")}));
        QFile::copy(path("movie.mp4"), path("truncated.mp4"));
        QFile truncated(path("truncated.mp4"));
        QVERIFY(truncated.resize(truncated.size() * 6 / 10));
    }

    void containerChoice()
    {
        QCOMPARE(VideoDemuxerMuxer::outputFileType(fileUrl("/v/Clip.MOV"), false), FileType::quickTimeMovie);
        QCOMPARE(VideoDemuxerMuxer::outputFileType(fileUrl("/v/clip.qt"), false), FileType::quickTimeMovie);
        QCOMPARE(VideoDemuxerMuxer::outputFileType(fileUrl("/v/clip.M4V"), false), FileType::m4v);
        QCOMPARE(VideoDemuxerMuxer::outputFileType(fileUrl("/v/clip.avi"), false), FileType::mpeg4);
        QCOMPARE(VideoDemuxerMuxer::outputFileType(fileUrl("/v/clip"), false), FileType::mpeg4);
        QCOMPARE(VideoDemuxerMuxer::outputFileType(fileUrl("/v/clip.mp4"), true), FileType::quickTimeMovie);
        QCOMPARE(VideoDemuxerMuxer::fileExtension(FileType::quickTimeMovie), QString("mov"));
        QCOMPARE(VideoDemuxerMuxer::fileExtension(FileType::m4v), QString("m4v"));
        QCOMPARE(VideoDemuxerMuxer::fileExtension(FileType::mpeg4), QString("mp4"));
    }

    // Two pictures with their own start, rotation and packets, one clean soundtrack cut at the
    // video's end; the result passes verification.
    void twoPicturesRotatedAndOffset()
    {
        const QString out = path("two-clean.mov");
        QFile old(out);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("an earlier export");
        old.close();
        QCOMPARE(VideoDemuxerMuxer::remux(url("two.mov"), url("long.m4a"), fileUrl(out), FileType::quickTimeMovie),
                 fileUrl(out));

        const QJsonArray video = probeStreams(out, "video");
        const QJsonArray sourceVideo = probeStreams(path("two.mov"), "video");
        QCOMPARE(video.size(), 2);
        QCOMPARE(probeStreams(out, "audio").size(), 1);
        QCOMPARE(probeStreams(out).size(), 3);
        for (int i = 0; i < 2; ++i) {
            const QString selector = QStringLiteral("v:%1").arg(i);
            QCOMPARE(packetHash(out, selector), packetHash(path("two.mov"), selector));
            QVERIFY(!packetHash(out, selector).isEmpty());
            const double start = video[i].toObject().value("start_time").toString().toDouble();
            QVERIFY2(qAbs(start - (i == 0 ? 0.0 : 2.0)) < 0.01, qPrintable(QString::number(start)));
        }
        const auto rotation = [](const QJsonObject& stream) {
            for (const auto& side : stream.value("side_data_list").toArray())
                if (side.toObject().contains("rotation"))
                    return side.toObject().value("rotation").toInt();
            return 0;
        };
        QCOMPARE(rotation(video[0].toObject()), rotation(sourceVideo[0].toObject()));
        QCOMPARE(qAbs(rotation(video[0].toObject())), 90);
        QCOMPARE(rotation(video[1].toObject()), 0);

        const QJsonObject audio = probeStreams(out, "audio").at(0).toObject();
        QCOMPARE(audio.value("codec_name").toString(), QString("aac"));
        QVERIFY(qAbs(audio.value("start_time").toString().toDouble()) < 0.01);
        const double audioLength = audio.value("duration").toString().toDouble();
        QVERIFY2(qAbs(audioLength - 4.0) < 0.05, qPrintable(QString::number(audioLength)));

        VideoDemuxerMuxer::verifyExport(fileUrl(out), url("two.mov"), url("long.m4a"));
    }

    void shorterSoundtrackAndContainers()
    {
        const QString out = path("short-clean.mp4");
        VideoDemuxerMuxer::remux(url("movie.mp4"), url("short.m4a"), fileUrl(out), FileType::mpeg4);
        QCOMPARE(packetHash(out, "v:0"), packetHash(path("movie.mp4"), "v:0"));
        const double audioLength = probeStreams(out, "audio").at(0).toObject().value("duration").toString().toDouble();
        QVERIFY2(qAbs(audioLength - 3.6) < 0.05, qPrintable(QString::number(audioLength)));
        QVERIFY(qAbs(probeDuration(out) - 4.0) < 0.05);
        QVERIFY(probe(out).value("format").toObject().value("format_name").toString().contains("mp4"));
        VideoDemuxerMuxer::verifyExport(fileUrl(out), url("movie.mp4"), url("short.m4a"));

        // 24-bit PCM fits a QuickTime movie, not an MPEG-4 file: refused before anything is written.
        VideoDemuxerMuxer::remux(url("movie.mp4"), url("clean.wav"), url("pcm.mov"), FileType::quickTimeMovie);
        QCOMPARE(probeStreams(path("pcm.mov"), "audio").at(0).toObject().value("codec_name").toString(),
                 QString("pcm_s24le"));
        VideoDemuxerMuxer::verifyExport(url("pcm.mov"), url("movie.mp4"), url("clean.wav"));
        QCOMPARE(exportFailureOf([&] {
                     VideoDemuxerMuxer::remux(url("movie.mp4"), url("clean.wav"), fileUrl(out), FileType::mpeg4);
                 }),
                 QString("This video's format can't be saved as .mp4 without re-encoding."));
        QCOMPARE(packetHash(out, "v:0"), packetHash(path("movie.mp4"), "v:0"));   // the earlier file stays

        VideoDemuxerMuxer::remux(url("movie.mp4"), url("short.m4a"), url("clip.m4v"), FileType::m4v);
        QCOMPARE(probeStreams(path("clip.m4v")).size(), 2);

        // Reordered frames (B-frames): decode and presentation times differ, and survive the copy.
        QVERIFY(ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=3", "-c:v", "libx264", "-preset",
                        "fast", "-bf", "3", path("bframes.mov")}));
        VideoDemuxerMuxer::remux(url("bframes.mov"), url("short.m4a"), url("bframes-clean.mov"), FileType::quickTimeMovie);
        QCOMPARE(packetHash(path("bframes-clean.mov"), "v:0"), packetHash(path("bframes.mov"), "v:0"));
        QCOMPARE(packetCount(path("bframes-clean.mov"), "v:0"), qint64(75));
        VideoDemuxerMuxer::verifyExport(url("bframes-clean.mov"), url("bframes.mov"), url("short.m4a"));

        // A Matroska source states no packet count: verification counts the packets it copied.
        QVERIFY(ffmpeg({"-i", path("movie.mp4"), "-c", "copy", path("movie.mkv")}));
        VideoDemuxerMuxer::remux(url("movie.mkv"), url("long.m4a"), url("from-mkv.mp4"), FileType::mpeg4);
        QCOMPARE(packetHash(path("from-mkv.mp4"), "v:0"), packetHash(path("movie.mkv"), "v:0"));
        VideoDemuxerMuxer::verifyExport(url("from-mkv.mp4"), url("movie.mkv"), url("long.m4a"));
    }

    void refusalsKeepTheDestination()
    {
        QFile old(path("kept.mp4"));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("an earlier export");
        old.close();
        auto remuxTo = [&](const char* video, const char* clean) {
            return [=, this] { VideoDemuxerMuxer::remux(url(video), url(clean), url("kept.mp4"), FileType::mpeg4); };
        };
        QCOMPARE(exportFailureOf(remuxTo("short.m4a", "long.m4a")), QString("case %1").arg(int(MediaError::Case::noVideoTrack)));
        QCOMPARE(exportFailureOf(remuxTo("movie.mp4", "picture-only.mp4")),
                 QString("case %1").arg(int(MediaError::Case::noAudioTrack)));
        // A cut-off download never becomes a shorter video.
        const QString broken = exportFailureOf(remuxTo("truncated.mp4", "long.m4a"));
        QVERIFY2(broken == MediaError::truncatedMessage() || broken == "Invalid data found when processing input",
                 qPrintable(broken));
        QVERIFY_THROWS_EXCEPTION(media::FFmpegError, remuxTo("missing.mp4", "long.m4a")());
        std::stop_source stop;
        stop.request_stop();
        QVERIFY_THROWS_EXCEPTION(Cancelled, VideoDemuxerMuxer::remux(url("movie.mp4"), url("long.m4a"), url("kept.mp4"),
                                                                     FileType::mpeg4, stop.get_token()));
        QCOMPARE(contents("kept.mp4"), QByteArray("an earlier export"));
        QVERIFY(QDir(m_dir.path()).entryList({".*.part"}, QDir::Files | QDir::Hidden).isEmpty());
    }

    void verificationFailures()
    {
        const QString good = "good.mp4";
        VideoDemuxerMuxer::remux(url("movie.mp4"), url("long.m4a"), url(good), FileType::mpeg4);
        VideoDemuxerMuxer::verifyExport(url(good), url("movie.mp4"), url("long.m4a"));

        QVERIFY(ffmpeg({"-i", path(good), "-c:v", "mpeg4", "-c:a", "copy", path("reencoded.mp4")}));
        QVERIFY(ffmpeg({"-i", path(good), "-vf", "scale=160:120", "-c:v", "libx264", "-preset", "ultrafast", "-c:a",
                        "copy", path("resized.mp4")}));
        QVERIFY(ffmpeg({"-i", path(good), "-t", "2", "-c", "copy", path("shortened.mp4")}));
        QVERIFY(ffmpeg({"-i", path(good), "-map", "0:v", "-c", "copy", path("mute.mp4")}));
        QVERIFY(ffmpeg({"-i", path(good), "-map", "0:v", "-map", "0:a", "-map", "0:a", "-c", "copy", path("twice.mp4")}));

        const QString prefix = "^Export verification failed for %1: ";
        expectVerificationFailure("reencoded.mp4", "movie.mp4", "long.m4a",
                                  prefix.arg("reencoded.mp4") + "video was re-encoded$");
        expectVerificationFailure("resized.mp4", "movie.mp4", "long.m4a",
                                  prefix.arg("resized.mp4") + "video size \\(160\\.0, 120\\.0\\), expected \\(320\\.0, 240\\.0\\)$");
        expectVerificationFailure("shortened.mp4", "movie.mp4", "long.m4a",
                                  prefix.arg("shortened.mp4") + "video packet count 48, expected 96$");
        expectVerificationFailure("short.m4a", "movie.mp4", "long.m4a",
                                  prefix.arg("short.m4a") + "video track count 0, expected 1$");
        expectVerificationFailure("two.mov", "movie.mp4", "long.m4a",
                                  prefix.arg("two.mov") + "video track count 2, expected 1$");
        expectVerificationFailure("mute.mp4", "movie.mp4", "long.m4a",
                                  prefix.arg("mute.mp4") + "audio track count 0, expected 1$");
        expectVerificationFailure("twice.mp4", "movie.mp4", "long.m4a",
                                  prefix.arg("twice.mp4") + "audio track count 2, expected 1$");
        expectVerificationFailure(good, "movie.mp4", "clean.wav",
                                  prefix.arg(good) + "soundtrack is not the clean track's format$");
        expectVerificationFailure(good, "movie.mp4", "picture-only.mp4",
                                  prefix.arg(good) + "soundtrack is not the clean track's format$");
        // The soundtrack (4.0 s, cut at the video) against a clean track of 3.6 s.
        expectVerificationFailure(good, "movie.mp4", "short.m4a",
                                  prefix.arg(good) + "duration 4(\\.0)?[0-9]*s, soundtrack 4(\\.0)?[0-9]*s, expected 3\\.6[0-9]*s$");
        expectVerificationFailure("missing.mp4", "movie.mp4", "long.m4a",
                                  "^Export verification could not read missing.mp4: ");
        expectVerificationFailure(good, "missing.mp4", "long.m4a", "^Export verification could not read good.mp4: ");
        QCOMPARE(MediaError(MediaError::Case::verificationFailed).localizedDescription(),
                 QString("Hushframe checked the exported video and it did not come out as expected, so it was not "
                         "saved. Please try again."));
    }
};

QTEST_GUILESS_MAIN(RemuxVerifyTest)
#include "test_remux_verify.moc"
