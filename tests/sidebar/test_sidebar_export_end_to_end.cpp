// Two queued movies cleaned by the local server and exported from the sidebar's footer into one
// folder, read back with ffprobe.

#include "helpers_audition.h"
#include "helpers_cloud.h"
#include "helpers_media.h"
#include "helpers_sidebar.h"

#include "backend/account_store.h"
#include "backend/api_client.h"
#include "backend/session_token_store.h"
#include "coordinator/batch_queue_manager.h"
#include "coordinator/review_prompter.h"
#include "pipeline/audio_uploader.h"
#include "pipeline/cloud_separation_engine.h"
#include "platform/network.h"
#include "platform/settings_store.h"
#include "sidebar/queue_footer.h"
#include "sidebar/sidebar_rows.h"
#include "sidebar/status_mark.h"
#include "sidebar/video_sidebar.h"
#include "support/local_server.h"
#include "support/test_support.h"
#include "ui_kit/buttons.h"
#include "ui_kit/environment.h"

#include <QApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

using namespace hf;

namespace {

constexpr double movieSeconds = 3;

} // namespace

class TestSidebarExportEndToEnd : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void twoCleanedMoviesIntoOneFolder()
    {
        if (!hf::test::haveProgram(QStringLiteral("ffmpeg")) || !hf::test::haveProgram(QStringLiteral("ffprobe")))
            QSKIP("needs ffmpeg and ffprobe");
        ui::Environment::instance().setAppearance(ui::Appearance::dark);
        QTemporaryDir dir;
        hf::test::LocalCloud local;
        MemorySettingsStore defaults;
        AccountStore account(local.api.get(), &defaults);
        const std::unique_ptr<CloudSeparationEngine> engine = local.makeEngine(dir.filePath(QStringLiteral("Jobs")));
        ReviewPrompter prompter(defaults);
        hf::test::runTask(local.api->signInAnonymously());
        BatchQueueManager queue(engine.get(), &account, &prompter, dir.filePath(QStringLiteral("Batch")),
                                [] { return SeparationSettings{}; });
        hf::test::CoordinatorRig rig;
        ThumbnailCache thumbnails;

        VideoSidebar sidebar(rig.coordinator.get(), &queue, &thumbnails, &defaults);
        auto* chooser = new hf::test::ScriptedFolderChooser;
        sidebar.setFolderChooser(std::unique_ptr<FolderChooser>(chooser));
        QStringList revealed;
        sidebar.setRevealer([&](const QString& path) { revealed << path; });
        sidebar.resize(300, 560);
        sidebar.show();

        const QString beach = dir.filePath(QStringLiteral("beach.mp4"));
        const QString holiday = dir.filePath(QStringLiteral("Holiday.mov"));
        QVERIFY(hf::test::makeMovie(beach, movieSeconds));
        QVERIFY(hf::test::makeMovie(holiday, movieSeconds));
        queue.enqueue({QUrl::fromLocalFile(beach), QUrl::fromLocalFile(holiday)});
        // While a row reads "finishing" its ring stands where the separation left it or further,
        // short of full.
        std::vector<double> finishing;
        double separated = 0;
        connect(&queue, &BatchQueueManager::jobsChanged, this, [&] {
            const BatchJobStatus& status = queue.jobs().front().status;
            if (!status.isWorking())
                return;
            const ProcessingStage::Kind kind = status.progress().stage.kind();
            if (kind != ProcessingStage::Kind::mixing && kind != ProcessingStage::Kind::remuxingVideo) {
                separated = std::max(separated, status.progress().fractionCompleted);
                return;
            }
            const std::optional<double> ring = sidebar.queueRows().front()->mark()->state().progress;
            finishing.push_back(ring.value_or(-1));
            if (finishing.size() == 1)
                hf::test::saveScreenshot(sidebar.grab().toImage(), QStringLiteral("sidebar"),
                                         QStringLiteral("queue-finishing"));
        });
        QTest::mouseClick(sidebar.footer()->startButton(), Qt::LeftButton);
        QVERIFY(queue.isProcessingQueue());
        QVERIFY(QTest::qWaitFor([&] { return !queue.isProcessingQueue(); }, 120000));
        QCOMPARE(queue.completedJobs(), 2);
        QVERIFY(!finishing.empty());
        for (double ring : finishing)
            QVERIFY2(ring >= separated && ring < 1.0, qPrintable(QStringLiteral("%1 after %2").arg(ring).arg(separated)));
        // The rows show the real thumbnails once the cache has made them.
        QVERIFY(QTest::qWaitFor([&] { return thumbnails.images().size() == 2; }, 20000));
        QApplication::processEvents();
        hf::test::saveScreenshot(sidebar.grab().toImage(), QStringLiteral("sidebar"), QStringLiteral("queue-cleaned"));

        QTemporaryDir out;
        sidebar.footer()->exportAllCompleted();
        QVERIFY(chooser->answer(out.path()));
        QVERIFY(QTest::qWaitFor([&] { return !sidebar.footer()->isExporting(); }, 30000));
        QCOMPARE(sidebar.footer()->exportMessage(),
                 QStringLiteral("Exported 2 cleaned videos to %1.").arg(QDir(out.path()).dirName()));
        QCOMPARE(revealed, QStringList{out.path()});

        QStringList exported = QDir(out.path()).entryList(QDir::Files | QDir::Hidden);
        exported.sort();
        QCOMPARE(exported, (QStringList{"Holiday (Hushframe).mov", "beach (Hushframe).mp4"}));
        for (const QString& name : exported) {
            const QJsonObject probed = hf::test::probe(out.filePath(name));
            QCOMPARE(hf::test::streamTypes(probed), (QStringList{"video:h264", "audio:aac"}));
            QVERIFY(std::abs(probed["format"]["duration"].toString().toDouble() - movieSeconds) < 0.25);
        }
        QApplication::processEvents();
        hf::test::saveScreenshot(sidebar.grab().toImage(), QStringLiteral("sidebar"), QStringLiteral("queue-exported"));
    }
};

QTEST_MAIN(TestSidebarExportEndToEnd)
#include "test_sidebar_export_end_to_end.moc"
