#include "coordinator/thumbnail_cache.h"
#include "coordinator/video_thumbnailer.h"

#include "support/test_support.h"

#include <QFile>
#include <QImage>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace hf;

namespace {

bool ffmpeg(const QStringList& args)
{
    QProcess process;
    process.start(QStringLiteral("ffmpeg"), QStringList{"-y", "-loglevel", "error"} + args);
    return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

enum class Colour { red, green, blue, yellow, other };

Colour colourAt(const QImage& image, int x, int y)
{
    const QRgb p = image.pixel(x, y);
    const bool r = qRed(p) > 180, g = qGreen(p) > 90, b = qBlue(p) > 180;
    if (r && g && !b)
        return Colour::yellow;
    if (r && !g && !b)
        return Colour::red;
    if (!r && g && !b)
        return Colour::green;
    if (!r && !g && b)
        return Colour::blue;
    return Colour::other;
}

std::optional<QImage> thumbnail(const QString& path, QSize maxSize)
{
    return test::runTask(VideoThumbnailer::thumbnail(QUrl::fromLocalFile(path), maxSize));
}

// A picture that is ready at once: the generator's task ends without ever suspending.
QCoro::Task<std::optional<QImage>> readyPicture(QUrl, QSize)
{
    QImage image(4, 3, QImage::Format_RGB32);
    image.fill(Qt::blue);
    co_return image;
}

QCoro::Task<std::optional<QImage>> countedThumbnail(QUrl url, QSize size, int* finished)
{
    std::optional<QImage> image = co_await VideoThumbnailer::thumbnail(url, size);
    ++*finished;
    co_return image;
}

} // namespace

class TestThumbnails : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_pattern;   // 640x360 at 20 frames a second, red for 0.5 s, then green; one key frame
    QString m_rotated;   // 320x180, red left half, blue right half, shown turned a quarter
    QString m_short;     // 0.3 s of yellow
    QString m_broken;    // not a movie

private slots:
    void initTestCase()
    {
        if (!test::haveProgram("ffmpeg"))
            QSKIP("needs the ffmpeg program");
        QVERIFY(m_dir.isValid());
        m_pattern = m_dir.filePath("pattern.mp4");
        m_rotated = m_dir.filePath("rotated.mp4");
        m_short = m_dir.filePath("short.mp4");
        m_broken = m_dir.filePath("broken.mp4");
        QVERIFY(ffmpeg({"-f", "lavfi", "-i", "color=c=red:s=640x360:r=20:d=2", "-vf",
                        "drawbox=x=0:y=0:w=iw:h=ih:color=green:t=fill:enable=gte(t\\,0.5)", "-c:v", "libx264",
                        "-g", "100", "-pix_fmt", "yuv420p", m_pattern}));
        const QString upright = m_dir.filePath("upright.mp4");
        QVERIFY(ffmpeg({"-f", "lavfi", "-i", "color=c=red:s=320x180:r=25:d=1", "-vf",
                        "drawbox=x=160:y=0:w=160:h=180:color=blue:t=fill", "-c:v", "libx264", "-pix_fmt", "yuv420p",
                        upright}));
        QVERIFY(ffmpeg({"-i", upright, "-c", "copy", "-metadata:s:v:0", "rotate=90", m_rotated}));
        QVERIFY(ffmpeg({"-f", "lavfi", "-i", "color=c=yellow:s=320x240:r=25:d=0.3", "-c:v", "libx264", "-pix_fmt",
                        "yuv420p", m_short}));
        QFile broken(m_broken);
        QVERIFY(broken.open(QIODevice::WriteOnly) && broken.write("not a movie at all") > 0);
    }

