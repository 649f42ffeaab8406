#include "helpers_media.h"

#include "pipeline/video_demuxer_muxer.h"
#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace hf;
using namespace hf::test;

namespace {

MediaError::Case mediaErrorOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const MediaError& e) {
        return e.errorCase();
    }
    return MediaError::Case(-1);
}

} // namespace

class ExtractionTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QStringList filesIn(const QString& folder) const
    {
        return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        umask(022);
        QVERIFY(haveProgram("ffmpeg") && haveProgram("ffprobe"));
        QVERIFY(makeMovie(path("movie.mp4"), 4, {"-movflags", "+faststart"}));
        QVERIFY(ffmpeg({"-f", "lavfi", "-i", "testsrc=size=160x120:rate=24:duration=2", "-c:v", "libx264", "-preset",
                        "ultrafast", path("silent.mp4")}));
        QVERIFY(ffmpeg({"-f", "lavfi", "-i", "testsrc=size=160x120:rate=24:duration=2", "-f", "lavfi", "-i",
                        "sine=frequency=300:sample_rate=48000:duration=2", "-filter_complex",
                        "[1:a]pan=5.1|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0[a]", "-map", "0:v", "-map", "[a]",
                        "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac", path("surround.mov")}));
        QVERIFY(ffmpeg({"-f", "lavfi", "-i", "testsrc=size=160x120:rate=24:duration=3", "-f", "lavfi", "-i",
                        "sine=frequency=500:sample_rate=44100:duration=3", "-ac", "2", "-c:v", "libx264", "-preset",
                        "ultrafast", "-c:a", "pcm_s16le", path("pcm.mov")}));
        QFile text(path("notes.mp4"));
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write("These are not the frames you are looking for.\n");
        text.close();
        // A concatenation script dressed as a movie, pointing at a real one.
        QFile script(path("playlist.mp4"));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("ffconcat version 1.0\nfile '" + path("movie.mp4").toUtf8() + "'\n");
        script.close();
        // A download cut off at 60%: the index up front still states the full length.
        QFile::copy(path("movie.mp4"), path("truncated.mp4"));
        QFile truncated(path("truncated.mp4"));
        QVERIFY(truncated.resize(truncated.size() * 6 / 10));
    }

    void inspectionAndLoading()
    {
        const double d = VideoDemuxerMuxer::inspect(fileUrl(path("movie.mp4")));
        QVERIFY2(qAbs(d - 4.0) < 0.05, qPrintable(QString::number(d)));
        const SourceVideo v = SourceVideo::load(fileUrl(path("movie.mp4")));
        QCOMPARE(v.displayName, QString("movie.mp4"));
        QCOMPARE(v.duration, d);
        QVERIFY(!v.isSecurityScoped);
        QCOMPARE(SourceVideo::loadWithinLimit(fileUrl(path("movie.mp4"))), v);

        using C = MediaError::Case;
        QCOMPARE(mediaErrorOf([&] { VideoDemuxerMuxer::inspect(fileUrl(path("silent.mp4"))); }), C::noAudioTrack);
        QCOMPARE(mediaErrorOf([&] { VideoDemuxerMuxer::inspect(fileUrl(path("notes.mp4"))); }), C::unreadable);
        QCOMPARE(mediaErrorOf([&] { VideoDemuxerMuxer::inspect(fileUrl(path("playlist.mp4"))); }), C::unreadable);
        QCOMPARE(mediaErrorOf([&] { VideoDemuxerMuxer::inspect(fileUrl(path("missing.mp4"))); }), C::unreadable);
        QCOMPARE(mediaErrorOf([&] { VideoDemuxerMuxer::inspect(QUrl("http://127.0.0.1:1/movie.mp4")); }), C::unreadable);
        // Three hours and a second: a still picture at one frame a minute, and silence.
        QVERIFY(ffmpeg({"-f", "lavfi", "-i", "color=c=black:s=16x16:r=1/60", "-f", "lavfi", "-i",
                        "anullsrc=r=1000:cl=mono", "-t", "10801", "-c:v", "libx264", "-preset", "ultrafast",
                        "-c:a", "pcm_u8", path("long.mov")}));
        QCOMPARE(mediaErrorOf([&] { SourceVideo::loadWithinLimit(fileUrl(path("long.mov"))); }), C::tooLong);
        QCOMPARE(MediaError(C::noVideoTrack).localizedDescription(), QString("This file has no video track."));
        QCOMPARE(MediaError::exportFailed(MediaError::needsReencodingMessage("mp4")).localizedDescription(),
                 QString("Exporting failed: This video's format can't be saved as .mp4 without re-encoding."));
    }

    // A file that can't be a video says why, in the words of its cause.
    void refusedFilesSayWhy_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("message");
        QTest::newRow("sound only") << "sound.m4a" << "This file has no video track.";
        QTest::newRow("sound only, named as a movie") << "sound.mp4" << "This file has no video track.";
        QTest::newRow("empty") << "empty.mp4" << "\u201cempty.mp4\u201d is empty: the file holds no video.";
        QTest::newRow("not a movie") << "notes.mp4" << "Hushframe can't read this file. Try a video in MP4 or MOV format.";
        QTest::newRow("no permission") << "locked.mp4" << "You don't have permission to read \u201clocked.mp4\u201d.";
        QTest::newRow("no soundtrack") << "silent.mp4" << "This video has no soundtrack, so there's no music to remove.";
    }
    void refusedFilesSayWhy()
    {
        QFETCH(QString, name);
        QFETCH(QString, message);
        if (!QFileInfo::exists(path("sound.m4a"))) {
            QVERIFY(makeTone(path("sound.m4a"), 2, 48000, 2, "0.3*sin(2*PI*440*t)", {"-c:a", "aac"}));
            QVERIFY(QFile::copy(path("sound.m4a"), path("sound.mp4")));
            QFile empty(path("empty.mp4"));
            QVERIFY(empty.open(QIODevice::WriteOnly));
            QVERIFY(QFile::copy(path("movie.mp4"), path("locked.mp4")));
            QVERIFY(QFile::setPermissions(path("locked.mp4"), QFileDevice::WriteOwner));
        }
        const auto inspect = [&] {
            try {
                VideoDemuxerMuxer::inspect(fileUrl(path(name)));
                return QString("no error");
            } catch (const Error& e) {
                return e.localizedDescription();
            }
        };
        // The superuser reads every file: the locked one is looked at by a child as nobody.
        if (name != "locked.mp4" || geteuid() != 0) {
            QCOMPARE(inspect(), message);
            return;
        }
        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0)
            _exit(setgid(65534) == 0 && setuid(65534) == 0 ? int(inspect() != message) : 2);
        int status = -1;
        QVERIFY(waitpid(child, &status, 0) == child);
        QCOMPARE(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);   // 1: another message; 2: still root
    }

    void movieTypes_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("supported");
        QTest::newRow("mov") << "clip.mov" << true;
        QTest::newRow("MOV") << "Clip.MOV" << true;
        QTest::newRow("m4v") << "clip.m4v" << true;
        QTest::newRow("mp4") << "clip.mp4" << true;
        QTest::newRow("mkv") << "clip.mkv" << true;
        QTest::newRow("txt") << "notes.txt" << false;
        QTest::newRow("m4a") << "song.m4a" << false;
        QTest::newRow("none") << "clip" << false;
    }

    void movieTypes()
    {
        QFETCH(QString, name);
        QFETCH(bool, supported);
        QCOMPARE(SourceVideo::isSupported(fileUrl("/nowhere/" + name)), supported);
    }

    void importsCopy()
    {
        const QUrl first = PickedMovie::copyIntoImports(fileUrl(path("movie.mp4")));
        const QUrl second = PickedMovie::copyIntoImports(fileUrl(path("movie.mp4")));
        QVERIFY(first != second);
        for (const QUrl& copy : {first, second}) {
            QCOMPARE(copy.fileName(), QString("movie.mp4"));
            QVERIFY(copy.toLocalFile().startsWith(PickedMovie::importsFolder() + "/"));
            QCOMPARE(QFileInfo(copy.toLocalFile()).size(), QFileInfo(path("movie.mp4")).size());
        }
        const QString folder = QFileInfo(first.toLocalFile()).dir().dirName();
        QCOMPARE(folder, folder.toUpper());
        QCOMPARE(folder.size(), 36);
        QVERIFY_THROWS_EXCEPTION(FileSystemError, PickedMovie::copyIntoImports(fileUrl(path("missing.mp4"))));
    }

    void extraction_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<double>("limit");   // 0: none
        QTest::addColumn<double>("expected");
        QTest::addColumn<int>("channels");
        QTest::newRow("whole") << "movie.mp4" << 0.0 << 4.0 << 1;
        QTest::newRow("first seconds") << "movie.mp4" << 2.5 << 2.5 << 1;
        QTest::newRow("limit above length") << "movie.mp4" << 30.0 << 4.0 << 1;
        QTest::newRow("5.1") << "surround.mov" << 0.0 << 2.0 << 6;
        QTest::newRow("not AAC") << "pcm.mov" << 0.0 << 3.0 << 2;
        QTest::newRow("not AAC, first seconds") << "pcm.mov" << 1.5 << 1.5 << 2;
    }

    void extraction()
    {
        QFETCH(QString, source);
        QFETCH(double, limit);
        QFETCH(double, expected);
        QFETCH(int, channels);
        const QString folder = path("extract/" + QString(QTest::currentDataTag()).replace(' ', '_'));
        const auto result = VideoDemuxerMuxer::extractSoundtrack(fileUrl(path(source)), fileUrl(folder),
                                                                 limit > 0 ? std::optional(limit) : std::nullopt);
        const QString out = result.url.toLocalFile();
        QVERIFY(QFileInfo(out).fileName().contains(QRegularExpression("^source-[0-9A-F]{8}\\.m4a$")));
        QCOMPARE(filesIn(folder), QStringList{QFileInfo(out).fileName()});
        // Saved like any other file of the user's, not private to the process that wrote it.
        QVERIFY(QFileInfo(out).permissions().testFlag(QFileDevice::ReadOther));
        QVERIFY(qAbs(result.sourceDuration - VideoDemuxerMuxer::inspect(fileUrl(path(source)))) < 1e-9);
        QVERIFY2(qAbs(result.duration - expected) < 0.03, qPrintable(QString::number(result.duration)));

        const QJsonArray streams = probeStreams(out);
        QCOMPARE(streams.size(), 1);
        QCOMPARE(streams[0].toObject().value("codec_name").toString(), QString("aac"));
        QCOMPARE(streams[0].toObject().value("channels").toInt(), channels);
        QVERIFY(probe(out).value("format").toObject().value("format_name").toString().contains("m4a"));
        // Within one AAC frame of the requested length, as an independent decoder sees it.
        int rate = 0, ch = 0;
        const auto samples = decodeSamples(out, &ch, &rate);
        const double decoded = double(samples.size()) / ch / rate;
        QVERIFY2(qAbs(decoded - expected) <= 1024.0 / rate + 0.01, qPrintable(QString::number(decoded)));
        QVERIFY(qAbs(probeDuration(out) - expected) <= 1024.0 / rate + 0.01);
        // A whole AAC soundtrack is the source's own packets.
        if (limit == 0 && source != "pcm.mov")
            QCOMPARE(packetHash(out, "a:0"), packetHash(path(source), "a:0"));
    }

    void extractionFailures()
    {
        using C = MediaError::Case;
        const QString folder = path("failures");
        // Inspection comes first: no folder for a video without sound.
        QCOMPARE(mediaErrorOf([&] {
                     VideoDemuxerMuxer::extractSoundtrack(fileUrl(path("silent.mp4")), fileUrl(folder), std::nullopt);
                 }),
                 C::noAudioTrack);
        QVERIFY(!QFileInfo::exists(folder));

        // A cut-off download fails instead of yielding a shorter soundtrack, and leaves nothing.
        try {
            VideoDemuxerMuxer::extractSoundtrack(fileUrl(path("truncated.mp4")), fileUrl(folder), std::nullopt);
            QFAIL("a truncated source was extracted");
        } catch (const MediaError& e) {
            QCOMPARE(e.errorCase(), C::exportFailed);
        }
        QVERIFY(filesIn(folder).isEmpty());
        // Its first seconds are intact, so a preview of them is fine.
        const auto preview = VideoDemuxerMuxer::extractSoundtrack(fileUrl(path("truncated.mp4")), fileUrl(folder), 1.0);
        QVERIFY(qAbs(preview.duration - 1.0) < 0.03);
        QFile::remove(preview.url.toLocalFile());

        std::stop_source stop;
        stop.request_stop();
        QVERIFY_THROWS_EXCEPTION(Cancelled, VideoDemuxerMuxer::extractSoundtrack(fileUrl(path("movie.mp4")),
                                                                                 fileUrl(folder), std::nullopt,
                                                                                 stop.get_token()));
        QVERIFY(filesIn(folder).isEmpty());

        QFile blocker(path("blocker"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QVERIFY_THROWS_EXCEPTION(FileSystemError,
                                 VideoDemuxerMuxer::extractSoundtrack(fileUrl(path("movie.mp4")),
                                                                      fileUrl(path("blocker/inside")), std::nullopt));
    }
};

QTEST_GUILESS_MAIN(ExtractionTest)
#include "test_extraction.moc"
