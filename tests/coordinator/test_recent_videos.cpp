#include "coordinator/recent_videos.h"
#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <memory>

using namespace hf;

namespace {


SourceVideo video(const QString& path, double duration = 12.5)
{
    return SourceVideo{QUrl::fromLocalFile(path), QFileInfo(path).fileName(), duration, false};
}

QJsonArray storedArray(const SettingsStore& store)
{
    const auto text = store.string(RecentVideos::storageKey);
    return text ? QJsonDocument::fromJson(text->toUtf8()).array() : QJsonArray();
}

} // namespace

class TestRecentVideos : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_caches;   // the caches folder handed to the store
    QString m_home;     // the user's files, outside it
    QString m_ini;

    std::unique_ptr<QSettingsStore> openSettings() { return std::make_unique<QSettingsStore>(m_ini); }

    // The five working files of a full result of `video`, made in a job folder of the caches.
    SeparationResult fullResult(const QUrl& video, const QString& job)
    {
        const QString folder = m_caches + "/Work/" + job;
        SeparationResult r;
        r.kind = JobKind::full;
        r.jobID = job;
        r.sourceVideoURL = video;
        r.originalAudioURL = QUrl::fromLocalFile(folder + "/source-1A2B3C4D.m4a");
        r.cleanAudioURL = QUrl::fromLocalFile(folder + "/clean-1A2B3C4D.m4a");
        r.dialogueStemURL = QUrl::fromLocalFile(m_caches + "/Jobs/" + job + "/dialogue.flac");
        r.musicStemURL = QUrl::fromLocalFile(m_caches + "/Jobs/" + job + "/music.flac");
        r.effectsStemURL = QUrl::fromLocalFile(m_caches + "/Jobs/" + job + "/effects.flac");
        for (const QUrl& u : {r.originalAudioURL, r.cleanAudioURL, r.dialogueStemURL, r.musicStemURL, r.effectsStemURL})
            test::touchFile(u.toLocalFile());
        r.duration = 95.25;
        r.ambience = 0.4;
        r.coversWholeVideo = true;
        return r;
    }

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_caches = m_dir->filePath("caches");
        m_home = m_dir->filePath("home");
        m_ini = m_dir->filePath("settings.ini");
        QDir().mkpath(m_caches);
        QDir().mkpath(m_home);
    }

    // The stored value as written, read back by a new store as after a restart.
    void storedJsonAndRestart()
    {
        const QString moviePath = m_home + "/Holiday.mov";
        QVERIFY(test::touchFile(moviePath));
        const QUrl movie = QUrl::fromLocalFile(moviePath);
        SeparationResult result = fullResult(movie, "job-1");
        ClaimCheck check;
        check.status = ClaimCheckStatus::match;
        check.songs = std::vector<ClaimCheckSong>{{"Song", std::nullopt, std::nullopt, 0.9, {{1, 2}}, ClaimCheckVerdict::gone}};
        result.claimCheck = check;
        result.expiresAt = QDateTime(QDate(2030, 5, 1), QTime(12, 0, 0, 250), Qt::UTC);

        auto settings = openSettings();
        std::vector<RecentVideos::Entry> before;
        {
            RecentVideos recents(settings.get(), m_caches);
            const QDateTime openedAround = QDateTime::currentDateTimeUtc();
            recents.noteOpened(video(moviePath, 95.25));
            recents.record(result);
            before = recents.entries();

            const QJsonArray array = storedArray(*settings);
            QCOMPARE(array.size(), 1);
            const QJsonObject entry = array.at(0).toObject();
            QCOMPARE(QStringList(entry.keys()), (QStringList{"displayName", "duration", "exported", "id", "lastOpened", "opened", "result", "source", "sourceKey"}));
            // The file as it was opened, and as it was cleaned: its size, time and duration.
            const QJsonObject opened = entry["opened"].toObject();
            QCOMPARE(opened["size"].toDouble(), double(QFileInfo(moviePath).size()));
            QCOMPARE(opened["duration"].toDouble(), 95.25);
            QCOMPARE(entry["result"].toObject()["cleanedFrom"].toObject(), opened);
            QCOMPARE(entry["id"].toString(), before[0].id.toString(QUuid::WithoutBraces).toUpper());
            QCOMPARE(entry["exported"].toBool(true), false);
            QCOMPARE(entry["sourceKey"].toString(), QFileInfo(moviePath).canonicalFilePath());
            QCOMPARE(entry["source"].toObject(), (QJsonObject{{"absolutePath", QFileInfo(moviePath).canonicalFilePath()}}));
            // Seconds since 1 January 2001 UTC.
            const double expectedSeconds = openedAround.toMSecsSinceEpoch() / 1000.0 - 978307200.0;
            QVERIFY(std::abs(entry["lastOpened"].toDouble() - expectedSeconds) < 5);

            const QJsonObject stored = entry["result"].toObject();
            QCOMPARE(stored["cleanAudio"].toObject(), (QJsonObject{{"cachesPath", "Work/job-1/clean-1A2B3C4D.m4a"}}));
            QCOMPARE(stored["effectsStem"].toObject(), (QJsonObject{{"cachesPath", "Jobs/job-1/effects.flac"}}));
            QCOMPARE(stored["expiresAt"].toDouble(), 925560000.25);
            QCOMPARE(stored["claimCheck"].toObject()["status"].toString(), QString("match"));
            QVERIFY(!settings->string(RecentVideos::storageKey)->contains(' '));
        }
        settings = openSettings();
        RecentVideos reopened(settings.get(), m_caches);
        QCOMPARE(reopened.entries(), before);
        const auto restored = reopened.restoredResult(reopened.entries()[0], movie);
        QVERIFY(restored);
        QVERIFY(restored->id != result.id);
        SeparationResult expected = result;
        expected.id = restored->id;
        QCOMPARE(*restored, expected);
        QCOMPARE(reopened.sourceURL(reopened.entries()[0]), std::optional(QUrl::fromLocalFile(QFileInfo(moviePath).canonicalFilePath())));
    }

    // A value written by hand in the stored form: upper- and lower-case ids, a bookmark, nulls
    // and unknown keys.
    void decodesHandWrittenValue()
    {
        const QString text = QStringLiteral(
            "[{\"id\":\"0F8FAD5B-D9CB-469F-A165-70867728950E\",\"displayName\":\"a.mp4\",\"duration\":61,"
            "\"source\":{\"bookmark\":\"Ym9vaw==\",\"absolutePath\":\"/videos/a.mp4\"},\"sourceKey\":\"/videos/a.mp4\","
            "\"result\":{\"jobID\":\"j9\",\"originalAudio\":{\"cachesPath\":\"Work/x/source-00000000.m4a\"},"
            "\"cleanAudio\":{\"cachesPath\":\"Work/x/clean-00000000.m4a\",\"absolutePath\":null},\"dialogueStem\":{},"
            "\"musicStem\":{\"absolutePath\":\"/m.flac\"},\"effectsStem\":{\"bookmark\":\"AAEC\"},"
            "\"duration\":61,\"ambience\":0.75,\"claimCheck\":null,\"future\":true},"
            "\"exported\":true,\"lastOpened\":786000000.5,\"color\":\"red\"},"
            "{\"id\":\"7c9e6679-7425-40de-944b-e07fc1f90ae7\",\"displayName\":\"b.mov\",\"duration\":2.5,"
            "\"source\":{\"cachesPath\":\"Imports/b.mov\"},\"sourceKey\":\"/c/Imports/b.mov\",\"exported\":false,"
            "\"lastOpened\":-10}]");
        MemorySettingsStore settings;
        settings.setValue(RecentVideos::storageKey, text);
        RecentVideos recents(&settings, m_caches);
        QCOMPARE(recents.entries().size(), 2u);

        const auto& a = recents.entries()[0];
        QCOMPARE(a.id, QUuid::fromString(QStringLiteral("0F8FAD5B-D9CB-469F-A165-70867728950E")));
        QCOMPARE(a.source.bookmark, std::optional(QByteArray("book")));
        QVERIFY(a.exported);
        QCOMPARE(a.lastOpened, QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC).addMSecs(786000000500));
        QVERIFY(a.result);
        QVERIFY(!a.result->claimCheck);
        QVERIFY(!a.result->expiresAt);
        QCOMPARE(a.result->effectsStem.bookmark, std::optional(QByteArray("\x00\x01\x02", 3)));
        QVERIFY(!a.result->cleanAudio.absolutePath);
        const auto& b = recents.entries()[1];
        QCOMPARE(b.id.toString(QUuid::WithoutBraces), QString("7c9e6679-7425-40de-944b-e07fc1f90ae7"));
        QVERIFY(!b.result);
        QCOMPARE(b.lastOpened, QDateTime(QDate(2000, 12, 31), QTime(23, 59, 50), Qt::UTC));

        // A bookmark resolves as the path stored beside it; with none, to nothing.
        QCOMPARE(resolveFileReference(a.source, m_caches), std::optional(QUrl::fromLocalFile("/videos/a.mp4")));
        QCOMPARE(resolveFileReference(a.result->effectsStem, m_caches), std::nullopt);
        QCOMPARE(resolveFileReference(a.result->dialogueStem, m_caches), std::nullopt);
        QCOMPARE(resolveFileReference(b.source, m_caches), std::optional(QUrl::fromLocalFile(m_caches + "/Imports/b.mov")));

        // Written back, ids are upper case and the bookmark keeps its bytes.
        recents.markExported(QUrl::fromLocalFile("/videos/a.mp4"));
        const QJsonArray array = storedArray(settings);
        QCOMPARE(array.at(1).toObject()["id"].toString(), QString("7C9E6679-7425-40DE-944B-E07FC1F90AE7"));
        QCOMPARE(array.at(0).toObject()["source"].toObject()["bookmark"].toString(), QString("Ym9vaw=="));
        QVERIFY(!array.at(0).toObject()["result"].toObject().contains("claimCheck"));
    }

    // One broken entry is skipped, the others kept, and the next save leaves it out; a value that
    // is not an array reads as an empty list and stays stored until the next save.
    void unreadableStoredData()
    {
        MemorySettingsStore settings;
        RecentVideos writer(&settings, m_caches);
        for (const char* name : {"one.mp4", "two.mp4", "three.mp4"}) {
            test::touchFile(m_home + "/" + name);
            writer.noteOpened(video(m_home + "/" + name));
        }
        QJsonArray array = storedArray(settings);
        QJsonObject broken = array.at(1).toObject();
        broken.remove("lastOpened");
        array[1] = broken;
        QJsonObject badId = array.at(2).toObject();
        badId["id"] = "not-a-uuid";
        array.append(badId);
        array.append(QJsonValue(7));
        settings.setJson(RecentVideos::storageKey, array);

        RecentVideos reader(&settings, m_caches);
        QCOMPARE(reader.entries().size(), 2u);
        QCOMPARE(reader.entries()[0].displayName, QString("three.mp4"));
        QCOMPARE(reader.entries()[1].displayName, QString("one.mp4"));
        QCOMPARE(storedArray(settings).size(), 5);   // untouched until a change

        test::touchFile(m_home + "/four.mp4");
        reader.noteOpened(video(m_home + "/four.mp4"));
        const QJsonArray saved = storedArray(settings);
        QCOMPARE(saved.size(), 3);
        QStringList names;
        for (const auto& v : saved)
            names << v.toObject()["displayName"].toString();
        QCOMPARE(names, (QStringList{"four.mp4", "three.mp4", "one.mp4"}));

        for (const QString& value : {QStringLiteral("{\"id\":1}"), QStringLiteral("not json")}) {
            MemorySettingsStore other;
            other.setValue(RecentVideos::storageKey, value);
            RecentVideos empty(&other, m_caches);
            QVERIFY(empty.entries().empty());
            QCOMPARE(other.string(RecentVideos::storageKey), std::optional(value));
            empty.removeAll();
            QCOMPARE(other.string(RecentVideos::storageKey), std::optional(QStringLiteral("[]")));
        }
    }

    // Opening order, the 12-entry limit (with the pushed-out thumbnail deleted), and reopening
    // the same file through another path.
    void limitAndOrdering()
    {
        MemorySettingsStore settings;
        RecentVideos recents(&settings, m_caches);
        QSignalSpy changes(&recents, &RecentVideos::entriesChanged);
        QImage picture(64, 36, QImage::Format_RGB32);
        picture.fill(Qt::darkGreen);
        for (int i = 0; i < 13; ++i) {
            const QString path = m_home + QString("/v%1.mp4").arg(i);
            test::touchFile(path);
            recents.noteOpened(video(path, i + 1));
            if (i == 0)
                recents.setThumbnail(picture, QUrl::fromLocalFile(path));
        }
        QCOMPARE(changes.count(), 13);
        QCOMPARE(recents.entries().size(), 12u);
        QCOMPARE(recents.entries().front().displayName, QString("v12.mp4"));
        QCOMPARE(recents.entries().back().displayName, QString("v1.mp4"));
        QCOMPARE(storedArray(settings).size(), 12);
        QDir recentsFolder(m_caches + "/Recents");
        QVERIFY(recentsFolder.entryList(QDir::Files).isEmpty());

        // v5 again, through a symbolic link to its folder and a ".." detour.
        const auto v5 = recents.entries()[7];
        QCOMPARE(v5.displayName, QString("v5.mp4"));
        recents.record(fullResult(QUrl::fromLocalFile(m_home + "/v5.mp4"), "j"));
        recents.markExported(QUrl::fromLocalFile(m_home + "/v5.mp4"));
        QVERIFY(QFile::link(m_home, m_dir->filePath("link")));
        recents.noteOpened(video(m_dir->filePath("link") + "/../home/./v5.mp4", 99));
        recents.noteOpened(video(m_dir->filePath("link") + "/v5.mp4", 100));
        QCOMPARE(recents.entries().size(), 12u);
        const auto moved = recents.entries().front();
        QCOMPARE(moved.id, v5.id);
        QCOMPARE(moved.source, v5.source);
        QCOMPARE(moved.duration, 100.0);
        QVERIFY(moved.result);
        QVERIFY(moved.exported);
        QVERIFY(moved.lastOpened >= v5.lastOpened);

        const auto others = recents.entries(QUrl::fromLocalFile(m_home + "/v5.mp4"));
        QCOMPARE(others.size(), 11u);
        QCOMPARE(others.front().displayName, QString("v12.mp4"));
        QCOMPARE(recents.entries(std::nullopt), recents.entries());
    }

    // Which result is kept, and when `exported` is cleared; unchanged values notify nothing.
    void recordingResults()
    {
        MemorySettingsStore settings;
        RecentVideos recents(&settings, m_caches);
        const QUrl movie = QUrl::fromLocalFile(m_home + "/m.mp4");
        test::touchFile(movie.toLocalFile());
        recents.noteOpened(video(movie.toLocalFile()));
        QSignalSpy changes(&recents, &RecentVideos::entriesChanged);

        SeparationResult preview = fullResult(movie, "p");
        preview.kind = JobKind::preview;
        recents.record(preview);
        recents.record(fullResult(QUrl::fromLocalFile(m_home + "/unknown.mp4"), "u"));
        recents.markExported(QUrl::fromLocalFile(m_home + "/unknown.mp4"));
        QCOMPARE(changes.count(), 0);
        QVERIFY(!recents.entries()[0].result);

        SeparationResult first = fullResult(movie, "a");
        recents.record(first);
        recents.markExported(movie);
        recents.markExported(movie);
        QCOMPARE(changes.count(), 2);
        first.ambience = 0.1;   // a re-mix of the same job
        // The file opened again, changed meanwhile: a re-mix of the job cleaned before keeps the
        // file as it was cleaned, not as it was opened since.
        const std::optional<SourceFingerprint> cleaned = recents.entries()[0].result->cleanedFrom;
        QVERIFY(cleaned);
        {
            QFile grown(movie.toLocalFile());
            QVERIFY(grown.open(QIODevice::Append));
            grown.write("more");
        }
        recents.noteOpened(video(movie.toLocalFile()));
        QVERIFY(recents.entries()[0].opened != cleaned);
        recents.record(first);
        QVERIFY(recents.entries()[0].exported);
        QCOMPARE(recents.entries()[0].result->cleanedFrom, cleaned);
        recents.record(fullResult(movie, "b"));
        QVERIFY(!recents.entries()[0].exported);
        QCOMPARE(recents.entries()[0].result->jobID, QString("b"));

        // One missing file of five: no restored result, and the entry keeps what it stored.
        SeparationResult b = fullResult(movie, "b");
        QVERIFY(recents.restoredResult(recents.entries()[0], movie));
        QFile::remove(b.musicStemURL.toLocalFile());
        QVERIFY(!recents.restoredResult(recents.entries()[0], movie));
        QCOMPARE(recents.entries()[0].result->jobID, QString("b"));

        // A forgotten result takes its "exported" with it.
        recents.markExported(movie);
        QVERIFY(recents.entries()[0].exported);
        recents.forgetResult(recents.entries()[0].id);
        QVERIFY(!recents.entries()[0].result);
        QVERIFY(!recents.entries()[0].exported);
    }

    // Stored references are not trusted: a caches path that leaves the caches folder leads
    // nowhere, and a result's files must be working files inside it.
    void unsafeReferences()
    {
        test::touchFile(m_home + "/precious.m4a");
        QVERIFY(QFile::link(m_home, m_caches + "/escape"));
        const FileReference unsafe[] = {
            {QString("../home/precious.m4a"), {}, {}},
            {QString("Work/../../home/precious.m4a"), {}, {}},
            {QString(m_home + "/precious.m4a"), {}, {}},
            {QString("escape/precious.m4a"), {}, {}},
            {QString(""), {}, QString(m_home + "/precious.m4a")},
            {{}, {}, QString("home/precious.m4a")},
        };
        for (const auto& reference : unsafe)
            QCOMPARE(resolveFileReference(reference, m_caches), std::nullopt);

        // File references: inside the caches folder (also through a link) a relative path;
        // the folder itself and a sibling whose name starts alike are outside.
        test::touchFile(m_caches + "/Work/a/b.m4a");
        QVERIFY(QFile::link(m_caches + "/Work", m_home + "/work-link"));
        test::touchFile(m_caches + "-old/x.m4a");
        QCOMPARE(fileReference(QUrl::fromLocalFile(m_home + "/work-link/a/b.m4a"), m_caches).cachesPath, std::optional(QString("Work/a/b.m4a")));
        QCOMPARE(fileReference(QUrl::fromLocalFile(m_caches + "-old/x.m4a"), m_caches),
                 (FileReference{{}, {}, QFileInfo(m_caches + "-old/x.m4a").canonicalFilePath()}));
        QCOMPARE(fileReference(QUrl::fromLocalFile(m_caches), m_caches).absolutePath, std::optional(QFileInfo(m_caches).canonicalFilePath()));
        // A moved caches folder: the reference follows it.
        const FileReference moved = fileReference(QUrl::fromLocalFile(m_caches + "/Work/a/b.m4a"), m_caches);
        QCOMPARE(resolveFileReference(moved, m_dir->filePath("new-caches")), std::optional(QUrl::fromLocalFile(m_dir->filePath("new-caches") + "/Work/a/b.m4a")));

        // A stored result whose files lie outside the caches folder is not restored; a source
        // whose reference escapes is unavailable, and forgetting it deletes nothing of the user's.
        MemorySettingsStore settings;
        {
            RecentVideos writer(&settings, m_caches);
            const QUrl movie = QUrl::fromLocalFile(m_home + "/m.mp4");
            test::touchFile(movie.toLocalFile());
            writer.noteOpened(video(movie.toLocalFile()));
            SeparationResult outside = fullResult(movie, "o");
            for (QUrl* u : {&outside.originalAudioURL, &outside.cleanAudioURL, &outside.dialogueStemURL, &outside.musicStemURL, &outside.effectsStemURL})
                *u = QUrl::fromLocalFile(m_home + "/precious.m4a");
            writer.record(outside);
        }
        QJsonArray array = storedArray(settings);
        QJsonObject entry = array.at(0).toObject();
        entry["source"] = QJsonObject{{"cachesPath", "../home/m.mp4"}};
        array[0] = entry;
        settings.setJson(RecentVideos::storageKey, array);
        RecentVideos recents(&settings, m_caches);
        const auto stored = recents.entries().at(0);
        QCOMPARE(stored.result->cleanAudio.absolutePath, std::optional(QFileInfo(m_home + "/precious.m4a").canonicalFilePath()));
        QVERIFY(!recents.restoredResult(stored, QUrl::fromLocalFile(m_home + "/m.mp4")));
        QCOMPARE(recents.sourceURL(stored), std::nullopt);
        recents.remove(stored.id);
        QVERIFY(recents.entries().empty());
        QVERIFY(QFile::exists(m_home + "/precious.m4a"));
        QVERIFY(QFile::exists(m_home + "/m.mp4"));
    }

    // Thumbnails: the size rule, replacement, reading back after a restart, removal.
    void thumbnails()
    {
        auto settings = openSettings();
        auto recents = std::make_unique<RecentVideos>(settings.get(), m_caches);
        const QUrl wide = QUrl::fromLocalFile(m_home + "/wide.mp4");
        const QUrl small = QUrl::fromLocalFile(m_home + "/small.mp4");
        test::touchFile(wide.toLocalFile());
        test::touchFile(small.toLocalFile());
        recents->noteOpened(video(wide.toLocalFile()));
        recents->noteOpened(video(small.toLocalFile()));
        QSignalSpy revisions(recents.get(), &RecentVideos::thumbnailRevisionChanged);

        QImage big(1920, 1080, QImage::Format_RGB32);
        big.fill(Qt::red);
        QImage little(100, 50, QImage::Format_RGB32);
        little.fill(Qt::blue);
        recents->setThumbnail(big, wide);
        recents->setThumbnail(little, small);
        recents->setThumbnail(little, QUrl::fromLocalFile(m_home + "/none.mp4"));
        QCOMPARE(recents->thumbnailRevision(), 2);
        QCOMPARE(revisions.count(), 2);
        const QUuid wideID = recents->entries()[1].id;
        const QUuid smallID = recents->entries()[0].id;
        QCOMPARE(QFileInfo(recents->thumbnailPath(wideID)).fileName(), wideID.toString(QUuid::WithoutBraces).toUpper() + ".jpg");
        QCOMPARE(QImageReader(recents->thumbnailPath(wideID)).size(), QSize(240, 135));
        QCOMPARE(QImageReader(recents->thumbnailPath(smallID)).size(), QSize(100, 50));
        QCOMPARE(recents->thumbnail(wideID)->size(), QSize(1920, 1080));   // the image in memory

        recents->setThumbnail(little, wide);
        QCOMPARE(recents->thumbnailRevision(), 3);
        QCOMPARE(QImageReader(recents->thumbnailPath(wideID)).size(), QSize(100, 50));

        // After a restart the picture comes from its file; a missing file is tried again later.
        recents.reset();
        settings = openSettings();
        recents = std::make_unique<RecentVideos>(settings.get(), m_caches);
        QCOMPARE(recents->thumbnailRevision(), 0);
        const QImage read = recents->thumbnail(wideID).value_or(QImage());
        QCOMPARE(read.size(), QSize(100, 50));
        QVERIFY(qBlue(read.pixel(50, 25)) > 200 && qRed(read.pixel(50, 25)) < 60);
        QVERIFY(QFile::remove(recents->thumbnailPath(smallID)));
        QCOMPARE(recents->thumbnail(smallID), std::nullopt);
        QVERIFY(QFile::copy(recents->thumbnailPath(wideID), recents->thumbnailPath(smallID)));
        QVERIFY(recents->thumbnail(smallID));

        recents->remove(wideID);
        QVERIFY(!QFile::exists(recents->thumbnailPath(wideID)));
        recents->removeAll();
        QVERIFY(!QFile::exists(recents->thumbnailPath(smallID)));
        QCOMPARE(settings->string(RecentVideos::storageKey), std::optional(QStringLiteral("[]")));
    }

    // A value JSON cannot hold is not saved: the stored list stays readable.
    void unencodableValueNotSaved()
    {
        MemorySettingsStore settings;
        RecentVideos recents(&settings, m_caches);
        test::touchFile(m_home + "/a.mp4");
        recents.noteOpened(video(m_home + "/a.mp4"));
        const auto saved = settings.string(RecentVideos::storageKey);
        recents.noteOpened(video(m_home + "/a.mp4", std::nan("")));
        QVERIFY(std::isnan(recents.entries()[0].duration));
        QCOMPARE(settings.string(RecentVideos::storageKey), saved);
    }
};

QTEST_GUILESS_MAIN(TestRecentVideos)
#include "test_recent_videos.moc"