    // The frame at 0.5 s, scaled down to fit and never enlarged; the first frame of a movie
    // shorter than that; nothing from a file that is not a movie.
    void framesAndSizes()
    {
        const auto small = thumbnail(m_pattern, {240, 240});
        QVERIFY(small);
        QCOMPARE(small->size(), QSize(240, 135));
        QCOMPARE(colourAt(*small, 120, 67), Colour::green);
        const auto large = thumbnail(m_pattern, {1600, 1600});
        QVERIFY(large);
        QCOMPARE(large->size(), QSize(640, 360));
        QCOMPARE(thumbnail(m_pattern, {100, 300})->size(), QSize(100, 56));

        const auto shortClip = thumbnail(m_short, {240, 240});
        QVERIFY(shortClip);
        QCOMPARE(shortClip->size(), QSize(240, 180));
        QCOMPARE(colourAt(*shortClip, 120, 90), Colour::yellow);

        QVERIFY(!thumbnail(m_broken, {240, 240}));
        QVERIFY(!thumbnail(m_dir.filePath("missing.mp4"), {240, 240}));

        // A name that is not valid UTF-8 is opened by its bytes.
        const QByteArray bytes = QFile::encodeName(m_dir.path()) + "/clip-\xff\xfe.mp4";
        QVERIFY(::symlink(QFile::encodeName(m_short).constData(), bytes.constData()) == 0);
        const QUrl byteNamed = QUrl::fromEncoded("file://" + bytes.toPercentEncoding("/"));
        const auto fromBytes = test::runTask(VideoThumbnailer::thumbnail(byteNamed, {240, 240}));
        QVERIFY(fromBytes);
        QCOMPARE(colourAt(*fromBytes, 120, 90), Colour::yellow);
    }

    // The stream's display rotation is applied the way ffmpeg itself turns the picture.
    void rotation()
    {
        const QString reference = m_dir.filePath("reference.png");
        QVERIFY(ffmpeg({"-ss", "0.5", "-i", m_rotated, "-frames:v", "1", reference}));
        const QImage expected(reference);
        QCOMPARE(expected.size(), QSize(180, 320));
        const Colour top = colourAt(expected, 90, 40);
        const Colour bottom = colourAt(expected, 90, 280);
        QVERIFY(top != bottom && top != Colour::other && bottom != Colour::other);

        const auto image = thumbnail(m_rotated, {240, 240});
        QVERIFY(image);
        QCOMPARE(image->size(), QSize(135, 240));
        QCOMPARE(colourAt(*image, 67, 30), top);
        QCOMPARE(colourAt(*image, 67, 210), bottom);
    }

    // One generation per location, whatever its outcome; a picture arrives once and stays.
    void cacheGeneratesOnce()
    {
        int generations = 0;
        int finished = 0;
        ThumbnailCache cache([&](QUrl url, QSize size) {
            ++generations;
            return countedThumbnail(url, size, &finished);
        });
        QSignalSpy changes(&cache, &ThumbnailCache::imagesChanged);
        const QUrl pattern = QUrl::fromLocalFile(m_pattern);
        const QUrl broken = QUrl::fromLocalFile(m_broken);

        QVERIFY(!cache.image(pattern));
        QVERIFY(!cache.image(pattern));
        QVERIFY(!cache.image(broken));
        QCOMPARE(generations, 2);
        QVERIFY(test::waitUntil([&] { return finished == 2 && changes.count() == 1; }));
        const auto first = cache.image(pattern);
        QVERIFY(first);
        QCOMPARE(first->size(), QSize(240, 135));
        QCOMPARE(cache.image(pattern), first);
        QCOMPARE(cache.images().size(), 1);

        // The broken file's attempt ended without a picture and is not made again.
        QVERIFY(!cache.image(broken));
        QCOMPARE(generations, 2);
        QCOMPARE(changes.count(), 1);
    }

    // A picture that is ready before its task is awaited (off-thread work that beat the caller,
    // as happens under load) still arrives from the event loop: the asking call gives nothing and
    // signals nothing.
    void aPictureReadyAtOnceArrivesLater()
    {
        ThumbnailCache cache(&readyPicture);
        QSignalSpy changes(&cache, &ThumbnailCache::imagesChanged);
        const QUrl location = QUrl::fromLocalFile(m_dir.filePath("any.mp4"));
        QVERIFY(!cache.image(location));
        QCOMPARE(changes.count(), 0);
        QVERIFY(test::waitUntil([&] { return changes.count() == 1; }));
        QCOMPARE(cache.image(location)->size(), QSize(4, 3));
    }
};

QTEST_GUILESS_MAIN(TestThumbnails)
#include "test_thumbnails.moc"
