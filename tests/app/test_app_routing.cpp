// Where picked and dropped videos go (the editor, the queue, the replace question, the alert),
// and how dropped movie data reaches the imports folder under a safe name.

#include "app/dropped_items.h"
#include "app/import_routing.h"
#include "coordinator/batch_queue_manager.h"
#include "helpers_coordinator.h"
#include "pipeline/media_error.h"

#include <QDir>
#include <QFile>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTest>

using namespace hf;
using hf::test::CoordinatorRig;

namespace {

// The rig's coordinator and a batch queue on the same fakes, with the router between them.
struct Routing {
    CoordinatorRig rig;
    std::unique_ptr<BatchQueueManager> batch;
    std::unique_ptr<ImportRouter> router;
    int sidebarShown = 0;

    Routing()
    {
        std::shared_ptr<MediaOperations> media(rig.media.get(), [](MediaOperations*) {});
        batch = std::make_unique<BatchQueueManager>(rig.engine.get(), rig.account.get(), rig.prompter.get(),
                                                    rig.caches() + "/Batch", BatchQueueManager::SettingsProvider{},
                                                    media);
        router = std::make_unique<ImportRouter>(*rig.coordinator, *batch, [this] { ++sidebarShown; });
    }
    ~Routing()
    {
        router.reset();
        batch.reset();
    }

    QList<QUrl> queued() const
    {
        QList<QUrl> urls;
        for (const BatchJob& job : batch->jobs())
            urls << job.sourceVideoURL;
        return urls;
    }
    QUrl openedOrOpening()
    {
        hf::test::waitFor([&] { return !rig.coordinator->isImporting(); });
        return rig.coordinator->source() ? rig.coordinator->source()->url : QUrl();
    }
};

QUrl textFile(CoordinatorRig& rig, const QString& name)
{
    const QString path = rig.dir.filePath(name);
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write("notes");
    return QUrl::fromLocalFile(path);
}

} // namespace

