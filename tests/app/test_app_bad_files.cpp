// Bad files in the real main window: a movie cut short (its index still promises the whole length)
// and a file that is no movie at all. Opening one leaves the open video as it was and says why in
// the words of opening; queued, the job fails with the same reason on its row, its tooltip and its
// accessible description.

#include "app/content_view.h"
#include "app/hushframe_app.h"
#include "coordinator/batch_queue_manager.h"
#include "coordinator/engine_coordinator.h"
#include "editor/inspector_view.h"
#include "helpers_app.h"
#include "helpers_audition.h"
#include "pipeline/video_demuxer_muxer.h"
#include "sidebar/sidebar_rows.h"
#include "support/test_support.h"

#include <QAccessible>
#include <QFile>
#include <QLabel>
#include <QTest>

#include <algorithm>

using namespace hf;

namespace {

const QString cutShort = QStringLiteral(
    "Hushframe can't open this video. The file ends before its stated length; it may be incomplete.");
const QString unreadable = QStringLiteral("Hushframe can't read this file. Try a video in MP4 or MOV format.");

// A movie whose index comes first and whose last 40 % never arrived.
QString truncatedMovie(const QTemporaryDir& home)
{
    const QString whole = home.filePath(QStringLiteral("whole.mp4"));
    if (!test::runFfmpeg({"-f", "lavfi", "-i", "testsrc=size=320x180:rate=25", "-f", "lavfi", "-i",
                          "sine=frequency=330:sample_rate=44100", "-t", "4", "-c:v", "libx264", "-pix_fmt",
                          "yuv420p", "-c:a", "aac", "-movflags", "+faststart", whole}))
        return {};
    QFile in(whole);
    if (!in.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = in.readAll();
    const QString cut = home.filePath(QStringLiteral("m20.mp4"));
    QFile out(cut);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes.left(bytes.size() * 6 / 10)) < 0)
        return {};
    return cut;
}

} // namespace

class TestAppBadFiles : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void badFilesChangeNothingAndSayWhy()
    {
        if (!test::haveProgram(QStringLiteral("ffmpeg")))
            QSKIP("needs ffmpeg");
        QTemporaryDir home;
        const QString truncated = truncatedMovie(home);
        QVERIFY(!truncated.isEmpty());
        const QString whole = home.filePath(QStringLiteral("whole.mp4"));
        QVERIFY(VideoDemuxerMuxer::inspect(QUrl::fromLocalFile(whole)) > 3.9);
        // Its stated length is whole: only the index gives it away.
        QVERIFY(VideoDemuxerMuxer::inspect(QUrl::fromLocalFile(truncated)) > 3.9);
        const QString garbage = home.filePath(QStringLiteral("notes.mp4"));
        {
            QFile file(garbage);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(4096, 'x'));
        }

        auto services = test::makeServices(home);
        HushframeApp app(*services);
        auto* window = qobject_cast<ContentView*>(app.openWindow(QStringLiteral("main")));
        QVERIFY(window && QTest::qWaitForWindowExposed(window));
        EngineCoordinator& coordinator = services->coordinator();
        const SourceVideo open{QUrl::fromLocalFile(whole), QStringLiteral("whole.mp4"), 4};
        coordinator.setSource(open);
        const std::optional<SourceVideo> opened = coordinator.source();   // with the file's details
        QVERIFY(opened && opened->url == open.url);
        QWidget* editor = window->detail();

        // A sound file named as a movie, and an empty one: each said for what it is.
        const QString sound = home.filePath(QStringLiteral("Sound.mp4"));
        QVERIFY(test::runFfmpeg({"-f", "lavfi", "-i", "sine=frequency=330:sample_rate=44100", "-t", "2", "-c:a", "aac",
                                 "-f", "mp4", sound}));
        const QString empty = home.filePath(QStringLiteral("Empty.mp4"));
        QVERIFY(QFile(empty).open(QIODevice::WriteOnly));
        const QString noPicture = QStringLiteral("This file has no video track.");
        const QString nothing = QStringLiteral("\u201cEmpty.mp4\u201d is empty: the file holds no video.");
        const std::vector<std::pair<QString, QString>> refused{
            {truncated, cutShort}, {garbage, unreadable}, {sound, noPicture}, {empty, nothing}};
        for (const auto& [file, message] : refused) {
            coordinator.openVideo(QUrl::fromLocalFile(file));
            QVERIFY(QTest::qWaitFor([&] { return !coordinator.isImporting(); }));
            QCOMPARE(coordinator.source(), opened);
            QCOMPARE(window->detail(), editor);
            QCOMPARE(coordinator.errorMessage(), std::optional<QString>(message));
            QVERIFY(window->isAlertShown());
            QStringList shownMessages;   // an earlier alert's card may still wait for its deletion
            for (QLabel* label : window->findChildren<QLabel*>(QStringLiteral("alert.message")))
                if (label->isVisible())
                    shownMessages << label->text();
            QCOMPARE(shownMessages, QStringList{message});
            QVERIFY(!coordinator.isProcessing());
            coordinator.setErrorMessage(std::nullopt);
        }
        // Nothing is being separated, and the legend does not say otherwise.
        auto* inspector = window->findChild<InspectorView*>();
        QVERIFY(inspector);
        for (Stem stem : {Stem::dialogue, Stem::music, Stem::effects})
            QCOMPARE(inspector->legendRow(stem)->value(), QStringLiteral("Not separated yet"));
        coordinator.setProcessing(true);
        QCOMPARE(inspector->legendRow(Stem::music)->value(), QStringLiteral("Separating"));
        coordinator.setProcessing(false);

        // Queued, each fails before any clean, and its row says why.
        services->batch().enqueue({QUrl::fromLocalFile(truncated), QUrl::fromLocalFile(sound), QUrl::fromLocalFile(empty)});
        QVERIFY(QTest::qWaitFor([&] {
            return std::ranges::all_of(services->batch().jobs(), [](const BatchJob& j) { return j.status.isFailed(); });
        }));
        for (const BatchJob& job : services->batch().jobs())
            QCOMPARE(job.status.error(), std::ranges::find(refused, job.sourceVideoURL.toLocalFile(),
                                                           &std::pair<QString, QString>::first)->second);
        QueueRow* row = nullptr;
        QVERIFY(QTest::qWaitFor([&] {
            for (QueueRow* each : window->findChildren<QueueRow*>())
                row = each->isVisible() && each->subtitle().contains(cutShort) ? each : row;
            return row != nullptr;
        }));
        QVERIFY(row->subtitle().contains(QLatin1String("failed")));
        QCOMPARE(row->toolTip(), cutShort);
        QVERIFY(QAccessible::queryAccessibleInterface(row)->text(QAccessible::Name).contains(cutShort));
        // The whole reason is on the row: the row is as tall as its wrapped lines.
        QLabel* subtitle = nullptr;
        for (QLabel* label : row->findChildren<QLabel*>())
            if (label->text() == row->subtitle())
                subtitle = label;
        QVERIFY(subtitle);
        QVERIFY(QTest::qWaitFor([&] { return subtitle->height() >= subtitle->heightForWidth(subtitle->width()); }));
        QVERIFY(row->geometry().bottom() >= subtitle->mapTo(row, QPoint(0, subtitle->height())).y() - 1);
        test::saveScreenshot(window->grab().toImage(), "app", QStringLiteral("failed-queue-row"));
    }
};

QTEST_MAIN(TestAppBadFiles)
#include "test_app_bad_files.moc"
