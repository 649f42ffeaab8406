// Writing when the disk fills up: every writer fails with a clear error, leaves no partial file and
// keeps whatever stood at its destination. The process's file-size limit stands in for a full
// disk (writes past it fail with EFBIG, as they would with ENOSPC), and a small tmpfs where the
// test may mount one.

#include "helpers_media.h"
#include "pipeline/cloud_download.h"
#include "pipeline/stem_mixer.h"
#include "pipeline/video_demuxer_muxer.h"
#include "platform/errors.h"
#include "platform/network.h"
#include "support/small_disk.h"
#include "support/test_http_server.h"
#include "support/test_support.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

using namespace hf;
using namespace hf::test;

namespace {

// Caps what this process may write to `bytes` per file while it lives.
class DiskFullAfter {
public:
    explicit DiskFullAfter(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &m_saved);
        m_previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit capped = m_saved;
        capped.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &capped);
    }
    ~DiskFullAfter()
    {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_previousHandler);
    }

private:
    rlimit m_saved{};
    void (*m_previousHandler)(int) = nullptr;
};

QString describeFailure(const std::function<void()>& work)
{
    try {
        work();
    } catch (const std::exception& e) {
        return describe(e);
    }
    return {};
}

// Names in `folder` other than `keep`: what a failed writer left behind.
QStringList leftovers(const QString& folder, const QStringList& keep)
{
    QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden);
    for (const auto& k : keep)
        names.removeAll(k);
    return names;
}

} // namespace

class TestFullDisk : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.filePath(name); }

private Q_SLOTS:
    void initTestCase()
    {
        if (!haveProgram(QStringLiteral("ffmpeg")))
            QSKIP("needs the ffmpeg program");
        QVERIFY(makeMovie(path(QStringLiteral("movie.mp4")), 4, {"-c:a", "ac3"}));
        QVERIFY(makeTone(path(QStringLiteral("dialogue.wav")), 4, 48000, 2, QStringLiteral("0.2")));
        QVERIFY(makeTone(path(QStringLiteral("effects.wav")), 4, 48000, 2, QStringLiteral("0.1")));
        QVERIFY(makeTone(path(QStringLiteral("clean.m4a")), 4, 48000, 2, QStringLiteral("0.1"), {"-c:a", "aac"}));
    }

    void mediaWritersFailCleanly()
    {
        const QStringList inputs{"movie.mp4", "dialogue.wav", "effects.wav", "clean.m4a"};
        // Something the user had at the destinations stays as it was.
        QFile old(path(QStringLiteral("mix.wav")));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("the user's earlier file");
        old.close();
        QFile oldVideo(path(QStringLiteral("clean.mp4")));
        QVERIFY(oldVideo.open(QIODevice::WriteOnly));
        oldVideo.write("the user's earlier video");
        oldVideo.close();

        QString mixFailure, remuxFailure, extractFailure;
        {
            DiskFullAfter full(64 * 1024);
            mixFailure = describeFailure([&] {
                StemMixer::mixNow(fileUrl(path(QStringLiteral("dialogue.wav"))), fileUrl(path(QStringLiteral("effects.wav"))),
                                  fileUrl(path(QStringLiteral("mix.wav"))), AudioQuality::losslessPCM, 0.5, {});
            });
            remuxFailure = describeFailure([&] {
                VideoDemuxerMuxer::remux(fileUrl(path(QStringLiteral("movie.mp4"))), fileUrl(path(QStringLiteral("clean.m4a"))),
                                         fileUrl(path(QStringLiteral("clean.mp4"))), VideoDemuxerMuxer::FileType::mpeg4);
            });
            QDir().mkpath(path(QStringLiteral("extracted")));
            extractFailure = describeFailure([&] {
                VideoDemuxerMuxer::extractSoundtrack(fileUrl(path(QStringLiteral("movie.mp4"))),
                                                     fileUrl(path(QStringLiteral("extracted"))), std::nullopt);
            });
        }
        QVERIFY2(!mixFailure.isEmpty(), "the mix reported success on a full disk");
        QVERIFY2(!remuxFailure.isEmpty(), "the remux reported success on a full disk");
        QVERIFY2(!extractFailure.isEmpty(), "the extraction reported success on a full disk");
        qInfo().noquote() << "mix:" << mixFailure << "| remux:" << remuxFailure << "| extraction:" << extractFailure;

        QVERIFY(old.open(QIODevice::ReadOnly));
        QCOMPARE(old.readAll(), QByteArray("the user's earlier file"));
        QVERIFY(oldVideo.open(QIODevice::ReadOnly));
        QCOMPARE(oldVideo.readAll(), QByteArray("the user's earlier video"));
        QCOMPARE(leftovers(dir.path(), inputs + QStringList{"mix.wav", "clean.mp4", "extracted"}), QStringList());
        QCOMPARE(leftovers(path(QStringLiteral("extracted")), {}), QStringList());
    }

    // A video written to a full disk fails saying so in words, naming the file.
    void remuxToAFullDisk()
    {
        test::SmallDisk disk(48 * 1024, 48 * 1024);
        const QString target = disk.filePath(QStringLiteral("Harbour (Hushframe).mp4"));
        const QString failure = describeFailure([&] {
            VideoDemuxerMuxer::remux(fileUrl(path(QStringLiteral("movie.mp4"))), fileUrl(path(QStringLiteral("clean.m4a"))),
                                     fileUrl(target), VideoDemuxerMuxer::FileType::mpeg4);
        });
        qInfo().noquote() << (disk.isMounted() ? "tmpfs:" : "file-size limit:") << failure;
        QCOMPARE(failure, disk.isMounted()
                              ? QStringLiteral("There isn't enough space on the disk to save \u201cHarbour (Hushframe).mp4\u201d.")
                              : QStringLiteral("\u201cHarbour (Hushframe).mp4\u201d is larger than the disk can hold in one file."));
        QCOMPARE(leftovers(disk.path(), {}), QStringList());
    }

    void downloadFailsCleanly()
    {
        TestHttpServer server;
        const std::string body(512 * 1024, 'x');
        server.reply("GET", "/stem.flac", 200, body);
        std::unique_ptr<QNetworkAccessManager> session(makeEphemeralNetworkSession(nullptr));
        QDir().mkpath(path(QStringLiteral("job")));
        const QString destination = path(QStringLiteral("job/music.flac"));
        QString failure;
        {
            DiskFullAfter full(64 * 1024);
            failure = describeFailure([&] {
                runTask(downloadToFile(session.get(), QUrl(server.baseUrl().toString() + QStringLiteral("/stem.flac")),
                                       destination));
            });
        }
        QVERIFY2(!failure.isEmpty(), "the download reported success on a full disk");
        QCOMPARE(leftovers(path(QStringLiteral("job")), {}), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestFullDisk)
#include "test_full_disk.moc"