class TestAppRouting : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void picksGoByTarget_data()
    {
        QTest::addColumn<bool>("forQueue");
        QTest::addColumn<int>("picked");
        QTest::addColumn<bool>("toEditor");
        QTest::addColumn<QString>("typed");   // a name typed into the chooser, picked after the videos
        QTest::newRow("one pick for the editor opens it") << false << 1 << true << QString();
        QTest::newRow("one pick for the queue is queued") << true << 1 << false << QString();
        QTest::newRow("several picks are queued") << true << 3 << false << QString();
        QTest::newRow("several picks for the editor are queued too") << false << 2 << false << QString();
        QTest::newRow("an audio file typed for the queue is refused") << true << 0 << false << "song.m4a";
        QTest::newRow("an audio file typed beside videos is left out") << true << 2 << false << "song.mp3";
        QTest::newRow("an audio file typed for the editor is refused") << false << 0 << true << "song.m4a";
    }
    void picksGoByTarget()
    {
        QFETCH(bool, forQueue);
        QFETCH(int, picked);
        QFETCH(bool, toEditor);
        QFETCH(QString, typed);
        Routing r;
        QList<QUrl> urls;
        for (int i = 0; i < picked; ++i)
            urls << r.rig.video(QStringLiteral("clip%1.mp4").arg(i));
        const QList<QUrl> videos = urls;
        if (!typed.isEmpty())
            urls << r.rig.video(typed);
        r.rig.coordinator->setImportTarget(forQueue ? ImportTarget::queue : ImportTarget::editor);

        r.router->importerFinished(PickOutcome{urls, std::nullopt});

        QCOMPARE(r.rig.coordinator->importTarget(), ImportTarget::editor);
        if (videos.isEmpty()) {
            // Nothing taken, and said in the words opening or dropping it gets.
            QTRY_COMPARE(r.rig.coordinator->errorMessage(),
                         std::optional<QString>(QStringLiteral("That file isn't a video Hushframe can open.")));
            QVERIFY(r.queued().isEmpty());
            QVERIFY(!r.rig.coordinator->source() && !r.rig.coordinator->isImporting());
            QCOMPARE(r.sidebarShown, 0);
        } else if (toEditor) {
            QCOMPARE(r.openedOrOpening(), urls.first());
            QVERIFY(r.queued().isEmpty());
            QCOMPARE(r.sidebarShown, 0);
        } else {
            QCOMPARE(r.queued(), videos);
            QVERIFY(!r.rig.coordinator->source() && !r.rig.coordinator->isImporting());
            QCOMPARE(r.sidebarShown, 1);
        }
    }

    void cancelledAndFailedPicks()
    {
        Routing r;
        r.rig.coordinator->setImportTarget(ImportTarget::queue);
        r.router->importerFinished(PickOutcome{});
        QCOMPARE(r.rig.coordinator->importTarget(), ImportTarget::queue);
        QVERIFY(!r.rig.coordinator->errorMessage());

        r.router->importerFinished(PickOutcome{std::nullopt, QStringLiteral("The folder is gone.")});
        QCOMPARE(r.rig.coordinator->errorMessage(), std::optional<QString>(QStringLiteral("The folder is gone.")));
        QCOMPARE(r.rig.coordinator->importTarget(), ImportTarget::queue);
        QVERIFY(r.queued().isEmpty());
    }

    void dropsAreFilteredThenRouted_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("opened");
        QTest::addColumn<int>("queued");
        QTest::addColumn<bool>("alert");
        QTest::newRow("one movie opens") << QStringList{"a.mp4"} << "a.mp4" << 0 << false;
        QTest::newRow("a movie and a text file: the movie opens")
            << QStringList{"notes.txt", "b.mov"} << "b.mov" << 0 << false;
        QTest::newRow("three movies are queued") << QStringList{"a.mp4", "b.mov", "c.mkv"} << "" << 3 << false;
        QTest::newRow("only a text file is refused") << QStringList{"notes.txt"} << "" << 0 << true;
        QTest::newRow("a name without an extension is refused") << QStringList{"movie"} << "" << 0 << true;
        QTest::newRow("nothing dropped does nothing") << QStringList{} << "" << 0 << false;
    }
    void dropsAreFilteredThenRouted()
    {
        QFETCH(QStringList, names);
        QFETCH(QString, opened);
        QFETCH(int, queued);
        QFETCH(bool, alert);
        Routing r;
        QList<QUrl> urls;
        for (const QString& name : names)
            urls << (name.endsWith(".txt") || !name.contains('.') ? textFile(r.rig, name) : r.rig.video(name));

        r.router->filterImportableURLs(urls);

        QCOMPARE(r.openedOrOpening().fileName(), opened);
        QCOMPARE(r.queued().size(), queued);
        QCOMPARE(r.sidebarShown, queued > 0 ? 1 : 0);
        if (alert)
            QCOMPARE(*r.rig.coordinator->errorMessage(), QString("That file isn't a video Hushframe can open."));
        else
            QVERIFY(!r.rig.coordinator->errorMessage());
    }

    void oneVideoAsksBeforeReplacingAnUnexportedFullClean()
    {
        Routing r;
        const QUrl first = r.rig.video("first.mp4");
        QVERIFY(r.rig.openFullResult(first));
        const QUrl second = r.rig.video("second.mp4");

        r.router->filterImportableURLs({second});
        QVERIFY(r.rig.coordinator->pendingReplacement());
        QCOMPARE(r.rig.coordinator->pendingReplacement()->videoName, QString("first.mp4"));
        QCOMPARE(r.rig.coordinator->source()->url, first);

        // Several videos never replace the open one, so they never ask.
        r.router->filterImportableURLs({r.rig.video("x.mp4"), r.rig.video("y.mp4")});
        QCOMPARE(r.queued().size(), 2);

        r.rig.coordinator->confirmReplacement();
        QVERIFY(hf::test::waitFor([&] { return r.openedOrOpening() == second; }));
    }

    // A full clean still running is work too: every way of opening another video asks first,
    // with nothing to export yet; the clean goes on until the answer is "Replace".
    void opening_whileAFullCleanRuns_asksFirst()
    {
        Routing r;
        EngineCoordinator* c = r.rig.coordinator.get();
        const QUrl first = r.rig.video("long.mp4", 45);   // longer than the preview: a full job runs
        QVERIFY(r.rig.openAndPreview(first));
        r.rig.engine->gate = hf::test::makeGate();
        c->cleanFullVideo();
        QVERIFY(hf::test::waitFor([&] { return c->isFullCleanRunning() && r.rig.engine->calls.size() == 2; }));
        const std::stop_token running = r.rig.engine->calls.back().stop;

        // A drop.
        const QUrl second = r.rig.video("second.mp4");
        r.router->filterImportableURLs({second});
        QVERIFY(c->pendingReplacement());
        QCOMPARE(c->pendingReplacement()->videoName, QString("long.mp4"));
        QVERIFY(c->pendingReplacement()->cleanRunning);
        c->setPendingReplacement(std::nullopt);   // "Cancel"
        // File > Open.
        c->presentFileImporter();
        QVERIFY(c->pendingReplacement() && !c->isFileImporterPresented());
        c->setPendingReplacement(std::nullopt);
        // A recent video.
        QVERIFY(c->askBeforeReplacing([] {}));
        c->setPendingReplacement(std::nullopt);
        QVERIFY(c->isProcessing() && !running.stop_requested());
        QCOMPARE(c->source()->url, first);

        // "Replace" stops the clean and opens the other video.
        r.router->filterImportableURLs({second});
        c->confirmReplacement();
        QVERIFY(hf::test::waitFor([&] { return r.openedOrOpening() == second; }));
        QVERIFY(running.stop_requested());
        r.rig.engine->gate->resolve(true);
    }

    // File > Open asks before the chooser; the file picked there opens without a second question.
    // Only when the work at stake changed while the user was choosing is it asked again.
    void fileOpen_asksOnce()
    {
        Routing r;
        EngineCoordinator* c = r.rig.coordinator.get();
        QVERIFY(r.rig.openFullResult(r.rig.video("first.mp4")));
        int asked = 0;
        connect(c, &EngineCoordinator::pendingReplacementChanged, this, [&] { asked += c->hasPendingReplacement(); });

        c->presentFileImporter();
        QCOMPARE(asked, 1);
        c->confirmReplacement();
        QVERIFY(hf::test::waitFor([&] { return c->isFileImporterPresented(); }));
        c->setFileImporterPresented(false);
        const QUrl second = r.rig.video("second.mp4");
        r.router->importerFinished(PickOutcome{QList<QUrl>{second}, std::nullopt});
        QCOMPARE(asked, 1);
        QVERIFY(!c->hasPendingReplacement());
        QCOMPARE(r.openedOrOpening(), second);

        // Nothing at stake when the chooser opened, a full clean finished while it was up: asked.
        QVERIFY(hf::test::waitFor([&] { return c->hasPreviewResult() && !c->isProcessing(); }));
        c->presentFileImporter();
        QVERIFY(c->isFileImporterPresented());
        QCOMPARE(asked, 1);
        c->cleanFullVideo();
        QVERIFY(hf::test::waitFor([&] { return c->hasFullResult() && !c->isPromoting() && !c->isProcessing(); }));
        c->setFileImporterPresented(false);
        r.router->importerFinished(PickOutcome{QList<QUrl>{r.rig.video("third.mp4")}, std::nullopt});
        QCOMPARE(asked, 2);
        QCOMPARE(c->source()->url, second);
    }

    // A file that can't be opened leaves the open video as it was, and says why as an opening
    // would, never as an export.
    void failedOpeningKeepsTheOpenVideo_data()
    {
        QTest::addColumn<int>("failure");
        QTest::addColumn<QString>("message");
        QTest::newRow("unreadable") << int(MediaError::Case::unreadable)
                                    << "Hushframe can't read this file. Try a video in MP4 or MOV format.";
        QTest::newRow("cut short") << int(MediaError::Case::exportFailed)
                                   << "Hushframe can't open this video. The file ends before its stated length; it "
                                      "may be incomplete.";
    }
    void failedOpeningKeepsTheOpenVideo()
    {
        QFETCH(int, failure);
        QFETCH(QString, message);
        Routing r;
        EngineCoordinator* c = r.rig.coordinator.get();
        const QUrl first = r.rig.video("first.mp4");
        QVERIFY(r.rig.openFullResult(first));
        c->noteExported();
        const SeparationResult result = *c->currentResult();

        const auto error = MediaError::Case(failure) == MediaError::Case::exportFailed
            ? MediaError::exportFailed(MediaError::truncatedMessage())
            : MediaError(MediaError::Case(failure));
        r.rig.media->inspectError = error;
        r.router->filterImportableURLs({r.rig.video("broken.mp4")});
        QCOMPARE(r.openedOrOpening(), first);
        QCOMPARE(c->errorMessage(), std::optional<QString>(message));
        QCOMPARE(c->currentResult(), std::optional<SeparationResult>(result));
        QCOMPARE(r.rig.engine->calls.size(), size_t(1));   // no clean of the broken file

        // In the queue the same reason stays with the failed job.
        r.batch->enqueue({r.rig.video("broken2.mp4")});
        QVERIFY(hf::test::waitFor([&] { return r.batch->jobs().front().status.isFailed(); }));
        QCOMPARE(r.batch->jobs().front().status.error(), message);
    }

    void dragDataCountsAndItems()
    {
        QTemporaryDir dir;
        QMimeData files;
        files.setUrls({QUrl::fromLocalFile(dir.filePath("a.mp4")), QUrl::fromLocalFile(dir.filePath("b.mp4")),
                       QUrl("https://example.com/c.mp4")});
        QVERIFY(dragHasImportableItems(files));
        QCOMPARE(dragItemCount(files), 2);   // only local files count
        QCOMPARE(droppedItems(files).size(), size_t(2));

        QMimeData movie;
        movie.setData("video/mp4", QByteArray(64, 'x'));
        movie.setData("application/x-kde-suggestedfilename", "../../Holiday.mp4");
        QVERIFY(dragHasImportableItems(movie));
        QCOMPARE(dragItemCount(movie), 1);
        const auto items = droppedItems(movie);
        QCOMPARE(items.size(), size_t(1));
        QVERIFY(!items.front().file);

        QMimeData words;
        words.setText("hello");
        QVERIFY(!dragHasImportableItems(words));
    }

    void safeNames_data()
    {
        QTest::addColumn<QString>("proposed");
        QTest::addColumn<QString>("safe");
        QTest::newRow("plain") << "Holiday.mp4" << "Holiday.mp4";
        QTest::newRow("climbing out") << "../../.config/autostart/x.mp4" << "x.mp4";
        QTest::newRow("backslashes") << "..\\..\\evil.mov" << "evil.mov";
        QTest::newRow("dot dot") << ".." << "Dropped video.mp4";
        QTest::newRow("hidden") << ".bashrc" << "bashrc.mp4";
        QTest::newRow("empty") << "" << "Dropped video.mp4";
        QTest::newRow("control characters") << QString("a\nb\tc.mp4") << "abc.mp4";
        QTest::newRow("no extension takes the data's") << "Holiday" << "Holiday.mp4";
    }
    void safeNames()
    {
        QFETCH(QString, proposed);
        QFETCH(QString, safe);
        QCOMPARE(safeImportName(proposed, ".mp4"), safe);
    }

    void longNamesAreBoundedKeepingTheExtension()
    {
        const QString name = safeImportName(QString(300, QChar(0x00E9)) + ".mov", ".mp4");
        QVERIFY(name.toUtf8().size() <= 120);
        QVERIFY(name.endsWith(".mov"));
        QVERIFY(name.startsWith(QChar(0x00E9)));
    }

    void movieDataIsCopiedIntoTheImportsFolder()
    {
        QTemporaryDir caches;
        DroppedItem item;
        item.data = QByteArray("movie bytes");
        item.mimeType = "video/quicktime";
        item.suggestedName = "/tmp/../../Trip.mov";
        const auto copy = loadDroppedItem(caches.path(), item);
        QVERIFY(copy);
        const QFileInfo info(copy->toLocalFile());
        QCOMPARE(info.fileName(), QString("Trip.mov"));
        // <caches>/Imports/<UUID in upper case>/<name>
        QCOMPARE(info.dir().dirName(), info.dir().dirName().toUpper());
        QVERIFY(!QUuid::fromString(info.dir().dirName()).isNull());
        QCOMPARE(QDir(info.dir().filePath("..")).canonicalPath(), QDir(caches.filePath("Imports")).canonicalPath());
        QFile file(info.filePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("movie bytes"));

        // Two drops of the same name never meet.
        const auto again = loadDroppedItem(caches.path(), item);
        QVERIFY(again && *again != *copy);

        // Where nothing can be written, nothing is returned.
        QFile blocker(caches.filePath("blocked"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QVERIFY(!loadDroppedItem(caches.filePath("blocked"), item));
    }
};

QTEST_GUILESS_MAIN(TestAppRouting)
#include "test_app_routing.moc"
