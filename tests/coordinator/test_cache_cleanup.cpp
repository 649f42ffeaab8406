// The cache after a restart: what the recent videos and the queue still use stays, everything
// else in the working folders goes (export copies, stems and job folders nothing refers to,
// stray imports and thumbnails), and whatever is made while the sweep runs is left alone.

#include "coordinator/cache_cleanup.h"
#include "coordinator/recent_videos.h"

#include "platform/settings_store.h"
#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>
#include <QTest>

#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>

using namespace hf;

namespace {


// Dates the file and the folder holding it a minute back.
bool age(const QString& file)
{
    const timespec then{::time(nullptr) - 60, 0};
    const timespec times[2] = {then, then};
    for (const QString& path : {file, QFileInfo(file).path()})
        if (::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) != 0)
            return false;
    return true;
}

QString uuidText()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

} // namespace

class TestCacheCleanup : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Above its bound, the cache loses the cleans of the videos opened longest ago first, never
    // the newest one's; those videos stay in the list, marked as needing a clean again.
    void boundDropsOldestCleansFirst_data()
    {
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<QStringList>("dropped");
        QTest::newRow("within the bound") << qint64(100000) << QStringList{};
        QTest::newRow("one over") << qint64(12000) << QStringList{"A.mp4"};
        QTest::newRow("two over") << qint64(6000) << QStringList{"A.mp4", "B.mp4"};
        QTest::newRow("the newest stays, even above") << qint64(100) << QStringList{"A.mp4", "B.mp4"};
    }
    void boundDropsOldestCleansFirst()
    {
        QFETCH(qint64, limit);
        QFETCH(QStringList, dropped);
        QTemporaryDir dir;
        const QString caches = dir.filePath("Caches");
        MemorySettingsStore defaults;
        QMap<QString, QStringList> filesOf;
        {
            RecentVideos recents(&defaults, caches);
            recents.setCacheLimit(limit);
            for (const QString name : {"A.mp4", "B.mp4", "C.mp4"}) {
                const QString video = dir.filePath(name);
                QVERIFY(test::touchFile(video));
                recents.noteOpened(SourceVideo{QUrl::fromLocalFile(video), name, 20, false});
                const QString work = caches + "/Work/" + uuidText() + '/', job = caches + "/Jobs/job-" + name + '/';
                QStringList& paths = filesOf[name];
                paths = {work + "source.m4a", work + "clean.m4a", job + "dialogue.flac", job + "music.flac", job + "effects.flac"};
                for (const QString& file : paths)
                    QVERIFY(test::touchFile(file) && QFile(file).resize(1000));
                const auto at = [&paths](int i) { return QUrl::fromLocalFile(paths[i]); };
                SeparationResult result;
                result.kind = JobKind::full;
                result.jobID = "job-" + name;
                result.sourceVideoURL = QUrl::fromLocalFile(video);
                result.originalAudioURL = at(0), result.cleanAudioURL = at(1), result.dialogueStemURL = at(2);
                result.musicStemURL = at(3), result.effectsStemURL = at(4);
                recents.record(result);
                recents.markExported(result.sourceVideoURL);
            }
        }
        // As stored, after a restart.
        RecentVideos recents(&defaults, caches);
        QCOMPARE(recents.entries().size(), size_t(3));
        for (const RecentVideos::Entry& entry : recents.entries()) {
            const bool gone = dropped.contains(entry.displayName);
            QCOMPARE(entry.resultDropped, gone);
            QCOMPARE(bool(entry.result), !gone);
            QCOMPARE(entry.exported, !gone);
            for (const QString& file : filesOf[entry.displayName])
                QVERIFY2(QFileInfo::exists(file) != gone, qPrintable(file));
            // Its job folder goes with its stems.
            QCOMPARE(QFileInfo::exists(QFileInfo(filesOf[entry.displayName].back()).path()), !gone);
        }
        QVERIFY(recents.cacheUsage() <= std::max<qint64>(limit, 5000));
    }

    void sweepAtStart()
    {
        QTemporaryDir dir;
        const QString caches = dir.filePath("Caches");
        const auto at = [&](const QString& relative) { return caches + '/' + relative; };
        MemorySettingsStore defaults;

        // A recent video, cleaned in full: its working files and stems stay.
        const QString kept = uuidText();
        const QString video = dir.filePath("Holiday.mp4");
        QVERIFY(test::touchFile(video));
        SeparationResult result;
        result.kind = JobKind::full;
        result.jobID = "job-kept";
        result.sourceVideoURL = QUrl::fromLocalFile(video);
        result.originalAudioURL = QUrl::fromLocalFile(at("Work/" + kept + "/source-1.m4a"));
        result.cleanAudioURL = QUrl::fromLocalFile(at("Work/" + kept + "/clean-1.m4a"));
        result.dialogueStemURL = QUrl::fromLocalFile(at("Jobs/job-kept/dialogue.flac"));
        result.musicStemURL = QUrl::fromLocalFile(at("Jobs/job-kept/music.flac"));
        result.effectsStemURL = QUrl::fromLocalFile(at("Jobs/job-kept/effects.flac"));
        for (const QUrl* file : {&result.originalAudioURL, &result.cleanAudioURL, &result.dialogueStemURL,
                                 &result.musicStemURL, &result.effectsStemURL})
            QVERIFY(test::touchFile(file->toLocalFile()));
        // A recent video dropped in: its copy in the imports stays.
        const QString dropped = at("Imports/" + uuidText() + "/Dropped.mov");
        QVERIFY(test::touchFile(dropped));
        {
            RecentVideos recents(&defaults, caches);
            recents.noteOpened(SourceVideo{QUrl::fromLocalFile(video), "Holiday.mp4", 20, false});
            recents.record(result);
            recents.noteOpened(SourceVideo{QUrl::fromLocalFile(dropped), "Dropped.mov", 20, false});
            for (const auto& entry : recents.entries())
                QVERIFY(test::touchFile(recents.thumbnailPath(entry.id)));
        }

        // Left behind by earlier runs: an export's working copies (a cancelled save dialog), a
        // preview's job folder and its stems, a removed batch job, a stray import and thumbnail.
        const QStringList gone{at("Work/Export-1A2B3C4D/Holiday (Hushframe).mp4"),
                               at("Work/" + uuidText() + "/source-2.m4a"), at("Jobs/job-preview/music.flac"),
                               at("Batch/" + uuidText() + "/Old (Hushframe).mp4"),
                               at("Imports/" + uuidText() + "/Other.mov"), at("Recents/" + uuidText() + ".jpg"),
                               // A folder whose name begins the kept one's is no part of it.
                               at("Work/" + kept.left(8) + "/source-3.m4a")};
        for (const QString& file : gone)
            QVERIFY(test::touchFile(file));
        // The queue, as it stands at start: a completed job and a pending one with a dropped copy.
        BatchJob completed;
        completed.id = QUuid::createUuid();
        const QString batchFolder = at("Batch");
        // Its output stays wherever it lies, even outside the job's own folder.
        const QString output = batchFolder + '/' + uuidText() + "/Walk (Hushframe).mp4";
        QVERIFY(test::touchFile(output));
        completed.sourceVideoURL = QUrl::fromLocalFile(dir.filePath("Walk.mp4"));
        completed.status = BatchJobStatus::completed(QUrl::fromLocalFile(output));
        BatchJob pending;
        pending.id = QUuid::createUuid();
        const QString queuedCopy = at("Imports/" + uuidText() + "/Queued.mov");
        QVERIFY(test::touchFile(queuedCopy));
        pending.sourceVideoURL = QUrl::fromLocalFile(queuedCopy);

        // Everything above was there before the start; what is made while the sweep runs (after
        // its start) is left alone.
        QStringList thumbnails;
        {
            RecentVideos earlier(&defaults, caches);
            for (const auto& entry : earlier.entries())
                thumbnails << earlier.thumbnailPath(entry.id);
        }
        for (const QString& file : gone + thumbnails + QStringList{output, queuedCopy, dropped})
            QVERIFY(age(file));
        const QDateTime start = QDateTime::currentDateTimeUtc().addSecs(-1);
        const QString fresh = at("Jobs/job-running/dialogue.flac");
        QVERIFY(test::touchFile(fresh));

        // The restart.
        RecentVideos recents(&defaults, caches);
        QCOMPARE(recents.entries().size(), size_t(2));
        const QStringList keep = CacheCleanup::referencedPaths(recents, {completed, pending}, batchFolder);
        const int removed = CacheCleanup::sweep(caches, keep, start);
        QCOMPARE(removed, gone.size());

        for (const QString& file : gone) {
            QVERIFY2(!QFileInfo::exists(file), qPrintable(file));
            // The item that held it went as a whole, not only the file.
            if (!file.contains("/Recents/"))
                QVERIFY2(!QFileInfo::exists(QFileInfo(file).path()), qPrintable(file));
        }
        for (const QUrl* file : {&result.originalAudioURL, &result.cleanAudioURL, &result.dialogueStemURL,
                                 &result.musicStemURL, &result.effectsStemURL})
            QVERIFY2(QFileInfo::exists(file->toLocalFile()), qPrintable(file->toLocalFile()));
        for (const auto& entry : recents.entries())
            QVERIFY(QFileInfo::exists(recents.thumbnailPath(entry.id)));
        for (const QString& file : {dropped, output, queuedCopy, fresh, video})
            QVERIFY2(QFileInfo::exists(file), qPrintable(file));

        // Once the recent video is forgotten, its files go at the next start too.
        recents.removeAll();
        CacheCleanup::sweep(caches, CacheCleanup::referencedPaths(recents, {}, batchFolder),
                            QDateTime::currentDateTimeUtc().addSecs(60));
        for (const QString& name : CacheCleanup::workingFolders())
            QCOMPARE(QDir(at(name)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
        QVERIFY(QFileInfo::exists(video));
    }
};

QTEST_GUILESS_MAIN(TestCacheCleanup)
#include "test_cache_cleanup.moc"
